// The entry points in process: open counts, limits, binding, notifications and their waits.
// Runs inside a private network namespace (netns-run.sh): without a USB receiver the plug-in
// looks for one on the LAN.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "control/Form1.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"

namespace {

using plugin::g_plugin;
using plugin::g_slots;

struct Call {
  int32_t count, status;
  void* data;
};
std::vector<Call> g_calls;     // written on the user-interface thread only
bool g_read_rate_back = true;  // like a real host; one test plays a host that never reads
bool g_close_on_lo = false;    // a host that closes from inside a notification

void host_callback(int32_t count, int32_t status, float, void* data) {
  g_calls.push_back({count, status, data});
  if (g_read_rate_back && status == plugin::kSampleRateChanged) GetHWSR();
  if (g_read_rate_back && status == plugin::kLoChanged) GetHWLO64();
  if (g_close_on_lo && status == plugin::kLoChanged) {
    g_close_on_lo = false;
    CloseHW();
  }
}
void second_callback(int32_t, int32_t, float, void*) {}

void on_ui(const std::function<void()>& fn) {
  ui::run_on_ui(fn);
}

class ExportsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The settings file lives in the working directory: keep the user's own out of reach.
    auto dir = std::filesystem::temp_directory_path() / ("kmv-exports-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    SetCallback(host_callback);
  }
  void TearDown() override {
    for (int i = 0; i < 5 && g_plugin.open_count.load() > 0; ++i) CloseHW();
    std::filesystem::remove("KMV410V2.11");  // every test starts from the design values
    on_ui([] {
      g_calls.clear();
      g_read_rate_back = true;
    });
  }
  static void check(ui::Control* TF_RDR1::*box, bool on) {
    on_ui([&] { (F_RDR1->*box)->set_checked(on); });
  }
};

TEST_F(ExportsTest, InitHWReportsTheReceiverAndToleratesNullBuffers) {
  char name[16] = {}, model[16] = {};
  int32_t type = 0;
  EXPECT_TRUE(InitHW(name, model, &type));
  EXPECT_STREQ(name, "KMV410");
  EXPECT_STREQ(model, "KMV410B2");
  EXPECT_EQ(type, 5);
  EXPECT_TRUE(InitHW(nullptr, nullptr, nullptr));
}

TEST_F(ExportsTest, OpenCountAllowsSecondViewAlwaysAndMoreOnlyInSeparateMode) {
  ASSERT_TRUE(OpenHW());
  EXPECT_EQ(g_plugin.open_count.load(), 1);
  EXPECT_TRUE(OpenHW());
  EXPECT_EQ(g_plugin.open_count.load(), 2);
  EXPECT_FALSE(OpenHW());  // not Separate
  EXPECT_EQ(g_plugin.open_count.load(), 2);
  check(&TF_RDR1::RB_Csep, true);
  EXPECT_TRUE(OpenHW());
  EXPECT_TRUE(OpenHW());
  EXPECT_EQ(g_plugin.open_count.load(), 4);
  EXPECT_FALSE(OpenHW());  // never a fifth
  EXPECT_EQ(g_plugin.open_count.load(), 4);

  CloseHW();
  EXPECT_EQ(g_plugin.open_count.load(), 3);
  CloseHW();
  CloseHW();
  EXPECT_EQ(g_plugin.open_count.load(), 1);
  EXPECT_NE(F_RDR1, nullptr);
  CloseHW();  // the last view tears everything down
  EXPECT_EQ(g_plugin.open_count.load(), 0);
  EXPECT_EQ(F_RDR1, nullptr);
  EXPECT_EQ(g_plugin.pool, nullptr);
  CloseHW();  // at count 0: harmless
  EXPECT_EQ(g_plugin.open_count.load(), 0);
}

TEST_F(ExportsTest, EntryPointsBeforeOpenAndAfterCloseAreHarmless) {
  EXPECT_EQ(StartHW64(7000000), -1);
  StopHW();
  TuneChanged(7000000);
  HideGUI();
  ShowGUI();
  EXPECT_EQ(SetAttenuators(3), -1);
  EXPECT_EQ(GetActualAttIdx(), -1);
  EXPECT_EQ(GetStatus(), 0);
  ExtIoSDRInfo(1, 2, nullptr);
  ASSERT_TRUE(OpenHW());
  CloseHW();
  EXPECT_EQ(StartHW(7000000), -1);
  StopHW();
}

TEST_F(ExportsTest, StartHW64NeedsAStreamBoxAndSetsOnlyThatLinksFlag) {
  ASSERT_TRUE(OpenHW());
  on_ui([] {
    for (auto* c : {F_RDR1->CB_USB1, F_RDR1->CB_USB2, F_RDR1->CB_LAN1, F_RDR1->CB_LAN2}) {
      c->set_checked(false);
    }
  });
  EXPECT_EQ(StartHW64(7000000), -1);
  EXPECT_EQ(g_plugin.usb_streaming.load(), 0);
  EXPECT_EQ(g_plugin.lan_streaming.load(), 0);

  check(&TF_RDR1::CB_LAN2, true);
  EXPECT_EQ(StartHW64(7000000), 130560);
  EXPECT_EQ(g_plugin.usb_streaming.load(), 0);
  EXPECT_EQ(g_plugin.lan_streaming.load(), 1);
  on_ui([] { EXPECT_FALSE(F_RDR1->RG_LAN->enabled); });
  StopHW();
  EXPECT_EQ(g_plugin.lan_streaming.load(), 0);
  on_ui([] {
    EXPECT_TRUE(F_RDR1->RG_LAN->enabled);
    EXPECT_TRUE(F_RDR1->B_Conn->enabled);
  });
}

TEST_F(ExportsTest, GetHWSRReportsAtLeast41000AndLowersTheFlagToZero) {
  g_plugin.rate_selector = plugin::kUsbRate;
  g_plugin.usb_rate = 41000;
  EXPECT_EQ(GetHWSR(), 41000);
  g_plugin.usb_rate = 40000;
  EXPECT_EQ(GetHWSR(), 41000);
  g_plugin.usb_rate = 41001;
  EXPECT_EQ(GetHWSR(), 41001);
  g_plugin.sr_ack = 2;
  GetHWSR();
  EXPECT_EQ(g_plugin.sr_ack.load(), 1);
  GetHWSR();
  GetHWSR();
  EXPECT_EQ(g_plugin.sr_ack.load(), 0);
  g_plugin.usb_rate = plugin::kDesignRate;
}

TEST_F(ExportsTest, AttenuatorTableCoversIndexes0To35Only) {
  float att = 99.0f;
  EXPECT_EQ(GetAttenuators(0, &att), 0);
  EXPECT_EQ(att, 7.0f);
  EXPECT_EQ(GetAttenuators(35, &att), 0);
  EXPECT_EQ(att, -28.0f);
  att = 99.0f;
  EXPECT_EQ(GetAttenuators(36, &att), -1);
  EXPECT_EQ(GetAttenuators(-1, &att), -1);
  EXPECT_EQ(att, 99.0f);
  EXPECT_EQ(GetAttenuators(3, nullptr), 0);
}

TEST_F(ExportsTest, SetHWLO64ClampsToTheReceiversRange) {
  ASSERT_TRUE(OpenHW());
  EXPECT_EQ(SetHWLO64(99999), -100000);
  EXPECT_EQ(GetHWLO64(), 100000);
  EXPECT_EQ(SetHWLO64(250000001), 250000000);
  EXPECT_EQ(GetHWLO64(), 250000000);
  EXPECT_EQ(SetHWLO64(100000), 0);
  EXPECT_EQ(SetHWLO64(250000000), 0);
  EXPECT_EQ(g_plugin.lo2.load(), 250000000);  // outside Separate both channels share the LO
  EXPECT_EQ(SetHWLO(7000000), 0);
  EXPECT_EQ(GetHWLO(), 7000000);
}

TEST_F(ExportsTest, LockedLoAnswersWithTheFixedValueAndChangesNothing) {
  ASSERT_TRUE(OpenHW());
  EXPECT_EQ(SetHWLO64(7000000), 0);
  check(&TF_RDR1::CB_Locked, true);
  EXPECT_EQ(SetHWLO64(6000000), -7000000);
  EXPECT_EQ(SetHWLO64(8000000), 7000000);
  EXPECT_EQ(g_plugin.lo1.load(), 7000000);
  EXPECT_EQ(SetHWLO64(7000000), 0);
  check(&TF_RDR1::CB_Locked, false);
}

TEST_F(ExportsTest, StreamBindingFillsSlotsInStreamOrderAndRepeatsTheLast) {
  ASSERT_TRUE(OpenHW());
  auto kinds = [](bool u1, bool l1, bool u2, bool l2) {
    std::vector<int32_t> k;
    on_ui([&] {
      F_RDR1->CB_USB1->set_checked(u1);
      F_RDR1->CB_LAN1->set_checked(l1);
      F_RDR1->CB_USB2->set_checked(u2);
      F_RDR1->CB_LAN2->set_checked(l2);
      plugin::bind_streams();
      for (auto& s : g_slots) k.push_back(s.kind.load());
    });
    return k;
  };
  using V = std::vector<int32_t>;
  EXPECT_EQ(kinds(true, false, false, false), (V{1, 1, 1, 1}));
  EXPECT_EQ(kinds(true, false, true, false), (V{1, 3, 3, 3}));
  EXPECT_EQ(kinds(false, true, false, true), (V{2, 4, 4, 4}));
  EXPECT_EQ(kinds(true, true, true, true), (V{1, 2, 3, 4}));
  EXPECT_EQ(kinds(false, false, false, true), (V{4, 4, 4, 4}));
  EXPECT_EQ(kinds(true, false, false, true), (V{1, 4, 4, 4}));
  EXPECT_EQ(kinds(false, true, true, false), (V{2, 3, 3, 3}));
  EXPECT_EQ(kinds(false, false, false, false), (V{0, 0, 0, 0}));

  // Streaming on one link turns delivery on for a newly checked box of the other link.
  g_plugin.usb_streaming = 1;
  kinds(true, true, false, false);
  EXPECT_EQ(g_plugin.lan_streaming.load(), 1);
  g_plugin.usb_streaming = 0;
  g_plugin.lan_streaming = 0;
  kinds(true, true, false, false);
  EXPECT_EQ(g_plugin.usb_streaming.load(), 0);
  EXPECT_EQ(g_plugin.lan_streaming.load(), 0);
}

TEST_F(ExportsTest, RateNotificationWaitsForTheHostAtMostAboutHalfASecond) {
  ASSERT_TRUE(OpenHW());
  on_ui([] { g_read_rate_back = false; });
  g_plugin.sr_ack = 0;
  on_ui([] { plugin::notify_rate(0, plugin::kUsbRate); });
  EXPECT_EQ(g_plugin.sr_ack.load(), 1);

  // The host never reads: the next notification waits for Timer3.
  long long start = tasks::now_ms();
  on_ui([] { plugin::notify_rate(0, plugin::kUsbRate); });
  long long waited = tasks::now_ms() - start;
  EXPECT_GE(waited, 400);
  EXPECT_LE(waited, 1000);

  // A host that reads the rate from inside its callback is never waited for.
  on_ui([] { g_read_rate_back = true; });
  GetHWSR();
  start = tasks::now_ms();
  on_ui([] {
    plugin::notify_rate(0, plugin::kUsbRate);
    plugin::notify_rate(0, plugin::kUsbRate);
  });
  EXPECT_LT(tasks::now_ms() - start, 300);
  on_ui([] {
    ASSERT_GE(g_calls.size(), 2u);
    EXPECT_EQ(g_calls.back().count, -1);
    EXPECT_EQ(g_calls.back().status, 100);
  });
}

TEST_F(ExportsTest, CloseFromInsideANotificationWaitsUntilTheHandlerHasReturned) {
  ASSERT_TRUE(OpenHW());
  on_ui([] {
    F_RDR1->CB_USB1->enabled = true;
    F_RDR1->CB_USB1->set_checked(true);  // binds the callback to USB1
    g_close_on_lo = true;
  });
  EXPECT_EQ(SetHWLO64(7000000), 0);  // notifies 101; the host closes from inside
  long long end = tasks::now_ms() + 3000;
  while (g_plugin.open_count.load() != 0 && tasks::now_ms() < end) tasks::sleep_ms(10);
  EXPECT_EQ(g_plugin.open_count.load(), 0);
  EXPECT_EQ(F_RDR1, nullptr);
  EXPECT_FALSE(g_plugin.close_pending.load());
}

TEST_F(ExportsTest, CloseFromAnotherThreadDuringAWaitEndsTheWaitAndTearsDownAfter) {
  ASSERT_TRUE(OpenHW());
  on_ui([] { g_read_rate_back = false; });
  g_plugin.sr_ack = 1;  // the host has not read the last rate: the next notification waits
  std::thread waiter([] { on_ui([] { plugin::notify_rate(0, plugin::kUsbRate); }); });
  tasks::sleep_ms(100);
  long long start = tasks::now_ms();
  CloseHW();
  EXPECT_EQ(g_plugin.open_count.load(), 0);  // done by the time CloseHW returns
  EXPECT_EQ(F_RDR1, nullptr);
  EXPECT_LT(tasks::now_ms() - start, 3000);
  waiter.join();
}

TEST_F(ExportsTest, CallbackSlotsSurviveCloseAndIgnoreRepeatsAndAFifth) {
  SetCallback(host_callback);  // the same pointer again: ignored
  EXPECT_EQ(g_slots[1].callback.load(), nullptr);
  SetCallback(second_callback);
  EXPECT_EQ(g_slots[0].callback.load(), &host_callback);
  EXPECT_EQ(g_slots[1].callback.load(), &second_callback);
  ASSERT_TRUE(OpenHW());
  CloseHW();
  EXPECT_EQ(g_slots[0].callback.load(), &host_callback);
  EXPECT_EQ(g_slots[1].callback.load(), &second_callback);
}

TEST_F(ExportsTest, AttenuatorFromTheHostMovesTheScrollBar) {
  ASSERT_TRUE(OpenHW());
  EXPECT_EQ(SetAttenuators(36), -1);
  EXPECT_EQ(SetAttenuators(10), 0);
  on_ui([] { EXPECT_EQ(F_RDR1->TB_Att1->position(), 10); });
}

TEST_F(ExportsTest, VersionInfoKeepsNamesOfAtMost31Characters) {
  VersionInfo("HDSDR", 2, 80);
  EXPECT_STREQ(g_plugin.host_name, "HDSDR");
  std::string long_name(40, 'x');
  VersionInfo(long_name.c_str(), 1, 0);
  EXPECT_STREQ(g_plugin.host_name, "HDSDR");
  VersionInfo(std::string(31, 'y').c_str(), 1, 0);
  EXPECT_EQ(std::string(g_plugin.host_name), std::string(31, 'y'));
  VersionInfo(nullptr, 0, 0);
}

}  // namespace
