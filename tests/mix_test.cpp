// The channel-2 mix window: marker and values in both directions, spin and wheel steps, number
// texts, and the mix send checked by the register-9 entries it queues.
//
// The test thread is the user-interface thread. A dummy USB handle (no task runs) and a dummy TCP
// socket let the routing rule queue commands, which the tests take out of the queues.
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "control/Form1.h"
#include "lan/lan_state.h"
#include "mix/Coord1.h"
#include "mix/mix_values.h"
#include "platform/ui.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Queue = std::vector<Bytes>;
using plugin::g_plugin;

constexpr lan::Socket kFakeSocket = 1 << 20;  // only compared, never used
const auto kFakeHandle = reinterpret_cast<bridge::Handle>(uintptr_t{0x1000});

Bytes mix_entry(uint16_t magnitude, uint16_t phase) {
  return {
      0xB0, 0x09, uint8_t(magnitude), uint8_t(magnitude >> 8), uint8_t(phase), uint8_t(phase >> 8),
      0x00};
}

// The register-9 entries of a queue; the queue is emptied.
Queue mix_taken(usb::CommandQueue& q) {
  std::lock_guard<std::mutex> guard(q.lock);
  Queue out;
  for (auto& e : q.entries) {
    if (e.size() > 1 && e[0] == 0xB0 && e[1] == 0x09) out.push_back(e);
  }
  q.entries.clear();
  return out;
}

void fill(usb::CommandQueue& q, size_t n) {
  std::lock_guard<std::mutex> guard(q.lock);
  for (size_t i = 0; i < n; ++i) q.entries.push_back({0x00, 0});
}

class MixTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ui::adopt_this_thread();
    dir_ = std::filesystem::temp_directory_path() / ("kmv-mix-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    usb::create_queues();
  }
  static void TearDownTestSuite() {
    usb::destroy_queues();
    ASSERT_EQ(chdir("/"), 0);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // An open plug-in on USB in Diversity, the mix window at its design values.
  void SetUp() override {
    g_plugin.open_count = 0;
    F_RDR1 = panel = new TF_RDR1();
    panel->T_Update->set_enabled(false);
    c = F_Coord;
    usb::g_link.handle = kFakeHandle;
    g_plugin.open_count = 1;
    panel->RB_Cdiv->set_checked(true);
    forget_last_pair();
    mix_taken(usb::usb_queue());
    mix_taken(usb::lan_queue());
    ui::clear_message_boxes();
  }
  void TearDown() override {
    usb::g_link.handle = nullptr;
    lan::g_lan.tcp_socket = lan::kNoSocket;
    g_plugin.open_count = 0;
    F_RDR1 = nullptr;
    delete panel;
    std::filesystem::remove("KMV410V2.11");
    mix_taken(usb::usb_queue());
    mix_taken(usb::lan_queue());
  }

  // The plug-in never forgets the last pair; the tests start each case from a clean slate.
  static void forget_last_pair() { mix::g_mix = {}; }
  void drag(int x, int y) { c->S_Coord->mouse_move(ui::kLeftButton, x, y); }
  Queue usb_sent() { return mix_taken(usb::usb_queue()); }
  // The words mix_send computes for these texts, as queued.
  Queue send_with(const char* magnitude, const char* phase) {
    c->E_Mag->set_text(magnitude);
    c->E_Phase->set_text(phase);
    forget_last_pair();
    c->mix_send();
    return usb_sent();
  }

  TF_RDR1* panel = nullptr;
  TF_Coord* c = nullptr;
  static inline std::filesystem::path dir_;
};

// ---------------------------------------------------------------------------------------------
// Marker and values

TEST_F(MixTest, WindowStartsWithTheMarkerAtZeroDbAndZeroDegrees) {
  EXPECT_EQ(c->caption, "Mix Channel 2");
  EXPECT_EQ(c->E_Mag->text(), "1,000");
  EXPECT_EQ(c->E_Phase->text(), "0,00");
  EXPECT_EQ(c->S_Dot->left, 237);
  EXPECT_EQ(c->S_Dot->top, 197);
  EXPECT_EQ(c->S_Circle->left, 217);
  EXPECT_EQ(c->S_Circle->width, 46);
  for (int i = 1; i <= 20; ++i) EXPECT_NE(c->find("Shape" + std::to_string(i)), nullptr) << i;
  for (int i = 1; i <= 24; ++i) EXPECT_NE(c->find("Label" + std::to_string(i)), nullptr) << i;
  EXPECT_EQ(c->find("Label11")->caption, "16 dB");
  EXPECT_EQ(c->find("Label22")->top, 390);
}

TEST_F(MixTest, DragShowsRoundedValuesReplacesTheMarkerAndSendsWhatIsShown) {
  drag(250, 200);
  EXPECT_EQ(c->E_Mag->text(), "1.122");
  EXPECT_EQ(c->E_Phase->text(), "0.00");
  EXPECT_EQ(c->S_Dot->left, 246);  // centre 249, from 1.122 rather than the pointer
  EXPECT_EQ(c->S_Circle->left, 226);
  EXPECT_EQ(c->S_Circle->top, 177);
  EXPECT_EQ(usb_sent(), Queue{mix_entry(9191, 0)});
}

TEST_F(MixTest, OnlyALeftButtonOrTouchMovesTheMarker) {
  c->S_Coord->mouse_move(0, 100, 100);
  c->S_Coord->mouse_move(ui::kRightButton | ui::kShiftKey, 100, 100);
  EXPECT_EQ(c->S_Dot->left, 237);
  EXPECT_EQ(c->E_Mag->text(), "1,000");
  EXPECT_TRUE(usb_sent().empty());
  c->S_Coord->mouse_move(ui::kTouch, 100, 190);
  EXPECT_EQ(c->E_Phase->text(), "10.00");
}

TEST_F(MixTest, MarkerPositionsGiveTheirValues) {
  struct Case {
    int x, y;
    const char *magnitude, *phase;
  } cases[] =
      {
          {240, 190, "1.000", "10.00"},    {240, 210, "1.000", "-10.00"},
          {0, 10, "0.063", "-170.00"},     {400, 390, "6.310", "170.00"},
          {-50, -50, "0.063", "-160.00"},  // beyond the plane: the edge
          {5000, 5000, "6.310", "160.00"},
      };
  for (const Case& k : cases) {
    drag(k.x, k.y);
    EXPECT_EQ(c->E_Mag->text(), k.magnitude) << k.x << "," << k.y;
    EXPECT_EQ(c->E_Phase->text(), k.phase) << k.x << "," << k.y;
  }
  EXPECT_EQ(c->S_Dot->left, 397);
  EXPECT_EQ(c->S_Dot->top, 397);
  drag(-50, -50);
  EXPECT_EQ(c->S_Dot->left, -3);
  EXPECT_EQ(c->S_Dot->top, -3);
}

TEST_F(MixTest, PhaseNear180StaysInTheBandWhereTheMarkerIs) {
  drag(240, 100);  // upper half
  c->E_Phase->set_text("-170.00");
  EXPECT_EQ(c->S_Dot->top + 3 - 200, -190);
  EXPECT_EQ(c->S_Circle->top, c->S_Dot->top - 20);
  drag(240, 300);  // lower half
  c->E_Phase->set_text("-170,00");
  EXPECT_EQ(c->S_Dot->top + 3 - 200, 170);
  c->E_Phase->set_text("170.00");  // lower band, measured from the full height 401
  EXPECT_EQ(c->S_Dot->top, 388);
  drag(240, 100);
  c->E_Phase->set_text("170,00");
  EXPECT_EQ(c->S_Dot->top + 3 - 200, -170);
}

TEST_F(MixTest, MagnitudeTextsWithoutADbValueKeepTheMarkerOnThePlane) {
  for (const char* text : {"0", "-1", "0.001"}) {
    c->E_Mag->set_text(text);
    EXPECT_EQ(c->S_Dot->left, -3) << text;
  }
  c->E_Mag->set_text("1000");
  EXPECT_EQ(c->S_Dot->left, 397);
  EXPECT_TRUE(ui::message_boxes().empty());
}

// ---------------------------------------------------------------------------------------------
// Steps

TEST_F(MixTest, MagnitudeStepsStopAtTheLimits) {
  c->RG_MagRes->set_item_index(1);
  c->E_Mag->set_text("0.065");
  c->SB_Mag->click_down();
  EXPECT_EQ(c->E_Mag->text(), "0.063");
  c->E_Mag->set_text("6.305");
  c->SB_Mag->click_up();
  EXPECT_EQ(c->E_Mag->text(), "6.310");
  EXPECT_EQ(usb_sent(), (Queue{mix_entry(516, 0), mix_entry(51690, 0)}));
  c->RG_MagRes->set_item_index(0);
  c->E_Mag->set_text("1,000");
  c->SB_Mag->click_up();
  EXPECT_EQ(c->E_Mag->text(), "1.100");
  c->RG_MagRes->set_item_index(2);
  c->SB_Mag->click_down();
  EXPECT_EQ(c->E_Mag->text(), "1.099");
}

TEST_F(MixTest, PhaseStepsWrapPast180) {
  struct Case {
    const char* from;
    int resolution;
    bool up;
    const char* to;
  } cases[] = {
      {"179.95", 0, true, "-179.95"},  {"-180.00", 1, false, "179.99"},
      {"180.00", 1, true, "-179.99"},  {"179.99", 1, true, "180.00"},
      {"-179.9", 0, false, "-180.00"}, {"0,00", 1, false, "-0.01"},
  };
  for (const Case& k : cases) {
    c->E_Phase->set_text(k.from);
    c->RG_PhaseRes->set_item_index(k.resolution);
    k.up ? c->SB_Phase->click_up() : c->SB_Phase->click_down();
    EXPECT_EQ(c->E_Phase->text(), k.to) << k.from;
  }
}

TEST_F(MixTest, WheelStepsLikeTheSpinButtonsAndIsTaken) {
  EXPECT_TRUE(c->ScrollBox1->mouse_wheel(120));
  EXPECT_EQ(c->E_Mag->text(), "1.001");
  EXPECT_TRUE(c->ScrollBox1->mouse_wheel(-120));
  EXPECT_EQ(c->E_Mag->text(), "1.000");
  EXPECT_TRUE(c->ScrollBox2->mouse_wheel(-120));
  EXPECT_EQ(c->E_Phase->text(), "-0.01");
  EXPECT_EQ(usb_sent(), (Queue{mix_entry(8200, 0), mix_entry(8191, 0), mix_entry(8191, 0xFFFF)}));
}

TEST_F(MixTest, TextThatIsNotANumberStopsTheHandler) {
  c->E_Mag->set_text("abc");  // its change handler reports it
  c->SB_Mag->click_up();
  EXPECT_EQ(c->E_Mag->text(), "abc");
  EXPECT_EQ(c->S_Dot->left, 237);
  EXPECT_TRUE(usb_sent().empty());
  auto boxes = ui::message_boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, "'abc' is not a valid floating point value");
}

TEST(MixNumbers, TextsAreReadWithCommaOrPoint) {
  EXPECT_EQ(mix::parse_number(" -1,5 "), -1.5);
  EXPECT_EQ(mix::parse_number("+2.25"), 2.25);
  EXPECT_EQ(mix::parse_number("1e2"), 100.0);
  EXPECT_EQ(mix::parse_number(",5"), 0.5);
  for (const char* bad :
       {"", "-", ".", "1.2.3", "1,2.3", "1e", "1e999", "inf", "nan", "0x10", "1 2", "12a"}) {
    EXPECT_FALSE(mix::parse_number(bad).has_value()) << bad;
  }
  EXPECT_EQ(mix::format_fixed(-0.001, 2), "0.00");
  EXPECT_EQ(mix::format_fixed(-180.0, 2), "-180.00");
}

TEST_F(MixTest, TextsUseTheLocaleDecimalSeparator) {
  // A numeric locale with a comma, compiled for this test.
  std::ofstream("comma") << "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\n"
                            "grouping 3;3\nEND LC_NUMERIC\n";
  std::filesystem::create_directories("locales");
  std::system("localedef -c -i ./comma -f UTF-8 ./locales/comma.UTF-8 >/dev/null 2>&1");
  setenv("LOCPATH", (dir_ / "locales").c_str(), 1);
  if (std::setlocale(LC_NUMERIC, "comma.UTF-8") == nullptr) {
    GTEST_SKIP() << "localedef could not build a comma locale";
  }
  drag(250, 190);
  c->RG_MagRes->set_item_index(2);
  c->SB_Mag->click_up();
  c->E_Phase->set_text("9.5");  // a point is still read
  c->SB_Phase->click_up();
  std::string magnitude = c->E_Mag->text(), phase = c->E_Phase->text();
  std::setlocale(LC_NUMERIC, "C");
  unsetenv("LOCPATH");
  EXPECT_EQ(magnitude, "1,123");
  EXPECT_EQ(phase, "9,51");
  EXPECT_TRUE(ui::message_boxes().empty());
}

// ---------------------------------------------------------------------------------------------
// Mix send

TEST_F(MixTest, CoefficientWordsAndBytes) {
  EXPECT_EQ(send_with("1.000", "0.00"), Queue{mix_entry(8191, 0)});
  EXPECT_EQ(send_with("0.063", "0.00"), Queue{mix_entry(516, 0)});
  EXPECT_EQ(send_with("6.31", "0.00"), Queue{mix_entry(51690, 0)});
  EXPECT_EQ(send_with("1.000", "90.00"), Queue{mix_entry(8191, 16383)});
  Queue q = send_with("1.000", "-0.01");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0][4], 0xFF);
  EXPECT_EQ(q[0][5], 0xFF);
  q = send_with("1.000", "-180.00");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0][4], 0x01);
  EXPECT_EQ(q[0][5], 0x80);
}

TEST_F(MixTest, ValuesBeyondThePlaneAreClampedBeforeTheWords) {
  EXPECT_EQ(send_with("9.5", "270"), Queue{mix_entry(51690, 32767)});
  EXPECT_EQ(send_with("-3", "-1e6"), Queue{mix_entry(516, uint16_t(-32767))});
  EXPECT_EQ(send_with("0,001", "1e300"), Queue{mix_entry(516, 32767)});
}

TEST_F(MixTest, UnreadableTextInTheSendBecomesNeutral) {
  drag(250, 190);
  usb_sent();
  c->E_Mag->set_text("?");
  c->E_Phase->set_text("-");
  c->mix_send();
  EXPECT_EQ(c->E_Mag->text(), "1.000");
  EXPECT_EQ(c->E_Phase->text(), "0.00");
  EXPECT_EQ(c->S_Dot->left, 237);
  EXPECT_EQ(usb_sent(), Queue{mix_entry(8191, 0)});
}

TEST_F(MixTest, OutsideDiversityTheNeutralPairGoesAndSwitchingBackWithNeutralValuesSendsNothing) {
  drag(250, 190);
  usb_sent();
  panel->RB_Cpar->set_checked(true);
  EXPECT_EQ(usb_sent(), Queue{mix_entry(8191, 0)});
  c->E_Mag->set_text("1.000");
  c->E_Phase->set_text("0.00");
  panel->RB_Cdiv->set_checked(true);
  EXPECT_TRUE(usb_sent().empty());
}

TEST_F(MixTest, RepeatedPairIsSentOnce) {
  drag(250, 190);
  drag(250, 190);
  c->mix_send();
  EXPECT_EQ(usb_sent(), Queue{mix_entry(9191, 1820)});
}

TEST_F(MixTest, NothingIsSentWhileClosed) {
  drag(250, 190);
  usb_sent();
  g_plugin.open_count = 0;
  drag(300, 100);
  EXPECT_EQ(c->E_Mag->text(), "1.995");
  EXPECT_TRUE(usb_sent().empty());
  EXPECT_EQ(mix::g_mix.last_magnitude, 9191);
  EXPECT_EQ(mix::g_mix.last_phase, 1820);
}

TEST_F(MixTest, DiversityQueueTakesNoMixEntryAtSix) {
  fill(usb::usb_queue(), 5);
  drag(250, 200);
  EXPECT_EQ(usb::queue_length(usb::usb_queue()), 6u);
  drag(260, 200);  // recorded, not queued
  EXPECT_EQ(usb::queue_length(usb::usb_queue()), 6u);
  EXPECT_EQ(mix::g_mix.last_magnitude, 10313);
  {
    std::lock_guard<std::mutex> guard(usb::usb_queue().lock);
    usb::usb_queue().entries.pop_front();
  }
  c->mix_send();  // the dropped pair is not retried
  EXPECT_EQ(usb::queue_length(usb::usb_queue()), 5u);
  drag(270, 200);
  EXPECT_EQ(usb_sent(), (Queue{mix_entry(9191, 0), mix_entry(11575, 0)}));
  // A mode change is never capped.
  fill(usb::usb_queue(), 6);
  panel->RB_Cpar->set_checked(true);
  EXPECT_EQ(usb_sent(), Queue{mix_entry(8191, 0)});
}

TEST_F(MixTest, WithoutUsbTheLanTakesItAndWithoutALinkThePairIsStillRecorded) {
  usb::g_link.handle = nullptr;
  lan::g_lan.tcp_socket = kFakeSocket;
  drag(250, 200);
  EXPECT_EQ(mix_taken(usb::lan_queue()), Queue{mix_entry(9191, 0)});
  lan::g_lan.tcp_socket = lan::kNoSocket;
  drag(260, 200);
  EXPECT_EQ(mix::g_mix.last_magnitude, 10313);
  lan::g_lan.tcp_socket = kFakeSocket;
  c->mix_send();
  EXPECT_TRUE(mix_taken(usb::lan_queue()).empty());
}

TEST_F(MixTest, LastPairOutlivesThePanel) {
  drag(250, 200);
  usb_sent();
  // A new panel with the same values, as after closing and reopening: nothing new to send.
  g_plugin.open_count = 0;
  F_RDR1 = nullptr;
  delete panel;
  F_RDR1 = panel = new TF_RDR1();  // restores 1.122 / 0.00 from the settings file
  c = F_Coord;
  g_plugin.open_count = 1;
  EXPECT_EQ(c->E_Mag->text(), "1.122");
  EXPECT_TRUE(panel->RB_Cdiv->checked());
  c->mix_send();
  EXPECT_TRUE(usb_sent().empty());
}

}  // namespace
