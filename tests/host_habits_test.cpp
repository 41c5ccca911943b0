// What hosts do that the plug-in must survive, against the simulated receiver over USB: a
// sample callback that stalls for seconds, exports called from inside the sample callback (also
// StopHW and CloseHW), CloseHW from a notification raised by a user action, exports from a
// second host thread while the user-interface thread is busy, and a receiver that is unplugged and
// comes back in its power-on state.
//
// The test links the simulator's bridge library, so the plug-in's loader finds it by name.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "control/Form1.h"
#include "kmvsim.h"
#include "platform/library.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "update/Update1.h"
#include "usb/device_link.h"

namespace {

using plugin::g_plugin;

// What the host does inside its callback; set by each test before it arms it.
std::atomic<int> g_blocks{0};
std::atomic<int> g_stall_ms{0};             // the next block's callback sleeps this long
std::atomic<bool> g_in_stall{false};        // that callback is sleeping now
std::atomic<int> g_export_each_block{0};    // 1: GetHWLO64 and GetHWSR from every block
std::atomic<int> g_once_from_block{0};      // 1: CloseHW, 2: StopHW, 3: the setters, once
std::atomic<long long> g_once_took_ms{-1};  // how long that call took
std::atomic<int> g_blocks_after_once{0};    // callbacks that started after it returned
std::atomic<bool> g_once_done{false};
std::atomic<bool> g_close_on_rate{false};  // CloseHW from the next notification 100
std::atomic<int> g_rate_notifications{0};
std::atomic<long long> g_slowest_export_ms{0};

void note_slowest(long long start) {
  long long took = tasks::now_ms() - start;
  long long seen = g_slowest_export_ms.load();
  while (took > seen && !g_slowest_export_ms.compare_exchange_weak(seen, took)) {
  }
}

void host_callback(int32_t count, int32_t status, float, void*) {
  if (count < 0) {
    if (status == plugin::kSampleRateChanged) {
      ++g_rate_notifications;
      GetHWSR();
      if (g_close_on_rate.exchange(false)) CloseHW();
    } else if (status == plugin::kLoChanged) {
      GetHWLO64();
    }
    return;
  }
  ++g_blocks;
  if (g_once_done.load()) ++g_blocks_after_once;
  if (int ms = g_stall_ms.exchange(0)) {
    g_in_stall = true;
    tasks::sleep_ms(ms);
    g_in_stall = false;
  }
  if (g_export_each_block.load()) {
    long long start = tasks::now_ms();
    GetHWLO64();
    GetHWSR();
    GetActualAttIdx();
    note_slowest(start);
  }
  if (int what = g_once_from_block.exchange(0)) {
    long long start = tasks::now_ms();
    if (what == 1) CloseHW();
    if (what == 2) StopHW();
    if (what == 3) {
      SetHWLO64(7100000);
      SetAttenuators(5);
      TuneChanged(7100000);
    }
    g_once_took_ms = tasks::now_ms() - start;
    g_once_done = true;
  }
}

void on_ui(const std::function<void()>& fn) {
  ui::run_on_ui(fn);
}

// Each habit's time, for the record (the limits are checked where it is measured).
long long report(const char* habit, long long ms) {
  std::printf("habit: %s: %lld ms\n", habit, ms);
  return ms;
}

bool eventually(const std::function<bool()>& cond, int ms = 5000) {
  long long end = tasks::now_ms() + ms;
  while (tasks::now_ms() < end) {
    if (cond()) return true;
    tasks::sleep_ms(10);
  }
  return cond();
}

KMVSIM_State sim_state() {
  KMVSIM_State s{};
  s.size = sizeof s;
  KMVSIM_GetState(&s);
  return s;
}

// Keep the user-interface thread busy for ms, as a long handler would.
void busy_ui_for(int ms) {
  ui::post([ms] { tasks::sleep_ms(ms); });
  tasks::sleep_ms(20);  // it has started
}

class HostHabitsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto dir = std::filesystem::temp_directory_path() / ("kmv-habits-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    SetCallback(host_callback);
  }
  void SetUp() override {
    KMVSIM_Reset();
    KMVSIM_SetPresent(1);
    KMVSIM_ClearReceived();
    ui::clear_message_boxes();
    g_blocks = 0;
    g_stall_ms = 0;
    g_export_each_block = 0;
    g_once_from_block = 0;
    g_once_took_ms = -1;
    g_once_done = false;
    g_blocks_after_once = 0;
    g_close_on_rate = false;
    g_slowest_export_ms = 0;
  }
  void TearDown() override {
    g_export_each_block = 0;
    for (int i = 0; i < 5 && g_plugin.open_count.load() > 0; ++i) CloseHW();
    eventually([] { return g_plugin.open_count.load() == 0 && !g_plugin.close_pending; });
    std::filesystem::remove("KMV410V2.11");
  }
  static bool usb_up() {
    bool up = false;
    on_ui([&] { up = F_RDR1 && F_RDR1->CB_USB->checked(); });
    return up;
  }
  // Open over USB and stream until blocks arrive.
  static void open_and_stream() {
    ASSERT_TRUE(OpenHW());
    ASSERT_TRUE(usb_up());
    ASSERT_EQ(StartHW64(7000000), 130560);
    ASSERT_TRUE(eventually([] { return g_blocks.load() >= 3; }));
  }
  static bool blocks_flow() {
    int seen = g_blocks.load();
    return eventually([seen] { return g_blocks.load() >= seen + 3; }, 8000);
  }
};

// The recovery timer, the Clear button and a close and open while the host's callback is busy for
// seconds: nothing is given up for good, and the link carries on once the host returns.
TEST_F(HostHabitsTest, SlowCallbackDuringRecoveryClearAndCloseLeavesAWorkingLink) {
  open_and_stream();
  g_stall_ms = 4000;
  ASSERT_TRUE(eventually([] { return g_in_stall.load(); }));
  long long start = tasks::now_ms();
  on_ui([] { F_RDR1->Timer2Timer(F_RDR1->Timer2); });  // the recovery timer expires meanwhile
  on_ui([] { F_RDR1->B_CLRUClick(F_RDR1->B_CLRU); });
  // Neither waits for a task that is only slow.
  EXPECT_LT(report("recovery timer and Clear during a 4 s callback stall", tasks::now_ms() - start),
            1000);
  ASSERT_TRUE(eventually([] { return !g_in_stall.load(); }, 6000));
  EXPECT_TRUE(blocks_flow());
  EXPECT_TRUE(usb_up());

  // The same stall during CloseHW: no message box, and the next OpenHW gets the receiver.
  g_stall_ms = 3500;
  ASSERT_TRUE(eventually([] { return g_in_stall.load(); }));
  start = tasks::now_ms();
  CloseHW();
  EXPECT_LT(report("CloseHW during a 3.5 s callback stall", tasks::now_ms() - start), 2600);
  EXPECT_TRUE(ui::message_boxes().empty());
  ASSERT_TRUE(eventually([] { return !g_in_stall.load(); }, 6000));
  EXPECT_TRUE(eventually([] { return sim_state().open == 0; }, 3000));  // the task closed it
  g_blocks = 0;
  open_and_stream();
  EXPECT_EQ(sim_state().open, 1u);
  EXPECT_TRUE(ui::message_boxes().empty());
}

// Exports from inside the sample callback answer at once, even while the user-interface thread
// is busy, and CloseHW then ends every task within its limit without a message box.
TEST_F(HostHabitsTest, ExportsFromTheSampleCallbackNeverWaitForTheUserInterfaceThread) {
  open_and_stream();
  g_export_each_block = 1;
  busy_ui_for(1500);
  g_once_from_block = 3;
  ASSERT_TRUE(eventually([] { return g_once_done.load(); }, 3000));
  EXPECT_LT(report("setters from the sample callback, UI thread busy", g_once_took_ms.load()), 100);
  EXPECT_LT(report("getters from the sample callback", g_slowest_export_ms.load()), 100);
  // What was handed over reaches the panel and the receiver once the thread is free.
  EXPECT_TRUE(eventually([] { return sim_state().frequency[0] == 7100000u; }));
  EXPECT_EQ(GetHWLO64(), 7100000);
  EXPECT_EQ(GetActualAttIdx(), 5);

  // The recovery timer's reopen stops the task while it calls in from every block.
  long long start = tasks::now_ms();
  on_ui([] { F_RDR1->Timer2Timer(F_RDR1->Timer2); });
  EXPECT_LT(report("USB reopen while the callback calls exports", tasks::now_ms() - start), 1000);
  EXPECT_TRUE(blocks_flow());

  start = tasks::now_ms();
  CloseHW();
  EXPECT_LT(report("CloseHW while the callback calls exports", tasks::now_ms() - start), 1500);
  EXPECT_TRUE(ui::message_boxes().empty());
  EXPECT_EQ(g_plugin.open_count.load(), 0);
  EXPECT_TRUE(eventually([] { return sim_state().open == 0; }, 2000));
}

TEST_F(HostHabitsTest, CloseHWFromTheSampleCallbackEndsDeliveryAndTearsDownAfterIt) {
  open_and_stream();
  g_once_from_block = 1;
  ASSERT_TRUE(eventually([] { return g_once_done.load(); }, 3000));
  EXPECT_LT(report("CloseHW from the sample callback", g_once_took_ms.load()), 100);
  EXPECT_TRUE(eventually([] { return g_plugin.open_count.load() == 0; }, 4000));
  EXPECT_EQ(g_blocks_after_once.load(), 0);
  EXPECT_TRUE(ui::message_boxes().empty());
  EXPECT_TRUE(eventually([] { return sim_state().open == 0; }, 2000));
  // And the plug-in opens again as usual.
  g_blocks = 0;
  open_and_stream();
}

TEST_F(HostHabitsTest, StopHWFromTheSampleCallbackEndsDeliveryButTheTaskReadsOn) {
  open_and_stream();
  busy_ui_for(1000);
  g_once_from_block = 2;
  ASSERT_TRUE(eventually([] { return g_once_done.load(); }, 3000));
  EXPECT_LT(report("StopHW from the sample callback, UI thread busy", g_once_took_ms.load()), 100);
  uint32_t packets = sim_state().blocks_sent;
  tasks::sleep_ms(300);
  EXPECT_EQ(g_blocks_after_once.load(), 0);
  EXPECT_GT(sim_state().blocks_sent, packets);
  EXPECT_EQ(StartHW64(7000000), 130560);  // and the host can start again
  EXPECT_TRUE(blocks_flow());
}

// The getters answer from the plug-in state on the calling thread.
TEST_F(HostHabitsTest, GettersFromASecondHostThreadAnswerWhileTheUserInterfaceIsBusy) {
  ASSERT_TRUE(OpenHW());
  EXPECT_EQ(SetHWLO64(7300000), 0);
  tasks::sleep_ms(100);  // the panel sends one attenuator change per 50 ms
  EXPECT_EQ(SetAttenuators(9), 0);
  ASSERT_TRUE(eventually([] { return GetActualAttIdx() == 9; }));
  busy_ui_for(1500);
  long long slowest = 0;
  std::thread host([&] {
    for (int i = 0; i < 20; ++i) {
      long long start = tasks::now_ms();
      EXPECT_EQ(GetHWLO64(), 7300000);
      EXPECT_GT(GetHWSR(), 0);
      EXPECT_EQ(GetActualAttIdx(), 9);
      EXPECT_EQ(GetStatus(), 0);
      float att = 0;
      EXPECT_EQ(GetAttenuators(9, &att), 0);
      slowest = std::max(slowest, tasks::now_ms() - start);
    }
  });
  host.join();  // 20 rounds of getters, none of which can block
  EXPECT_LT(report("getters from a second host thread, UI thread busy", slowest), 100);
}

// A host that closes from inside the rate notification that a user action raised: the panel is
// torn down only once the handler has returned (run under AddressSanitizer).
TEST_F(HostHabitsTest, CloseHWFromTheNotificationOfAUserActionWaitsForTheHandler) {
  struct Action {
    const char* name;
    std::function<void()> act;
  };
  const Action actions[] = {
      {"decimation", [] { F_RDR1->C_USB1->user_select(1); }},
      {"stream box", [] { F_RDR1->CB_USB2->click(); }},
      {"Separate", [] { F_RDR1->RB_Csep->click(); }},
      {"Clear", [] { F_RDR1->B_CLRU->click(); }},
  };
  for (const Action& a : actions) {
    SCOPED_TRACE(a.name);
    ASSERT_TRUE(OpenHW());
    ASSERT_TRUE(usb_up());
    on_ui([] { F_RDR1->CB_USB2->enabled = true; });
    if (std::string(a.name) == "Clear") {
      // Clear reopens only a lost link: unplugged, a failed recovery, then back.
      KMVSIM_SetPresent(0);
      ASSERT_TRUE(eventually([] { return usb::g_link.handle.load() == nullptr; }));
      on_ui([] { F_RDR1->Timer2Timer(F_RDR1->Timer2); });
      KMVSIM_SetPresent(1);
    }
    int before = g_rate_notifications.load();
    g_close_on_rate = true;
    on_ui(a.act);
    EXPECT_GT(g_rate_notifications.load(), before);
    EXPECT_TRUE(eventually([] { return g_plugin.open_count.load() == 0 && !F_RDR1; }, 8000));
    EXPECT_TRUE(eventually([] { return sim_state().open == 0; }, 4000));
    g_close_on_rate = false;
  }
}

// The library goes while a handler is pumping (a firmware update waiting for a final status that
// never comes): the teardown waits until that handler has returned, and the handler's wait ends
// at once instead of running out.
TEST_F(HostHabitsTest, UnloadDuringAFirmwareUpdateTearsDownAfterTheHandler) {
  ASSERT_TRUE(OpenHW());
  ASSERT_TRUE(usb_up());
  std::ofstream("fw.Bit", std::ios::binary) << std::string(4000, '\x5A');
  on_ui([] {
    F_Update->open_directory(std::filesystem::current_path().string());
    F_Update->show();
    auto& items = F_Update->FLB_File->items;
    auto it = std::find(items.begin(), items.end(), "fw.Bit");
    ASSERT_NE(it, items.end());
    F_Update->FLB_File->user_select(int(it - items.begin()));
  });
  KMVSIM_FirmwareFault(KMVSIM_FW_SILENT, 1);
  static std::atomic<bool> click_returned;
  static std::atomic<bool> panel_at_return;
  click_returned = false;
  panel_at_return = false;
  ui::post([] {
    F_Update->B_Start->click();
    panel_at_return = F_RDR1 != nullptr;
    click_returned = true;
  });
  tasks::sleep_ms(500);  // into the wait for the status
  ASSERT_FALSE(click_returned.load());
  const long long t0 = tasks::now_ms();
  EXPECT_FALSE(plugin_library_detach(false, false));
  const long long took = report("unload during a firmware update", tasks::now_ms() - t0);
  EXPECT_LT(took, 2000);
  EXPECT_TRUE(click_returned.load());
  EXPECT_TRUE(panel_at_return.load());
  EXPECT_EQ(F_RDR1, nullptr);
  EXPECT_EQ(g_plugin.open_count.load(), 0);
  EXPECT_TRUE(eventually([] { return sim_state().open == 0; }, 4000));
  EXPECT_TRUE(ui::message_boxes().empty());
  EXPECT_EQ(F_Update, nullptr);  // the update window went with the panel
  // Still a plug-in that opens.
  open_and_stream();
}

// Unplugged while streaming, tuned meanwhile, then back in its power-on state: the receiver ends
// with the panel's LO and attenuator.
TEST_F(HostHabitsTest, ReceiverGetsThePanelsSettingsAgainAfterAReplug) {
  open_and_stream();
  EXPECT_EQ(SetAttenuators(12), 0);
  EXPECT_EQ(SetHWLO64(7200000), 0);
  ASSERT_TRUE(eventually([] { return sim_state().frequency[0] == 7200000u; }));
  tasks::sleep_ms(500);  // the attenuator command is acknowledged too
  KMVSIM_State before = sim_state();

  KMVSIM_SetPresent(0);
  tasks::sleep_ms(300);
  EXPECT_EQ(SetHWLO64(9300000), 0);  // nowhere to send it now
  tasks::sleep_ms(300);
  KMVSIM_Reset();  // power-on state
  KMVSIM_State reset = sim_state();
  ASSERT_NE(reset.frequency[0], 9300000u);
  KMVSIM_SetPresent(1);

  long long back = tasks::now_ms();
  EXPECT_TRUE(eventually([] { return sim_state().frequency[0] == 9300000u; }, 10000));
  report("replugged receiver tuned as the panel shows", tasks::now_ms() - back);
  EXPECT_TRUE(eventually(
      [&] {
        KMVSIM_State now = sim_state();
        // Item 0, the GPS value, is the receiver's own and shown as it reports it.
        for (int i = 1; i < 8; ++i)
          if (now.frontend[i] != before.frontend[i]) return false;
        return now.clock_mhz == before.clock_mhz && now.usb_format == before.usb_format;
      },
      5000));
  EXPECT_TRUE(blocks_flow());
}

// The host leaves with the plug-in open, through the real loader, in a folder of its own: the
// exit status (a signal is a crash) and whether the settings file was written there.
struct Leaving {
  int status = -1;
  bool settings_written = false;
};
Leaving run_host(const std::string& mode) {
  auto dir = std::filesystem::temp_directory_path() /
             ("kmv-habits-host-" + std::to_string(getpid()) + "-" + mode);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  Leaving result;
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    execl(KMV_HABITS_HOST, KMV_HABITS_HOST, KMV_PLUGIN, KMV_SIM_BRIDGE, mode.c_str(), nullptr);
    _exit(127);
  }
  if (pid > 0) waitpid(pid, &result.status, 0);
  result.settings_written = std::filesystem::exists(dir / "KMV410V2.11");
  std::filesystem::remove_all(dir);
  return result;
}

TEST(HostLeaving, ReturnFromMainWithThePlugInOpenExitsCleanlyAndKeepsTheSettings) {
  Leaving one = run_host("exit1");
  EXPECT_TRUE(WIFEXITED(one.status) && WEXITSTATUS(one.status) == 0) << one.status;
  EXPECT_TRUE(one.settings_written);
  Leaving two = run_host("exit2");
  EXPECT_TRUE(WIFEXITED(two.status) && WEXITSTATUS(two.status) == 0) << two.status;
}

TEST(HostLeaving, UnloadWhileStreamingStopsEverythingAndLoadsAgain) {
  Leaving plain = run_host("unload");
  EXPECT_TRUE(WIFEXITED(plain.status) && WEXITSTATUS(plain.status) == 0) << plain.status;
  EXPECT_TRUE(plain.settings_written);
  // The host's callback is still busy when the library goes: it returns into code that stays.
  Leaving stalled = run_host("unload-stalled");
  EXPECT_TRUE(WIFEXITED(stalled.status) && WEXITSTATUS(stalled.status) == 0) << stalled.status;
}

}  // namespace
