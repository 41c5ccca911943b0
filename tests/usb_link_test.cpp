// The USB link against the simulated receiver: the identify handshake and its budgets, the
// firmware label, block counting, conversion and routing, commands and their acknowledgements,
// and the link coming back by itself after an unplug.
//
// The test links the simulator's bridge library, so the plug-in's loader finds it by name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <vector>

#include "control/Form1.h"
#include "control/commands.h"
#include "control/stream_config.h"
#include "kmvsim.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/Usbtask1.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

using plugin::g_plugin;

std::atomic<int> g_blocks{0};
void* g_last_block = nullptr;  // task thread only
void host_callback(int32_t count, int32_t status, float, void* data) {
  if (count > 0) {
    g_last_block = data;
    ++g_blocks;
  } else if (status == plugin::kSampleRateChanged) {
    GetHWSR();
  } else if (status == plugin::kLoChanged) {
    GetHWLO64();
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

// Messages the receiver got whose first byte (after the sequence) is `code`.
int received_with_code(uint8_t code) {
  int n = 0;
  uint32_t count = KMVSIM_ReceivedCount();
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t bytes[300];
    uint32_t seq = 0;
    uint32_t len = KMVSIM_Received(i, bytes, sizeof(bytes), &seq);
    if (len > 0 && bytes[0] == code) ++n;
  }
  return n;
}

class UsbLinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto dir = std::filesystem::temp_directory_path() / ("kmv-usb-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    SetCallback(host_callback);
  }
  void SetUp() override {
    KMVSIM_Reset();
    KMVSIM_SetPresent(1);
    KMVSIM_ClearReceived();
    g_blocks = 0;
  }
  void TearDown() override {
    for (int i = 0; i < 5 && g_plugin.open_count.load() > 0; ++i) CloseHW();
    std::filesystem::remove("KMV410V2.11");
  }
  static std::string firm() {
    std::string s;
    on_ui([&] { s = F_RDR1 ? F_RDR1->L_Firm->caption : ""; });
    return s;
  }
  static bool usb_up() {
    bool up = false;
    on_ui([&] { up = F_RDR1 && F_RDR1->CB_USB->checked(); });
    return up;
  }
};

TEST_F(UsbLinkTest, FirmwareLabelPadsVersionAndSerial) {
  EXPECT_EQ(usb::firmware_label(0x211, 7), "KMV410 V211 S/N 0007");
  EXPECT_EQ(usb::firmware_label(0x5, 0), "KMV410 V005 S/N 0000");
  EXPECT_EQ(usb::firmware_label(0x1234, 123), "KMV410 V1234 S/N 0123");
}

TEST_F(UsbLinkTest, OpenIdentifiesTheReceiverAndStartsStreaming) {
  KMVSIM_SetSerial(7);
  ASSERT_TRUE(OpenHW());
  EXPECT_TRUE(usb_up());
  EXPECT_EQ(firm(), "KMV410 V211 S/N 0007");
  EXPECT_EQ(received_with_code(0x12), 1);  // answered at the first try
  on_ui([] {
    EXPECT_TRUE(F_RDR1->CB_USB1->checked());
    EXPECT_TRUE(F_RDR1->B_Update->enabled);
  });
  EXPECT_EQ(StartHW64(7000000), 130560);
  EXPECT_TRUE(eventually([] { return g_blocks.load() >= 3; }));
  StopHW();
  int after_stop = g_blocks.load();
  tasks::sleep_ms(200);
  EXPECT_LE(g_blocks.load(), after_stop + 1);         // no delivery once stopped
  EXPECT_GT(usb::g_usb_counters.packets.load(), 0u);  // but the task keeps reading
}

TEST_F(UsbLinkTest, ReceiverThatNeverIdentifiesIsGivenFiftyReads) {
  KMVSIM_WithholdReplies(0x12, 1);
  KMVSIM_SetRealTime(0);
  ASSERT_TRUE(OpenHW());  // falls back to the LAN, which finds nothing here
  EXPECT_FALSE(usb_up());
  EXPECT_EQ(firm(), "KMV410B Vxxx");
  EXPECT_EQ(received_with_code(0x12), 1);
  EXPECT_EQ(usb::g_link.handle.load(), nullptr);
}

TEST_F(UsbLinkTest, ThreeFailedReadsEndTheHandshakeWithTwoIdentifyCommands) {
  KMVSIM_WithholdReplies(0x12, 1);
  KMVSIM_SetSilent(1);  // every read runs into the pipe time-out
  long long start = tasks::now_ms();
  ASSERT_TRUE(OpenHW());
  EXPECT_FALSE(usb_up());
  EXPECT_LT(tasks::now_ms() - start, 15000);  // three time-outs of 1.9 s, plus the open's reads
  KMVSIM_SetSilent(0);
  EXPECT_EQ(received_with_code(0x12), 2);
}

TEST_F(UsbLinkTest, CommandsReachTheReceiverAndAreAcknowledged) {
  ASSERT_TRUE(OpenHW());
  ASSERT_TRUE(usb_up());
  // The settings applied at open are all acknowledged: the queue empties.
  EXPECT_TRUE(eventually([] { return usb::queue_length(usb::usb_queue()) == 0; }, 10000));
  EXPECT_GE(received_with_code(0xF5), 1);  // attenuators, antennas, input flags
  EXPECT_GE(received_with_code(0xB0), 1);  // the frequency
  EXPECT_GE(received_with_code(0xF2), 1);  // the clock

  KMVSIM_ClearReceived();
  EXPECT_EQ(SetAttenuators(10), 0);
  EXPECT_TRUE(eventually([] { return received_with_code(0xF5) >= 1; }));
  EXPECT_TRUE(eventually([] { return (usb::g_status.settings_echo[1].load() & 0xFF) == 10; }));
  EXPECT_EQ(GetActualAttIdx(), 10);
  EXPECT_TRUE(eventually([] { return usb::queue_length(usb::usb_queue()) == 0; }));
}

TEST_F(UsbLinkTest, UnpluggedReceiverIsReopenedByTheTaskAndStreamingResumes) {
  ASSERT_TRUE(OpenHW());
  ASSERT_TRUE(usb_up());
  ASSERT_EQ(StartHW64(7000000), 130560);
  ASSERT_TRUE(eventually([] { return g_blocks.load() >= 2; }));
  KMVSIM_SetPresent(0);
  tasks::sleep_ms(500);
  EXPECT_EQ(usb::g_link.handle.load(), nullptr);
  KMVSIM_SetPresent(1);
  EXPECT_TRUE(eventually([] { return usb::g_link.handle.load() != nullptr; }, 8000));
  int before = g_blocks.load();
  EXPECT_TRUE(eventually([&] { return g_blocks.load() >= before + 3; }, 8000));
  StopHW();
}

TEST_F(UsbLinkTest, SkippedBlocksCountOneLossPerGap) {
  KMVSIM_SetRealTime(0);
  ASSERT_TRUE(OpenHW());
  ASSERT_TRUE(usb_up());
  ASSERT_TRUE(eventually([] { return usb::g_usb_counters.packets.load() > 2000; }));
  uint32_t lost = usb::g_usb_counters.lost.load();
  KMVSIM_SkipBlocks(4);
  EXPECT_TRUE(eventually([&] { return usb::g_usb_counters.lost.load() == lost + 1; }));
  tasks::sleep_ms(100);
  EXPECT_EQ(usb::g_usb_counters.lost.load(), lost + 1);

  // A short transfer counts its B blocks; the gap it leaves counts one more.
  uint32_t blocks = control::usb_geometry().blocks;
  lost = usb::g_usb_counters.lost.load();
  KMVSIM_ShortTransfers(1, 10);
  EXPECT_TRUE(eventually([&] { return usb::g_usb_counters.lost.load() >= lost + blocks; }));
}

TEST_F(UsbLinkTest, ClearButtonWithTheLinkUpOnlyResetsTheLostCounter) {
  ASSERT_TRUE(OpenHW());
  ASSERT_TRUE(usb_up());
  usb::g_usb_counters.lost = 5;
  bridge::Handle h = usb::g_link.handle.load();
  on_ui([] { F_RDR1->B_CLRU->click(); });
  EXPECT_LE(usb::g_usb_counters.lost.load(), 1u);
  EXPECT_EQ(usb::g_link.handle.load(), h);
}

TEST_F(UsbLinkTest, FailedReopenFromTheClearButtonLeavesNoDeadHandle) {
  ASSERT_TRUE(OpenHW());
  ASSERT_TRUE(usb_up());
  KMVSIM_SetPresent(0);  // the task loses the link and keeps trying to reopen
  ASSERT_TRUE(eventually([] { return usb::g_link.handle.load() == nullptr; }));
  on_ui([] {
    // The device is back but does not answer: the reopen's first read runs into its time-out.
    KMVSIM_SetSilent(1);
    KMVSIM_SetPresent(1);
    F_RDR1->B_CLRU->click();
    EXPECT_FALSE(F_RDR1->CB_USB->checked());
  });
  EXPECT_EQ(usb::g_link.handle.load(), nullptr);
  KMVSIM_SetSilent(0);
}

TEST(UsbConversion, SixteenBitSamplesWidenTo24Bits) {
  // I = 1 in the low half, Q = -2 in the high half.
  uint8_t word[4] = {0x01, 0x00, 0xFE, 0xFF};
  uint8_t out[8] = {};
  usb::widen16(word, 1, out);
  const uint8_t want[6] = {0x80, 0x01, 0x00, 0x80, 0xFE, 0xFF};
  EXPECT_EQ(std::memcmp(out, want, 6), 0);

  // Whole blocks, every sample against the rule (the fast path works four at a time).
  std::vector<uint8_t> words(4080);
  uint32_t x = 12345;
  for (auto& v : words) v = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 8);
  std::vector<uint8_t> single(1020 * 6 + 8), da(510 * 6 + 8), db(510 * 6 + 8);
  usb::widen16(words.data(), 1020, single.data());
  usb::widen16_dual(words.data(), 510, da.data(), db.data());
  auto expect_sample = [&](const uint8_t* got, const uint8_t* w, int at) {
    const uint8_t want[6] = {0x80, w[0], w[1], 0x80, w[2], w[3]};
    EXPECT_EQ(std::memcmp(got, want, 6), 0) << "sample " << at;
  };
  for (int i = 0; i < 1020; ++i) expect_sample(&single[6 * i], &words[4 * i], i);
  for (int i = 0; i < 510; ++i) {
    expect_sample(&da[6 * i], &words[8 * i], i);
    expect_sample(&db[6 * i], &words[8 * i + 4], i);
  }

  uint8_t pair[8] = {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00};
  uint8_t a[8] = {}, b[8] = {};
  usb::widen16_dual(pair, 1, a, b);
  EXPECT_EQ(a[1], 0x01);
  EXPECT_EQ(a[4], 0x02);
  EXPECT_EQ(b[1], 0x03);
  EXPECT_EQ(b[4], 0x04);
}

}  // namespace
