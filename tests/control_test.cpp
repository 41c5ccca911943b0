// Receiver control on a panel of its own: stream set-ups, clock, tuning, channel modes, front end
// and status display, checked by the bytes they queue and what the host is told.
//
// The test thread is the user-interface thread. A dummy USB handle (no task runs) and a dummy TCP
// socket let the routing rule queue commands, which the tests then take out of the queues.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "control/Form1.h"
#include "control/stream_config.h"
#include "lan/lan_state.h"
#include "mix/Coord1.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/Usbtask1.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Queue = std::vector<Bytes>;
using plugin::g_plugin;
using usb::g_status;

// A socket number nothing in this process owns: only ever compared, never used.
constexpr lan::Socket kFakeSocket = 1 << 20;

struct HostCall {
  int32_t code;
  int64_t value;  // what the host read back: rate for 100, LO for 101, attenuator for 125
};
std::vector<HostCall> g_host;  // user-interface thread only

void host_callback(int32_t count, int32_t status, float, void*) {
  if (count != -1) return;
  int64_t value = 0;
  if (status == plugin::kSampleRateChanged) value = GetHWSR();
  if (status == plugin::kLoChanged) value = GetHWLO64();
  if (status == plugin::kAttenuatorChanged) value = GetActualAttIdx();
  g_host.push_back({status, value});
}

// The queued entries, without the mix coefficients (register 9) that the mode handlers send
// through the mix window: those are the mix window's business.
Queue take(usb::CommandQueue& q) {
  std::lock_guard<std::mutex> guard(q.lock);
  Queue out;
  for (auto& e : q.entries) {
    if (!(e.size() > 1 && e[0] == 0xB0 && e[1] == 0x09)) out.push_back(e);
  }
  q.entries.clear();
  return out;
}

void fill(usb::CommandQueue& q, size_t n) {
  std::lock_guard<std::mutex> guard(q.lock);
  for (size_t i = 0; i < n; ++i) q.entries.push_back({0x00, 0});
}

class ControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ui::adopt_this_thread();
    // The settings file lives in the working directory: keep the user's own out of reach.
    dir_ = std::filesystem::temp_directory_path() / ("kmv-control-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    plugin::store_callback(host_callback);
    usb::create_queues();
  }
  static void TearDownTestSuite() {
    usb::destroy_queues();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  void SetUp() override {
    g_plugin.open_count = 0;
    g_status.device_status = 0;
    g_status.ip_error = 0;
    for (auto& e : g_status.settings_echo) e = 0;
    for (auto& t : control::g_stream.last_tuning) t = 0;
    F_RDR1 = new TF_RDR1();
    f = F_RDR1;
    f->T_Update->set_enabled(false);  // the tests tick the status display themselves
    f->B_Set->enabled = true;         // as after the first tick (its own test below)
    usb::g_link.handle = reinterpret_cast<bridge::Handle>(uintptr_t{0x1000});
    lan::g_lan.tcp_socket = kFakeSocket;
    g_plugin.open_count = 1;
    take(usb::usb_queue());
    take(usb::lan_queue());
    g_host.clear();
    ui::clear_message_boxes();
  }
  void TearDown() override {
    usb::g_link.handle = nullptr;
    lan::g_lan.tcp_socket = lan::kNoSocket;
    g_plugin.open_count = 0;
    F_RDR1 = nullptr;
    delete f;
    std::filesystem::remove("KMV410V2.11");
    take(usb::usb_queue());
    take(usb::lan_queue());
  }

  Queue usb_sent() { return take(usb::usb_queue()); }
  Queue lan_sent() { return take(usb::lan_queue()); }
  // Lets the next scroll-bar move through the throttle.
  void release_throttle() { f->Timer1->set_enabled(false); }
  void select_mode(ui::Control* button) {
    button->set_checked(true);
    usb_sent();
  }
  std::vector<int32_t> host_codes() {
    std::vector<int32_t> codes;
    for (auto& c : g_host) codes.push_back(c.code);
    return codes;
  }

  TF_RDR1* f = nullptr;
  static inline std::filesystem::path dir_;
};

// ---------------------------------------------------------------------------------------------
// Stream set-ups

TEST_F(ControlTest, UsbSetupAt62_5FallsBackTo16BitAndTellsTheHost) {
  f->C_USB1->set_item_index(0);  // decimation 2 at 125 MHz
  f->CB_USB1->set_checked(true);
  EXPECT_EQ(f->E_USB->text(), "62.5");
  EXPECT_EQ(f->L_BitsU->caption, "16");
  EXPECT_EQ(g_plugin.usb_rate.load(), 62500000);
  control::UsbGeometry g = control::usb_geometry();
  EXPECT_EQ(g.blocks, 128u);
  EXPECT_TRUE(g.sixteen_bit);
  EXPECT_FALSE(g.dual);
  EXPECT_EQ(usb::g_usb_tx.pacing.load(), 48u);  // 62.5 MS/s / 130560 per block, per 100 ms
  EXPECT_EQ(usb_sent(), (Queue{{0xB4, 0x01, 0x20, 0x01, 0x00}}));
  EXPECT_TRUE(lan_sent().empty());  // no LAN box checked: no LAN set-up
  // Every slot is bound to USB1 now; the host read the new rate back.
  ASSERT_EQ(g_host.size(), 1u);
  EXPECT_EQ(g_host[0].code, plugin::kSampleRateChanged);
  EXPECT_EQ(g_host[0].value, 62500000);
}

TEST_F(ControlTest, UsbSetupAt200DualRaisesBothDecimationsTo8) {
  select_mode(f->RB_Csep);
  f->SB_CLK->set_value(200);
  g_plugin.open_count = 0;  // check both boxes without running their handlers
  f->CB_USB1->set_checked(true);
  f->CB_USB2->set_checked(true);
  g_plugin.open_count = 1;
  f->C_USB1->set_item_index(0);
  f->C_USB2->set_item_index(4);
  f->usb_stream_setup();
  EXPECT_EQ(f->C_USB1->item_index(), 2);
  EXPECT_EQ(f->C_USB2->item_index(), 2);
  EXPECT_EQ(f->E_USB->text(), "50");
  EXPECT_EQ(g_plugin.usb_rate.load(), 25000000);
  control::UsbGeometry g = control::usb_geometry();
  EXPECT_EQ(g.blocks, 256u);
  EXPECT_TRUE(g.sixteen_bit && g.dual);
  EXPECT_EQ(usb_sent(), (Queue{{0xB4, 0x01, 0x32, 0x00, 0x00}}));  // OR-ed, mode Separate
}

TEST_F(ControlTest, LanSetupAt125Over4EndsAt15_625In16BitThenReturnsTo24Bit) {
  f->C_LAN1->set_item_index(1);
  f->CB_LAN1->set_checked(true);
  EXPECT_EQ(f->E_LAN->text(), "15.625");
  EXPECT_EQ(f->L_BitsL->caption, "16");
  EXPECT_EQ(f->C_LAN1->item_index(), 2);
  EXPECT_EQ(g_plugin.lan_rate.load(), 15625000);
  control::LanGeometry g = control::lan_geometry();
  EXPECT_EQ(g.packets, 359u);
  EXPECT_EQ(g.sample_bytes, 522240u);
  EXPECT_EQ(g.size_code(), 0x07);
  EXPECT_EQ(control::g_stream.lan_pacing.load(), 12u);
  EXPECT_EQ(lan_sent(), (Queue{{0xB4, 0x02, 0x22, 0x01, 0x00}}));
  EXPECT_TRUE(usb_sent().empty());
  EXPECT_EQ(g_plugin.lan_stop.load(), 0);

  // The next run starts from 24 bits again and 15.625 fits.
  f->lan_stream_setup();
  EXPECT_EQ(f->L_BitsL->caption, "24");
  EXPECT_EQ(f->E_LAN->text(), "15.625");
  g = control::lan_geometry();
  EXPECT_EQ(g.packets, 539u);
  EXPECT_EQ(g.sample_bytes, 783360u);
  EXPECT_EQ(lan_sent(), (Queue{{0xB4, 0x02, 0x02, 0x01, 0x00}}));
}

TEST_F(ControlTest, RateLimitsAreExclusive) {
  f->SB_CLK->set_value(120);  // 120 / 2 = 60: still 24-bit
  f->C_USB1->set_item_index(0);
  f->usb_stream_setup();
  EXPECT_EQ(f->L_BitsU->caption, "24");
  EXPECT_EQ(f->E_USB->text(), "60");
  EXPECT_EQ(control::usb_geometry().blocks, 192u);
  f->SB_CLK->set_value(180);  // 90 in 16-bit: no raising
  f->usb_stream_setup();
  EXPECT_EQ(f->L_BitsU->caption, "16");
  EXPECT_EQ(f->C_USB1->item_index(), 0);
  EXPECT_EQ(f->E_USB->text(), "90");
  f->SB_CLK->set_value(182);
  f->usb_stream_setup();
  EXPECT_EQ(f->C_USB1->item_index(), 1);
  EXPECT_EQ(f->E_USB->text(), "45.5");
}

TEST_F(ControlTest, FixedWidthStays16BitAndDoubleClickTogglesBack) {
  f->C_USB1->set_item_index(5);  // 1.953125 MS/s
  f->L_BitsU->dbl_click();
  EXPECT_EQ(f->L_BitsU->tag, 0);
  EXPECT_EQ(f->L_BitsU->caption, "16");
  EXPECT_EQ(f->E_USB->text(), "1.953125");
  EXPECT_EQ(usb_sent(), (Queue{{0xB4, 0x01, 0x25, 0x01, 0x00}}));
  f->L_BitsU->dbl_click();
  EXPECT_EQ(f->L_BitsU->tag, 1);
  EXPECT_EQ(f->L_BitsU->caption, "24");
  EXPECT_EQ(usb_sent(), (Queue{{0xB4, 0x01, 0x05, 0x01, 0x00}}));
}

TEST_F(ControlTest, SetupWithoutStreamsStillSendsStream1AndStream2AloneSetsBit3) {
  f->usb_stream_setup();
  EXPECT_EQ(f->E_USB->text(), "7.8125");
  EXPECT_EQ(g_plugin.usb_rate.load(), 7812500);
  EXPECT_EQ(usb_sent(), (Queue{{0xB4, 0x01, 0x03, 0x01, 0x00}}));
  select_mode(f->RB_Csep);
  f->C_USB2->set_item_index(5);
  f->CB_USB2->set_checked(true);
  EXPECT_EQ(usb_sent(), (Queue{{0xB4, 0x01, 0x0D, 0x00, 0x00}}));
}

TEST_F(ControlTest, OutOfRangeClockAndOddFixedWidthEndTheLoopWithinTheSelectors) {
  f->SB_CLK->set_text("250");  // typed, not sent yet
  f->L_BitsU->tag = 0;
  f->L_BitsU->caption = "12";
  f->C_USB1->set_item_index(0);
  f->usb_stream_setup();  // computed with 200 MHz, 16-bit
  EXPECT_EQ(f->C_USB1->item_index(), 1);
  EXPECT_EQ(f->E_USB->text(), "50");
  EXPECT_EQ(f->L_BitsU->caption, "16");

  // Stream 2 alone with stream 1's selector already at 64: stream 2's selector is raised.
  select_mode(f->RB_Csep);
  f->C_USB1->set_item_index(5);
  f->C_USB2->set_item_index(0);
  f->CB_USB2->set_checked(true);
  EXPECT_EQ(f->C_USB1->item_index(), 5);
  EXPECT_EQ(f->C_USB2->item_index(), 1);
  EXPECT_EQ(f->E_USB->text(), "50");

  // A fixed caption that is not a number changes nothing and is reported.
  usb_sent();
  f->L_BitsU->caption = "x";
  f->usb_stream_setup();
  EXPECT_TRUE(usb_sent().empty());
  EXPECT_EQ(ui::message_boxes().size(), 1u);
}

TEST_F(ControlTest, StreamHandlersDoNothingWhileClosed) {
  g_plugin.open_count = 0;
  f->C_USB1->user_select(0);
  f->L_BitsL->dbl_click();
  EXPECT_TRUE(usb_sent().empty());
  EXPECT_TRUE(lan_sent().empty());
  EXPECT_EQ(f->L_BitsL->tag, 1);
}

TEST_F(ControlTest, BothStreamsOfALinkKeepTheSameDecimation) {
  select_mode(f->RB_Csep);
  f->CB_LAN1->set_checked(true);
  f->CB_LAN2->set_checked(true);
  lan_sent();
  f->C_LAN2->user_select(5);
  EXPECT_EQ(f->C_LAN1->item_index(), 5);
  EXPECT_EQ(lan_sent(), (Queue{{0xB4, 0x02, 0x35, 0x00, 0x00}}));
  EXPECT_TRUE(control::lan_geometry().dual);
  EXPECT_EQ(control::lan_geometry().packets, 718u);
  // The USB link follows a LAN box only when a USB box is checked.
  EXPECT_TRUE(usb_sent().empty());
}

TEST_F(ControlTest, GeometryWordsAlwaysDecodeToAConsistentGeometry) {
  for (uint32_t word = 0; word < 0x400; ++word) {
    control::UsbGeometry u = control::unpack_usb(word);
    EXPECT_EQ(u.blocks, control::usb_geometry_for(u.sixteen_bit, u.dual).blocks);
    EXPECT_TRUE(u.sixteen_bit || !u.dual);
    EXPECT_LE(u.transfer_bytes(), 1048576u);
    control::LanGeometry l = control::unpack_lan(word);
    EXPECT_TRUE(l.sixteen_bit || !l.dual);
    EXPECT_EQ(l.sample_bytes % control::kHostBlockSamples, 0u);
    EXPECT_LE(l.sample_bytes, l.frame_bytes());
  }
  for (bool s : {false, true}) {
    for (bool d : {false, true}) {
      auto u = control::usb_geometry_for(s, d && s);
      EXPECT_EQ(control::unpack_usb(control::pack_usb(u)).blocks, u.blocks);
      auto l = control::lan_geometry_for(s, d && s);
      EXPECT_EQ(control::unpack_lan(control::pack_lan(l)).sample_bytes, l.sample_bytes);
    }
  }
}

// A reader on another thread (as the stream tasks) never sees the sizes of one format with the
// flags of another while the set-ups switch formats.
TEST_F(ControlTest, TasksSnapshotTheGeometryConsistentlyWhileSetUpsRun) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, seen{0};
  std::thread reader([&] {
    while (!stop.load()) {
      control::UsbGeometry u = control::usb_geometry();
      control::LanGeometry l = control::lan_geometry();
      if (u.blocks * (u.dual ? 510u : u.sixteen_bit ? 1020u : 680u) != 130560u) ++bad;
      uint32_t per_sample = l.dual ? 8 : l.sixteen_bit ? 4 : 6;
      if (l.sample_bytes != 130560u * per_sample) ++bad;
      ++seen;
    }
  });
  select_mode(f->RB_Csep);
  f->SB_CLK->set_value(200);
  for (int i = 0; i < 50; ++i) {
    f->CB_USB2->set_checked(i % 2 == 0);
    f->CB_USB1->set_checked(i % 3 != 0);
    f->CB_LAN2->set_checked(i % 2 == 1);
    f->CB_LAN1->set_checked(i % 3 == 0);
    f->C_USB1->set_item_index(0);
    f->usb_stream_setup();
  }
  while (seen.load() < 1000) std::this_thread::yield();
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
}

// ---------------------------------------------------------------------------------------------
// Rates offered to the host

// Whatever the clock, width, streams and the other selector, each offered rate is what picking
// it delivers (raised decimations included), and afterwards the current entry is that rate.
TEST_F(ControlTest, EveryOfferedRateIsWhatItsPickDelivers) {
  struct Link {
    int32_t selector;
    ui::Control *bits, *on1, *on2, *c1, *c2;
  };
  const Link links[] = {
      {plugin::kUsbRate, f->L_BitsU, f->CB_USB1, f->CB_USB2, f->C_USB1, f->C_USB2},
      {plugin::kLanRate, f->L_BitsL, f->CB_LAN1, f->CB_LAN2, f->C_LAN1, f->C_LAN2}};
  for (const Link& l : links) {
    for (int clock : {70, 125, 182, 200, 250}) {
      for (int boxes = 0; boxes < 4; ++boxes) {  // bit 0 stream 1, bit 1 stream 2
        for (bool fixed16 : {false, true}) {
          for (int other : {0, 5}) {  // the selector not picked from
            for (int k = 0; k < 6; ++k) {
              SCOPED_TRACE(::testing::Message()
                           << "link " << l.selector << " clock " << clock << " boxes " << boxes
                           << " fixed16 " << fixed16 << " other " << other << " pick " << k);
              g_plugin.open_count = 0;  // no handlers while the scene is set
              for (auto* box : {f->CB_USB1, f->CB_USB2, f->CB_LAN1, f->CB_LAN2}) {
                box->set_checked(false);
              }
              l.on1->set_checked(boxes & 1);
              l.on2->set_checked(boxes & 2);
              g_plugin.open_count = 1;
              f->SB_CLK->set_text(std::to_string(clock));
              l.bits->tag = fixed16 ? 0 : 1;
              l.bits->caption = fixed16 ? "16" : "24";
              g_plugin.rate_selector = l.selector;
              ui::Control* picked = f->reported_rate_selector();
              ASSERT_EQ(picked, boxes == 2 ? l.c2 : l.c1);
              picked->set_item_index(3);
              (picked == l.c1 ? l.c2 : l.c1)->set_item_index(other);

              TF_RDR1::RateChoices offered = f->rate_choices();
              ASSERT_EQ(offered.count, 6);
              picked->user_select(k);
              int32_t delivered =
                  l.selector == plugin::kLanRate ? g_plugin.lan_rate : g_plugin.usb_rate;
              EXPECT_EQ(offered.rates[k], delivered);
              TF_RDR1::RateChoices now = f->rate_choices();
              EXPECT_EQ(now.current, picked->item_index());
              EXPECT_EQ(now.rates[now.current], delivered);
              usb_sent();
              lan_sent();
              g_host.clear();
            }
          }
        }
      }
    }
  }
  // A fixed width the set-up cannot read offers nothing: a pick would change nothing.
  f->L_BitsU->tag = 0;
  f->L_BitsU->caption = "x";
  g_plugin.rate_selector = plugin::kUsbRate;
  EXPECT_EQ(f->rate_choices().count, 0);
}

// ---------------------------------------------------------------------------------------------
// Clock

TEST_F(ControlTest, ClockSetSendsAndWaitsForTheEcho) {
  f->SB_CLK->user_type("150");
  EXPECT_EQ(f->SB_CLK->color, ui::kYellow);
  f->B_Set->enabled = true;
  f->B_CLKSet->click();
  EXPECT_FALSE(f->B_Set->enabled);
  EXPECT_EQ(usb_sent(), (Queue{{0xF2, 0x96, 0x00, 0x00}}));
  // Still yellow: a second press sends again.
  f->B_CLKSet->click();
  EXPECT_EQ(usb_sent(), (Queue{{0xF2, 0x96, 0x00, 0x00}}));

  // An echo of another clock changes nothing.
  g_status.clock_echo = 125;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_FALSE(f->B_Set->enabled);
  EXPECT_TRUE(usb_sent().empty());

  // The confirmation runs the USB, then the LAN set-up with the new clock.
  f->CB_LAN1->set_checked(true);
  lan_sent();
  usb_sent();
  g_status.clock_echo = 150;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_TRUE(f->B_Set->enabled);
  EXPECT_EQ(f->SB_CLK->color, ui::kWhite);
  EXPECT_EQ(f->E_USB->text(), "9.375");
  EXPECT_EQ(usb_sent(), (Queue{{0xB4, 0x01, 0x03, 0x01, 0x00}}));
  EXPECT_EQ(lan_sent(), (Queue{{0xB4, 0x02, 0x03, 0x01, 0x00}}));
  // Once confirmed, later ticks leave everything alone, and "Set" without an edit sends nothing.
  f->T_UpdateTimer(f->T_Update);
  f->B_CLKSet->click();
  EXPECT_TRUE(usb_sent().empty());
}

TEST_F(ControlTest, ClockIsClampedBeforeSending) {
  f->SB_CLK->user_type("250");
  f->B_CLKSet->click();
  EXPECT_EQ(f->SB_CLK->value(), 200);
  EXPECT_EQ(usb_sent(), (Queue{{0xF2, 0xC8, 0x00, 0x00}}));
  f->SB_CLK->user_type("5");
  f->B_CLKSet->click();
  EXPECT_EQ(usb_sent(), (Queue{{0xF2, 0x46, 0x00, 0x00}}));
  // At open (count 0) the clock goes out even when nothing was edited.
  f->SB_CLK->color = ui::kWhite;
  g_plugin.open_count = 0;
  f->B_CLKSetClick(f->B_CLKSet);
  EXPECT_EQ(usb_sent(), (Queue{{0xF2, 0x46, 0x00, 0x00}}));
}

// ---------------------------------------------------------------------------------------------
// Tuning

TEST_F(ControlTest, TypedFrequencyIsGroupedSentAndNotified) {
  f->CB_USB1->set_checked(true);
  usb_sent();
  g_host.clear();
  f->E_Freq0->user_type("12345");
  EXPECT_EQ(f->E_Freq0->text(), "12.345");
  EXPECT_EQ(usb_sent(), (Queue{{0xB0, 0x02, 0x39, 0x30, 0x00, 0x00, 0x00}}));
  EXPECT_EQ(g_plugin.lo1.load(), 12345);
  ASSERT_EQ(g_host.size(), 1u);
  EXPECT_EQ(g_host[0].code, plugin::kLoChanged);
  EXPECT_EQ(g_host[0].value, 12345);

  // Anything but digits is dropped; a text without digits is reported and sends nothing.
  f->E_Freq0->user_type("7a0b0");
  EXPECT_EQ(f->E_Freq0->text(), "700");
  EXPECT_EQ(usb_sent(), (Queue{{0xB0, 0x02, 0xBC, 0x02, 0x00, 0x00, 0x00}}));
  f->E_Freq0->user_type("abc");
  EXPECT_EQ(f->E_Freq0->text(), "abc");
  EXPECT_TRUE(usb_sent().empty());
  EXPECT_EQ(g_plugin.lo1.load(), 700);
  EXPECT_EQ(ui::message_boxes().size(), 1u);
}

TEST_F(ControlTest, FrequencyFromTheHostIsAConfirmedValue) {
  EXPECT_EQ(SetHWLO64(7100000), 0);
  EXPECT_EQ(f->E_Freq0->text(), "7.100.000");
  EXPECT_EQ(f->E_Freq1->text(), "7.100.000");  // grouped, but not sent: not Separate
  EXPECT_FALSE(f->E_Freq0->read_only);
  EXPECT_FALSE(f->E_Freq1->read_only);
  EXPECT_EQ(usb_sent(), (Queue{{0xB0, 0x02, 0x60, 0x56, 0x6C, 0x00, 0x00}}));
  EXPECT_EQ(g_plugin.lo1.load(), 7100000);
}

TEST_F(ControlTest, ParallelIgnoresTheChannel2Edit) {
  int64_t lo1 = g_plugin.lo1.load(), lo2 = g_plugin.lo2.load();
  f->E_Freq1->read_only = true;
  f->E_Freq1->set_text("5000000");
  EXPECT_EQ(f->E_Freq1->text(), "5.000.000");
  EXPECT_TRUE(usb_sent().empty());
  EXPECT_EQ(g_plugin.lo1.load(), lo1);
  EXPECT_EQ(g_plugin.lo2.load(), lo2);
  EXPECT_TRUE(g_host.empty());
}

TEST_F(ControlTest, SeparateSendsRegister1AndNotifiesChannel2Hosts) {
  select_mode(f->RB_Csep);
  f->CB_USB2->set_checked(true);  // every slot bound to USB2
  usb_sent();
  g_host.clear();
  EXPECT_TRUE(f->E_Freq1->enabled);
  f->E_Freq1->user_type("7000000");
  EXPECT_EQ(usb_sent(), (Queue{{0xB0, 0x01, 0xC0, 0xCF, 0x6A, 0x00, 0x00}}));
  EXPECT_EQ(g_plugin.lo2.load(), 7000000);
  ASSERT_EQ(g_host.size(), 1u);
  EXPECT_EQ(g_host[0].code, plugin::kLoChanged);
  EXPECT_EQ(g_host[0].value, 7000000);  // the channel-2 LO was selected
  f->E_Freq0->user_type("3000000");
  EXPECT_EQ(usb_sent(), (Queue{{0xB0, 0x00, 0xC0, 0xC6, 0x2D, 0x00, 0x00}}));
}

TEST_F(ControlTest, LockDisablesTheEditsAndTellsEveryHost) {
  f->CB_Locked->click();
  EXPECT_FALSE(f->E_Freq0->enabled);
  EXPECT_FALSE(f->E_Freq1->enabled);
  f->CB_Locked->click();
  EXPECT_TRUE(f->E_Freq0->enabled);
  EXPECT_FALSE(f->E_Freq1->enabled);  // only in Separate
  EXPECT_EQ(host_codes(), (std::vector<int32_t>{plugin::kLoLocked, plugin::kLoUnlocked}));
}

TEST_F(ControlTest, Nim1TuningRoundsAndHasHysteresis) {
  f->C_Ant1->user_select(4);
  usb_sent();
  f->antenna_tuning_follow_up(7000000, 3, false);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0x58, 0x1B, 0x00}}));  // 7000
  f->antenna_tuning_follow_up(7004000, 3, false);
  EXPECT_TRUE(usb_sent().empty());
  f->antenna_tuning_follow_up(7006000, 3, false);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0x62, 0x1B, 0x00}}));  // 7010
  EXPECT_EQ(control::g_stream.last_tuning[0].load(), 7010);
  f->antenna_tuning_follow_up(7025000, 3, false);                  // a remainder of 5 rounds down
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0x6C, 0x1B, 0x00}}));  // 7020
}

TEST_F(ControlTest, Nim2At145MHzSendsTenthsAndSwitchesTheClock) {
  f->C_Ant1->user_select(5);
  EXPECT_TRUE(f->RB_CserU->checked());
  usb_sent();
  f->antenna_tuning_follow_up(145000000, 3, false);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0xAA, 0x05, 0x00}, {0xF2, 0xC8, 0x00, 0x00}}));
  EXPECT_EQ(f->SB_CLK->value(), 200);
  EXPECT_FALSE(f->B_Set->enabled);
  // Lower band: 120 MHz; the same clock again is not resent.
  f->antenna_tuning_follow_up(100000000, 1, false);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0xE8, 0x03, 0x00}, {0xF2, 0x78, 0x00, 0x00}}));
  f->antenna_tuning_follow_up(101000000, 1, false);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0xF2, 0x03, 0x00}}));
  f->antenna_tuning_follow_up(170000000, 1, false);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0xA4, 0x06, 0x00}, {0xF2, 0xA0, 0x00, 0x00}}));
}

TEST_F(ControlTest, Bel3SendsEveryTuningAndTheUnitChangesAbove60MHz) {
  f->C_Ant2->user_select(3);
  f->RB_HF2->set_checked(true);
  usb_sent();
  f->antenna_tuning_follow_up(7004000, 3, false);
  f->antenna_tuning_follow_up(7005000, 3, false);
  f->antenna_tuning_follow_up(60000000, 3, false);  // 60000 kHz, clamped
  f->antenna_tuning_follow_up(60000001, 3, false);  // 6000 in 10 kHz
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x07, 0x5C, 0x1B, 0x00},
                               {0xF5, 0x07, 0x5D, 0x1B, 0x00},
                               {0xF5, 0x07, 0xFF, 0x7F, 0x00},
                               {0xF5, 0x07, 0x70, 0x17, 0x00}}));
  // Channel 1 is "Off": nothing for it. A negative frequency is ignored altogether.
  f->antenna_tuning_follow_up(-7000000, 3, false);
  EXPECT_TRUE(usb_sent().empty());
  EXPECT_EQ(control::g_stream.last_tuning[1].load(), 6000);
}

TEST_F(ControlTest, TuneChangedReachesTheAntennaAndKot7IgnoresIt) {
  f->C_Ant1->user_select(2);
  usb_sent();
  TuneChanged(7000000);
  EXPECT_TRUE(usb_sent().empty());
  f->C_Ant1->user_select(3);
  usb_sent();
  TuneChanged(7000000);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0x58, 0x1B, 0x00}}));
}

TEST_F(ControlTest, ThroughButtonSendsThroughValueThenTheLastTuningAgain) {
  f->C_Ant1->user_select(4);
  EXPECT_TRUE(f->B_Through1->enabled);
  f->antenna_tuning_follow_up(7000000, 1, false);
  usb_sent();
  f->B_Through1->click();
  EXPECT_FALSE(f->B_Through1->flat);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0x3A, 0x75, 0x00}}));
  // While down, tuning is remembered but not sent.
  f->antenna_tuning_follow_up(7100000, 1, false);
  EXPECT_TRUE(usb_sent().empty());
  f->B_Through1->click();
  EXPECT_TRUE(f->B_Through1->flat);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0xBC, 0x1B, 0x00}}));  // 7100, forced
  f->B_Through1->click();
  f->B_Through1->click();
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x06, 0x3A, 0x75, 0x00}, {0xF5, 0x06, 0xBC, 0x1B, 0x00}}));
}

// ---------------------------------------------------------------------------------------------
// Channel modes and inputs

TEST_F(ControlTest, DiversitySendsModeThreeAndShowsTheMixPanel) {
  f->RB_Cdiv->click();
  EXPECT_TRUE(f->RB_HF2->checked());
  EXPECT_TRUE(f->B_Div->down());
  EXPECT_TRUE(F_Coord->visible);
  EXPECT_TRUE(f->TB_Att2->enabled);
  Queue q = usb_sent();
  // The input change sends its flags first, then the mode and the flags of the mode handler.
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[0], (Bytes{0xF5, 0x05, 0x04, 0x00, 0x00}));
  EXPECT_EQ(q[1], (Bytes{0xB4, 0x03, 0x00, 0x03, 0x00}));
  EXPECT_EQ(q[2], (Bytes{0xF5, 0x05, 0x04, 0x00, 0x00}));
  f->RB_Cpar->click();
  EXPECT_TRUE(f->RB_C1->checked());
  EXPECT_FALSE(f->B_Div->down());
  EXPECT_FALSE(F_Coord->visible);
  EXPECT_FALSE(f->TB_Att2->enabled);
}

TEST_F(ControlTest, LeavingSeparateMovesStream2BackToStream1) {
  f->CB_USB->set_checked(true);
  f->RB_Csep->click();
  EXPECT_TRUE(f->CB_USB2->enabled);
  EXPECT_TRUE(f->RB_HF2->checked());
  f->CB_USB2->set_checked(true);
  usb_sent();
  f->RB_Cdiv->click();
  EXPECT_FALSE(f->CB_USB2->checked());
  EXPECT_TRUE(f->CB_USB1->checked());
  EXPECT_FALSE(f->CB_USB2->enabled);
  EXPECT_FALSE(f->E_Freq1->enabled);
  EXPECT_TRUE(f->RB_HF2->checked());
  EXPECT_TRUE(f->B_Div->down());
  EXPECT_TRUE(F_Coord->visible);
}

TEST_F(ControlTest, SeparateRunsBothSetUpsWithModeZero) {
  f->CB_USB1->set_checked(true);
  usb_sent();
  f->RB_Csep->click();
  EXPECT_EQ(lan_sent(), (Queue{{0xB4, 0x02, 0x03, 0x00, 0x00}}));
  Queue q = usb_sent();
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[0], (Bytes{0xF5, 0x05, 0x04, 0x00, 0x00}));  // from the input change
  EXPECT_EQ(q[1], (Bytes{0xB4, 0x01, 0x03, 0x00, 0x00}));
  EXPECT_EQ(q[2], (Bytes{0xF5, 0x05, 0x04, 0x00, 0x00}));
}

TEST_F(ControlTest, AntDivButtonSelectsDiversityOnHf1) {
  f->RB_VHF1->click();
  f->B_Div->click();
  EXPECT_TRUE(f->RB_HF1->checked());
  EXPECT_TRUE(f->RB_Cdiv->checked());
  f->B_Div->click();
  EXPECT_TRUE(f->RB_Cpar->checked());
}

TEST_F(ControlTest, InputButtonsSetThePreampAndChannel2Controls) {
  f->RB_VHF1->click();
  EXPECT_TRUE(f->CB_PreAmp->enabled);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x05, 0x02, 0x00, 0x00}}));
  f->CB_PreAmp->click();
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x05, 0x82, 0x00, 0x00}}));
  f->RB_HF1->click();
  EXPECT_FALSE(f->CB_PreAmp->enabled);
  EXPECT_TRUE(f->CB_PreAmp->checked());  // kept
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x05, 0x80, 0x00, 0x00}}));
  select_mode(f->RB_Cdiv);
  f->C_Ant2->user_select(1);
  usb_sent();
  f->RB_C1->click();  // back on channel 1's signal: no antenna of its own
  EXPECT_EQ(f->C_Ant2->item_index(), 0);
  EXPECT_FALSE(f->C_Ant2->enabled);
  EXPECT_FALSE(f->TB_Att2->enabled);
}

// ---------------------------------------------------------------------------------------------
// Front end

TEST_F(ControlTest, CoupledAttenuatorSendsChannel2FirstAndTellsTheHost) {
  f->CB_USB1->set_checked(true);
  usb_sent();
  g_host.clear();
  f->TB_Att1->user_move(10);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x02, 0x0A, 0x01, 0x00}, {0xF5, 0x01, 0x0A, 0x01, 0x00}}));
  EXPECT_EQ(f->TB_Att2->position(), 10);
  EXPECT_EQ(GetActualAttIdx(), 10);
  ASSERT_FALSE(g_host.empty());
  EXPECT_EQ(g_host.back().code, plugin::kAttenuatorChanged);
  EXPECT_EQ(g_host.back().value, 10);
}

TEST_F(ControlTest, SeparateAttenuatorIsNotCoupled) {
  select_mode(f->RB_Csep);
  f->TB_Att1->user_move(10);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x01, 0x0A, 0x00, 0x00}}));
  EXPECT_EQ(f->TB_Att2->position(), 0);
}

TEST_F(ControlTest, AntennaControlBytesByModel) {
  select_mode(f->RB_Csep);    // not coupled
  f->C_Ant1->user_select(3);  // BEL3
  EXPECT_EQ(f->TB_Pos1->max, 99);
  EXPECT_EQ(f->L_TB1->caption, " Q ");
  usb_sent();
  f->TB_Pos1->user_move(50);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x03, 0xB2, 0x01, 0x00}}));
  release_throttle();
  f->C_Ant1->user_select(2);  // KOT7
  EXPECT_EQ(f->TB_Pos1->max, 232);
  usb_sent();
  f->TB_Pos1->user_move(49);
  release_throttle();
  f->TB_Pos1->user_move(50);
  Queue q = usb_sent();
  ASSERT_FALSE(q.empty());
  EXPECT_EQ(q.back(), (Bytes{0xF5, 0x03, 0x32, 0x00, 0x00}));
  release_throttle();
  f->C_Ant1->user_select(4);  // NIM1
  usb_sent();
  f->TB_Pos1->user_move(51);
  release_throttle();
  f->TB_Pos1->user_move(50);
  EXPECT_EQ(usb_sent().back(), (Bytes{0xF5, 0x03, 0x32, 0x01, 0x00}));
}

TEST_F(ControlTest, Bel3MaximumClipsThePositionAndSendsIt) {
  select_mode(f->RB_Csep);
  f->C_Ant1->user_select(2);
  f->TB_Pos1->user_move(200);
  release_throttle();
  usb_sent();
  f->C_Ant1->user_select(3);
  EXPECT_EQ(f->TB_Pos1->position(), 99);
  Queue q = usb_sent();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0], (Bytes{0xF5, 0x03, 99 + 0x80, 0x01, 0x00}));
  EXPECT_EQ(q[1], (Bytes{0xF5, 0x05, 0x1C, 0x00, 0x00}));
}

TEST_F(ControlTest, ScrollBarCommandsAreCappedAtFourWaiting) {
  select_mode(f->RB_Csep);
  fill(usb::usb_queue(), 5);
  f->TB_Att1->user_move(3);
  EXPECT_EQ(usb_sent().size(), 5u);
  EXPECT_EQ(GetActualAttIdx(), 3);  // stored even when the command was dropped
  release_throttle();
  fill(usb::usb_queue(), 4);
  f->TB_Att1->user_move(4);
  Queue q = usb_sent();
  ASSERT_EQ(q.size(), 5u);
  EXPECT_EQ(q[4], (Bytes{0xF5, 0x01, 0x04, 0x00, 0x00}));
}

TEST_F(ControlTest, OneScrollBarCommandPer50ms) {
  select_mode(f->RB_Csep);
  f->TB_Att1->user_move(1);
  f->TB_Att1->user_move(2);  // throttled
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x01, 0x01, 0x00, 0x00}}));
  long long deadline = tasks::now_ms() + 1000;
  while (f->Timer1->is_enabled() && tasks::now_ms() < deadline) ui::handle_message();
  EXPECT_FALSE(f->Timer1->is_enabled());
  f->TB_Att1->user_move(3);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x01, 0x03, 0x00, 0x00}}));
  // Before the receiver is open (the open sequence) nothing is throttled.
  g_plugin.open_count = 0;
  f->TB_Att1->user_move(4);
  f->TB_Att1->user_move(5);
  EXPECT_EQ(usb_sent().size(), 2u);
}

TEST_F(ControlTest, FlagsSendReCouplesDifferentAttenuators) {
  select_mode(f->RB_Csep);
  f->TB_Att1->user_move(6);
  release_throttle();
  f->TB_Att2->user_move(9);
  release_throttle();
  usb_sent();
  f->RB_Cpar->click();
  Queue q = usb_sent();
  // Channel 1's signal again: the flags, channel 2 following channel 1, then the mode handler's
  // own mode and flags (the attenuators agree by then).
  EXPECT_EQ(q, (Queue{{0xF5, 0x05, 0x00, 0x00, 0x00},
                      {0xF5, 0x02, 0x06, 0x01, 0x00},
                      {0xF5, 0x01, 0x06, 0x01, 0x00},
                      {0xB4, 0x03, 0x00, 0x01, 0x00},
                      {0xF5, 0x05, 0x00, 0x00, 0x00}}));
  EXPECT_EQ(f->TB_Att2->position(), 6);
}

TEST_F(ControlTest, Nim2SelectsSeriellUpWithItsModeSentTwice) {
  f->C_Ant1->user_select(5);
  EXPECT_TRUE(f->RB_CserU->checked());
  EXPECT_FALSE(f->TB_Pos1->visible);
  EXPECT_TRUE(f->B_Through1->enabled);
  Queue q = usb_sent();
  int modes = 0;
  for (auto& e : q) modes += e == Bytes{0xB4, 0x03, 0x00, 0x0A, 0x00};
  EXPECT_EQ(modes, 2);
  EXPECT_EQ(q.back(), (Bytes{0xF5, 0x05, 0x19, 0x00, 0x00}));
  f->C_Ant1->user_select(1);
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x05, 0x09, 0x00, 0x00}}));
}

// ---------------------------------------------------------------------------------------------
// Status display

TEST_F(ControlTest, StatusWordShowsTemperatureGpsAndOverload) {
  auto tick = [&](uint32_t word) {
    g_status.device_status = word;
    f->T_UpdateTimer(f->T_Update);
  };
  tick(0xF6u << 8 | 0xF1);
  EXPECT_EQ(f->E_Temp->text(), "-10");
  tick(0x19u << 8);
  EXPECT_EQ(f->E_Temp->text(), "25");
  tick(0x1FFFu << 17);
  EXPECT_EQ(f->E_GPS->text(), "-1");
  tick(1u << 29);
  EXPECT_EQ(f->E_GPS->text(), "-4096");
  tick(1u << 17);
  EXPECT_EQ(f->E_GPS->text(), "1");
  // Not while the user types there, nor before the receiver is open.
  f->E_GPS->focus();
  tick(5u << 17);
  EXPECT_EQ(f->E_GPS->text(), "1");
  f->E_GPS->focused = false;
  g_plugin.open_count = 0;
  tick(5u << 17);
  EXPECT_EQ(f->E_GPS->text(), "1");
  tick(1u << 30);
  EXPECT_EQ(f->S_CH1->color, ui::kRed);
  EXPECT_EQ(f->S_CH2->color, ui::kGreen);
  tick(1u << 31);
  EXPECT_EQ(f->S_CH1->color, ui::kGreen);
  EXPECT_EQ(f->S_CH2->color, ui::kRed);
}

TEST_F(ControlTest, FirstStatusTickEnablesSetAndRunsBothSetUps) {
  f->B_Set->enabled = false;  // design state; the echo starts at the design clock
  f->T_UpdateTimer(f->T_Update);
  EXPECT_TRUE(f->B_Set->enabled);
  EXPECT_EQ(usb_sent(), (Queue{{0xB4, 0x01, 0x03, 0x01, 0x00}}));
  EXPECT_EQ(lan_sent(), (Queue{{0xB4, 0x02, 0x03, 0x01, 0x00}}));
  // With another clock shown, B_Set waits for the receiver to echo it.
  f->B_Set->enabled = false;
  f->SB_CLK->set_value(160);
  f->T_UpdateTimer(f->T_Update);
  EXPECT_FALSE(f->B_Set->enabled);
}

TEST_F(ControlTest, EchoMovesSendNothingAndTheNextUserMoveIsSent) {
  g_status.settings_echo[1] = 5;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->TB_Att1->position(), 5);
  EXPECT_EQ(f->L_Att1->caption, "-2");
  EXPECT_EQ(f->TB_Att1->page_size, 0);
  EXPECT_TRUE(usb_sent().empty());
  f->TB_Att1->user_move(6);
  EXPECT_EQ(usb_sent().back(), (Bytes{0xF5, 0x01, 0x06, 0x01, 0x00}));
}

TEST_F(ControlTest, CoupledEchoMovesChannel2Too) {
  select_mode(f->RB_Csep);
  g_status.settings_echo[1] = 0x105;
  g_status.settings_echo[2] = 9;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->TB_Att1->position(), 5);
  EXPECT_EQ(f->TB_Att2->position(), 5);
  EXPECT_EQ(f->L_Att2->caption, "-2");
  EXPECT_TRUE(usb_sent().empty());
  // With TB_Att1 already there, entry 2 keeps its own value.
  g_status.settings_echo[2] = 9;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->TB_Att2->position(), 9);
  g_status.settings_echo[1] = 0;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->L_Att1->caption, "-7");
  g_status.settings_echo[1] = 35;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->L_Att1->caption, "28");
}

TEST_F(ControlTest, AntennaEchoShowsDegreesOrPercent) {
  g_status.settings_echo[3] = 232;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->L_Pos1->caption, "180");
  EXPECT_EQ(f->TB_Pos1->position(), 232);
  f->C_Ant1->user_select(3);
  usb_sent();
  g_status.settings_echo[3] = 0xB2;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->L_Pos1->caption, "50");
  EXPECT_EQ(f->TB_Pos1->position(), 50);
  EXPECT_TRUE(usb_sent().empty());
}

TEST_F(ControlTest, ThrottledMoveReturnsToTheEcho) {
  select_mode(f->RB_Csep);
  f->TB_Att1->user_move(4);
  g_status.settings_echo[1] = 4;
  f->TB_Att1->user_move(8);  // within 50 ms: not sent
  EXPECT_EQ(usb_sent(), (Queue{{0xF5, 0x01, 0x04, 0x00, 0x00}}));
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->TB_Att1->position(), 4);
  EXPECT_TRUE(usb_sent().empty());
}

TEST_F(ControlTest, CountersOnlyInTheAdvancedLayoutAndTimer2WhilePacketsArrive) {
  usb::g_usb_counters.packets = 255;
  usb::g_usb_counters.lost = 3;
  lan::g_lan.packets = 17;
  lan::g_lan.lost = 2;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->L_Packets->caption, "0");
  EXPECT_EQ(f->L_LAN_Packets->caption, "0");
  f->B_Adv->click();
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->L_Packets->caption, "0");
  EXPECT_EQ(f->L_Lost->caption, "3");
  EXPECT_EQ(f->L_LAN_Packets->caption, "17");
  EXPECT_EQ(f->L_LAN_Lost->caption, "2");
  usb::g_usb_counters.packets = 256;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->L_Packets->caption, "1");

  f->CB_USB->set_checked(true);
  usb::g_usb_counters.packets = 300;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_TRUE(f->Timer2->is_enabled());
  EXPECT_EQ(f->Timer2->interval(), 4000);
  f->T_UpdateTimer(f->T_Update);  // nothing arrived, and no task reads: the reopen is retried
  EXPECT_TRUE(f->Timer2->is_enabled());
  f->CB_USB->set_checked(false);
  f->T_UpdateTimer(f->T_Update);
  EXPECT_FALSE(f->Timer2->is_enabled());
  usb::g_usb_counters.packets = 0;
  usb::g_usb_counters.lost = 0;
  lan::g_lan.packets = 0;
  lan::g_lan.lost = 0;
}

TEST_F(ControlTest, IpErrorIsShownOnceAndConnectFollowsTheLink) {
  g_status.ip_error = 1;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->E_IP->text(), "Error!");
  EXPECT_EQ(g_status.ip_error.load(), 0);
  f->E_IP->user_type("10.0.0.2");
  f->T_UpdateTimer(f->T_Update);
  EXPECT_EQ(f->E_IP->text(), "10.0.0.2");
  EXPECT_FALSE(f->B_Conn->enabled);  // a TCP connection exists
  lan::g_lan.tcp_socket = lan::kNoSocket;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_TRUE(f->B_Conn->enabled);
  g_plugin.lan_streaming = 1;
  f->T_UpdateTimer(f->T_Update);
  EXPECT_FALSE(f->B_Conn->enabled);
  g_plugin.lan_streaming = 0;
}

TEST_F(ControlTest, NotificationWaitEndsAfterTimer3WhenTheHostNeverReads) {
  f->CB_USB1->set_checked(true);
  g_plugin.sr_ack = 1;  // an earlier rate the host has not read
  long long start = tasks::now_ms();
  f->usb_stream_setup();
  long long waited = tasks::now_ms() - start;
  EXPECT_GE(waited, 400);
  EXPECT_LT(waited, 1500);
  EXPECT_EQ(host_codes().back(), plugin::kSampleRateChanged);
}

}  // namespace
