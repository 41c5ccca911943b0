// Commands through the USB drain into the simulated receiver, and its answers back through the
// reply-record parser: the simulator's bridge library loaded by full path, then reached through
// the plug-in's own loader, as the USB stream task reaches it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "control/commands.h"
#include "kmvsim.h"
#include "platform/bridge.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kBlocksPerTransfer = 192;

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Sim {
  decltype(&::KMVSIM_Reset) Reset = nullptr;
  decltype(&::KMVSIM_GetState) GetState = nullptr;
  decltype(&::KMVSIM_SetRealTime) SetRealTime = nullptr;
  decltype(&::KMVSIM_WithholdReplies) WithholdReplies = nullptr;
  decltype(&::KMVSIM_RejectAddress) RejectAddress = nullptr;
  decltype(&::KMVSIM_ReceivedCount) ReceivedCount = nullptr;
  decltype(&::KMVSIM_Received) Received = nullptr;
  decltype(&::KMVSIM_ClearReceived) ClearReceived = nullptr;
  decltype(&::KMVSIM_HoldWrites) HoldWrites = nullptr;

  bool load(void* lib) {
    bool ok = true;
    auto get = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
      ok = ok && fn != nullptr;
    };
    get(Reset, "KMVSIM_Reset");
    get(GetState, "KMVSIM_GetState");
    get(SetRealTime, "KMVSIM_SetRealTime");
    get(WithholdReplies, "KMVSIM_WithholdReplies");
    get(RejectAddress, "KMVSIM_RejectAddress");
    get(ReceivedCount, "KMVSIM_ReceivedCount");
    get(Received, "KMVSIM_Received");
    get(ClearReceived, "KMVSIM_ClearReceived");
    get(HoldWrites, "KMVSIM_HoldWrites");
    return ok;
  }

  KMVSIM_State state() const {
    KMVSIM_State s{};
    s.size = sizeof s;
    GetState(&s);
    return s;
  }
  // Message i as the receiver got it: payload after the sequence header, and the sequence.
  Bytes received(uint32_t i, uint32_t* sequence = nullptr) const {
    uint8_t buf[512];
    uint32_t n = Received(i, buf, sizeof buf, sequence);
    return Bytes(buf, buf + std::min<uint32_t>(n, sizeof buf));
  }
};

class CommandsOnSimulator : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    lib_ = dlopen(KMV_SIM_BRIDGE, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    ASSERT_TRUE(sim_.load(lib_));
    ASSERT_EQ(bridge::open_by_description(&handle_), bridge::kOk);
    ASSERT_NE(handle_, nullptr);
    bridge::pipe_timeout(handle_, bridge::kPipeOut, 1900);
    bridge::pipe_timeout(handle_, bridge::kPipeIn, 1900);
    ASSERT_EQ(bridge::prepare_overlapped(handle_, &usb::g_usb_tx.write_record), bridge::kOk);
    bridge::stream_on(handle_, bridge::kPipeIn, kBlocksPerTransfer * kBlock);
    buffer_ = std::make_unique<uint8_t[]>(kBlocksPerTransfer * kBlock);
    batch_ = std::make_unique<usb::ReplyBatch>();
  }
  static void TearDownTestSuite() {
    usb::g_link.handle = nullptr;
    if (handle_) {
      bridge::release_overlapped(handle_, &usb::g_usb_tx.write_record);
      bridge::stream_off(handle_, bridge::kPipeIn);
      bridge::close(handle_);
    }
    usb::destroy_queues();
  }

  void SetUp() override {
    sim_.Reset();
    sim_.SetRealTime(0);
    sim_.ClearReceived();
    usb::destroy_queues();
    usb::create_queues();
    usb::g_link.handle = handle_;
    usb::g_usb_tx.send_ready = 1;
    usb::g_usb_tx.write_status = usb::kWriteIdle;
    usb::g_usb_tx.wait_counter = 0;
    usb::g_usb_tx.pacing = 1;
    usb::set_command_outcome(0);
    // Take whatever the receiver said before this test as already seen.
    transfer(false);
  }
  void TearDown() override { sim_.WithholdReplies(0xF2, 0); }

  // One read transfer, its new reply records collected, then (optionally) one drain call: what
  // the USB stream task does per transfer.
  void transfer(bool drain = true) {
    uint32_t n = 0;
    ASSERT_EQ(bridge::read_pipe(handle_, bridge::kPipeIn, buffer_.get(),
                                kBlocksPerTransfer * kBlock, &n, nullptr),
              bridge::kOk);
    ASSERT_EQ(n, kBlocksPerTransfer * kBlock);
    batch_->count = 0;
    for (uint32_t b = 0; b < kBlocksPerTransfer; ++b) {
      const uint8_t* block = buffer_.get() + size_t(b) * kBlock;
      uint32_t tag = le32(block + 4084);
      if (tag == last_tag_) continue;
      last_tag_ = tag;
      batch_->records[batch_->count++] = {le32(block + 4088), le32(block + 4092)};
    }
    if (drain) usb::usb_drain(*batch_);
  }
  static size_t queued() { return usb::queue_length(usb::usb_queue()); }

  static inline void* lib_ = nullptr;
  static inline Sim sim_;
  static inline bridge::Handle handle_ = nullptr;
  static inline std::unique_ptr<uint8_t[]> buffer_;
  static inline std::unique_ptr<usb::ReplyBatch> batch_;
  uint32_t last_tag_ = 0;
};

TEST_F(CommandsOnSimulator, EveryCommandArrivesOnceAndIsAcknowledged) {
  const std::vector<Bytes> sent = {
      commands::front_end_value(commands::kItemGps, -9999),
      commands::clock(100),
      commands::register_value(commands::kRegFreqBoth, 999000000),
      commands::stream_setup(commands::kTargetModeOnly, 0,
                             commands::mode_byte(commands::ChannelMode::kDiversity)),
      commands::front_end(commands::kItemAtt1, 5, 1),
      commands::front_end_value(commands::kItemTuning1, 30010),
      commands::mix(0x1234, 0x5678),
      commands::address(127, 0, 0, 1),
      commands::stream_setup(commands::kTargetUsb, commands::format_byte(true, true, 3, 3, true),
                             commands::mode_byte(commands::ChannelMode::kDiversity)),
  };
  for (const Bytes& e : sent) ASSERT_TRUE(usb::append(usb::usb_queue(), e));
  for (int i = 0; i < 100 && queued() > 0; ++i) transfer();
  ASSERT_EQ(queued(), 0u);

  // Answered before the wait ran out: one transmission each, count byte 0, filled to 4.
  ASSERT_EQ(sim_.ReceivedCount(), sent.size());
  uint32_t previous = 0;
  for (uint32_t i = 0; i < sent.size(); ++i) {
    uint32_t sequence = 0;
    Bytes got = sim_.received(i, &sequence);
    Bytes want = sent[i];
    want.resize((want.size() + 3) / 4 * 4, 0);
    EXPECT_EQ(got, want) << i;
    if (i > 0) {
      EXPECT_EQ(sequence, previous + 1);
    }
    previous = sequence;
  }
  EXPECT_EQ(usb::g_usb_tx.last_acknowledged.load(), previous);

  // The receiver read the bytes as meant...
  KMVSIM_State s = sim_.state();
  EXPECT_EQ(s.frontend[0], 0xD8F1u);
  EXPECT_EQ(s.clock_mhz, 100u);
  EXPECT_EQ(s.frequency[0], 999000000u);
  EXPECT_EQ(s.frequency[1], 999000000u);
  EXPECT_EQ(s.mode, 3u);
  EXPECT_EQ(s.frontend[1], 0x105u);
  EXPECT_EQ(s.frontend[6], 30010u);
  EXPECT_EQ(s.mix, 0x56781234u);
  EXPECT_EQ(s.address, 0x0100007Fu);
  EXPECT_EQ(s.usb_format, 0x33u);
  // ...and the parser kept what it answered.
  EXPECT_EQ(usb::g_status.clock_echo.load(), 100u);
  EXPECT_EQ(usb::g_status.settings_echo[0].load(), 0xD8F1u);
  EXPECT_EQ(usb::g_status.settings_echo[1].load(), 0x105u);
  EXPECT_EQ(usb::g_status.ip_error.load(), 0);
  EXPECT_EQ(usb::g_command_outcome.load(), 0);
}

TEST_F(CommandsOnSimulator, UnansweredCommandIsRepeatedThenGivenUp) {
  sim_.WithholdReplies(0xF2, 1);
  ASSERT_TRUE(usb::append(usb::usb_queue(), commands::clock(125)));
  ASSERT_TRUE(usb::append(usb::usb_queue(), commands::front_end(commands::kItemAtt2, 9, 0)));
  std::vector<int> arrived_on;
  for (int call = 1; call <= 11; ++call) {
    uint32_t before = sim_.ReceivedCount();
    transfer();
    if (sim_.ReceivedCount() > before) arrived_on.push_back(call);
    if (call == 10) {
      EXPECT_EQ(usb::g_command_outcome.load(), 2);
    }
  }
  EXPECT_EQ(arrived_on, (std::vector<int>{1, 4, 7, 11}));
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sim_.received(i), (Bytes{0xF2, 0x7D, 0x00, uint8_t(i)})) << i;
  }
  EXPECT_EQ(sim_.received(3), (Bytes{0xF5, 0x02, 0x09, 0x00, 0x00, 0, 0, 0}));
  EXPECT_EQ(sim_.state().clock_mhz, 125u);
  // The answer to the next command comes back normally.
  for (int i = 0; i < 20 && queued() > 0; ++i) transfer();
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(usb::g_status.settings_echo[2].load(), 9u);
}

// A poll of a write still in flight answers 24 (pending) or 25 (I/O incomplete): either way the
// message buffer and the write record stay the driver's until the write completes.
TEST_F(CommandsOnSimulator, WriteStillInFlightIsWaitedForWhateverItsPollAnswers) {
  for (uint32_t answer : {24u, 25u}) {
    SCOPED_TRACE(answer);
    sim_.ClearReceived();
    usb::g_usb_tx.pacing = 4;  // the wait for an acknowledgement outlasts the write
    constexpr uint32_t kPolls = 5;
    sim_.HoldWrites(1, kPolls, answer);
    const Bytes command = commands::clock(100);
    ASSERT_TRUE(usb::append(usb::usb_queue(), command));
    const uint32_t sequence = usb::g_usb_tx.queue_sequence.load() + 1;
    int calls = 0;
    for (; calls < 40 && queued() > 0; ++calls) {
      transfer();
      if (calls < int(kPolls)) {
        EXPECT_EQ(sim_.ReceivedCount(), 0u) << calls;
        EXPECT_EQ(usb::g_usb_tx.queue_sequence.load(), sequence) << calls;  // not sent again
      }
    }
    EXPECT_EQ(queued(), 0u);
    EXPECT_GT(calls, int(kPolls));
    // Received once, as first sent, and acknowledged.
    ASSERT_EQ(sim_.ReceivedCount(), 1u);
    uint32_t got_sequence = 0;
    EXPECT_EQ(sim_.received(0, &got_sequence), (Bytes{0xF2, 100, 0x00, 0x00}));
    EXPECT_EQ(got_sequence, sequence);
    EXPECT_EQ(usb::g_usb_tx.last_acknowledged.load(), sequence);
    EXPECT_EQ(usb::g_command_outcome.load(), 0);
    EXPECT_EQ(sim_.state().clock_mhz, 100u);
    EXPECT_EQ(usb::g_usb_tx.write_status.load(), usb::kWriteIdle);
  }
}

TEST_F(CommandsOnSimulator, RejectedAddressRaisesTheErrorFlag) {
  usb::g_status.ip_error = 0;
  sim_.RejectAddress(1);
  ASSERT_TRUE(usb::append(usb::usb_queue(), commands::address(10, 0, 0, 99)));
  for (int i = 0; i < 20 && queued() > 0; ++i) transfer();
  sim_.RejectAddress(0);
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(usb::g_status.ip_error.load(), 1);
}

}  // namespace
