// Receiver control end to end: host calls and panel actions reach the simulated receiver over
// USB, its acknowledgements empty the queue, and its echoes come back onto the panel.
//
// The test links the simulator's bridge library, so the plug-in's loader finds it by name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

#include "control/Form1.h"
#include "kmvsim.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"

namespace {

using plugin::g_plugin;

std::atomic<int> g_lo_notifications{0};
std::atomic<int64_t> g_lo_read{0};

void host_callback(int32_t count, int32_t status, float, void*) {
  if (count > 0) return;
  if (status == plugin::kSampleRateChanged) GetHWSR();
  if (status == plugin::kLoChanged) {
    g_lo_read = GetHWLO64();
    ++g_lo_notifications;
  }
}

void on_ui(const std::function<void()>& fn) {
  ui::run_on_ui(fn);
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

class ControlSimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto dir = std::filesystem::temp_directory_path() / ("kmv-ctlsim-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    SetCallback(host_callback);
  }
  void SetUp() override {
    KMVSIM_Reset();
    KMVSIM_SetPresent(1);
    KMVSIM_ClearReceived();
    ASSERT_TRUE(OpenHW());
    bool up = false;
    on_ui([&] { up = F_RDR1->CB_USB->checked(); });
    ASSERT_TRUE(up);
    // Everything the open sequence queued has been taken by the receiver.
    ASSERT_TRUE(eventually([] { return usb::queue_length(usb::usb_queue()) == 0; }));
  }
  void TearDown() override {
    for (int i = 0; i < 5 && g_plugin.open_count.load() > 0; ++i) CloseHW();
    std::filesystem::remove("KMV410V2.11");
  }
};

TEST_F(ControlSimTest, HostLoIsSentAcknowledgedAndNotified) {
  g_lo_notifications = 0;
  EXPECT_EQ(SetHWLO64(7100000), 0);
  EXPECT_EQ(g_lo_notifications.load(), 1);
  EXPECT_EQ(g_lo_read.load(), 7100000);
  EXPECT_TRUE(eventually([] {
    KMVSIM_State s = sim_state();
    return s.frequency[0] == 7100000 && s.frequency[1] == 7100000;
  }));
  EXPECT_TRUE(eventually([] { return usb::queue_length(usb::usb_queue()) == 0; }));
}

TEST_F(ControlSimTest, HostAttenuatorIsEchoedAndReadBack) {
  tasks::sleep_ms(100);  // past the scroll-bar throttle of the open sequence
  EXPECT_EQ(SetAttenuators(10), 0);
  // Coupled in Parallel: channel 2 follows, byte 3 set.
  EXPECT_TRUE(eventually([] { return sim_state().frontend[1] == (10u | 1u << 8); }));
  EXPECT_TRUE(eventually([] { return (usb::g_status.settings_echo[1].load() & 0xFF) == 10; }));
  tasks::sleep_ms(700);  // status ticks keep the bar on the echo
  EXPECT_EQ(GetActualAttIdx(), 10);
  on_ui([] {
    EXPECT_EQ(F_RDR1->TB_Att1->position(), 10);
    EXPECT_EQ(F_RDR1->TB_Att2->position(), 10);
    EXPECT_EQ(F_RDR1->L_Att1->caption, "3");
  });
}

TEST_F(ControlSimTest, ClockChangeIsConfirmedByTheEchoAndTheRatesFollow) {
  on_ui([] {
    F_RDR1->SB_CLK->user_type("150");
    F_RDR1->B_CLKSet->click();
    EXPECT_FALSE(F_RDR1->B_Set->enabled);
  });
  EXPECT_TRUE(eventually([] {
    bool done = false;
    on_ui([&] { done = F_RDR1->B_Set->enabled && F_RDR1->SB_CLK->color == ui::kWhite; });
    return done;
  }));
  EXPECT_EQ(sim_state().clock_mhz, 150u);
  EXPECT_EQ(g_plugin.usb_rate.load(), 9375000);  // 150 MHz / 16
  EXPECT_TRUE(eventually([] { return sim_state().stream_rate == 9375000; }));
}

TEST_F(ControlSimTest, ReceiverStatusReachesThePanel) {
  KMVSIM_SetStatus(-10, -100, 1, 0);
  EXPECT_TRUE(eventually([] {
    bool shown = false;
    on_ui([&] {
      shown = F_RDR1->E_Temp->text() == "-10" && F_RDR1->E_GPS->text() == "-100" &&
              F_RDR1->S_CH1->color == ui::kRed && F_RDR1->S_CH2->color == ui::kGreen;
    });
    return shown;
  }));
}

TEST_F(ControlSimTest, TunedFrequencyReachesTheAntenna) {
  on_ui([] { F_RDR1->C_Ant1->user_select(4); });  // NIM1
  TuneChanged(7006000);
  EXPECT_TRUE(eventually([] { return sim_state().frontend[6] == 7010u; }));
}

}  // namespace
