// The simulated receiver's USB side, reached the way the plug-in reaches it: the simulator's
// bridge library loaded by full path, then every operation through the platform's loader.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "kmvsim.h"
#include "platform/bridge.h"

namespace {

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kTimeout = 19;    // the bridge's pipe time-out status
constexpr uint32_t kFifoBlocks = 4;  // blocks the bridge holds when nothing reads

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Block {
  const uint8_t* p;
  uint32_t sequence() const { return le32(p); }
  uint32_t tag() const { return le32(p + 4084); }
  uint32_t word() const { return le32(p + 4088); }
  uint32_t value() const { return le32(p + 4092); }
  uint8_t code() const { return p[4088]; }
  const uint8_t* payload() const { return p + 4; }
};

long long ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

// The control functions of the loaded simulator.
struct Control {
#define KMV_SIM_FN(name) decltype(&::KMVSIM_##name) name = nullptr;
  KMV_SIM_FN(Reset)
  KMV_SIM_FN(GetState)
  KMV_SIM_FN(SetSerial)
  KMV_SIM_FN(SetFirmwareVersion)
  KMV_SIM_FN(SetStatus)
  KMV_SIM_FN(SetRealTime)
  KMV_SIM_FN(SetTestPattern)
  KMV_SIM_FN(WithholdReplies)
  KMV_SIM_FN(RejectAddress)
  KMV_SIM_FN(ReceivedCount)
  KMV_SIM_FN(Received)
  KMV_SIM_FN(ClearReceived)
  KMV_SIM_FN(SetPresent)
  KMV_SIM_FN(SetSilent)
  KMV_SIM_FN(SkipBlocks)
  KMV_SIM_FN(ShortTransfers)
  KMV_SIM_FN(FailReads)
  KMV_SIM_FN(FailResults)
  KMV_SIM_FN(FailWrites)
  KMV_SIM_FN(HoldWrites)
#undef KMV_SIM_FN

  bool load(void* lib) {
    bool ok = true;
    auto get = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
      ok = ok && fn != nullptr;
    };
#define KMV_SIM_GET(name) get(name, "KMVSIM_" #name);
    KMV_SIM_GET(Reset)
    KMV_SIM_GET(GetState)
    KMV_SIM_GET(SetSerial)
    KMV_SIM_GET(SetFirmwareVersion)
    KMV_SIM_GET(SetStatus)
    KMV_SIM_GET(SetRealTime)
    KMV_SIM_GET(SetTestPattern)
    KMV_SIM_GET(WithholdReplies)
    KMV_SIM_GET(RejectAddress)
    KMV_SIM_GET(ReceivedCount)
    KMV_SIM_GET(Received)
    KMV_SIM_GET(ClearReceived)
    KMV_SIM_GET(SetPresent)
    KMV_SIM_GET(SetSilent)
    KMV_SIM_GET(SkipBlocks)
    KMV_SIM_GET(ShortTransfers)
    KMV_SIM_GET(FailReads)
    KMV_SIM_GET(FailResults)
    KMV_SIM_GET(FailWrites)
    KMV_SIM_GET(HoldWrites)
#undef KMV_SIM_GET
    return ok;
  }

  KMVSIM_State state() const {
    KMVSIM_State s{};
    s.size = sizeof s;
    GetState(&s);
    return s;
  }
};

class SimUsb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    lib_ = dlopen(KMV_SIM_BRIDGE, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    ASSERT_TRUE(sim_.load(lib_));
  }

  void SetUp() override {
    ASSERT_NE(lib_, nullptr);
    sim_.Reset();
    sim_.ClearReceived();
  }

  void TearDown() override {
    if (h_) {
      bridge::abort_pipe(h_, bridge::kPipeIn);
      for (auto& ov : ov_) bridge::release_overlapped(h_, &ov);
      EXPECT_EQ(bridge::close(h_), bridge::kOk);
    }
    h_ = nullptr;
    sim_.Reset();
  }

  // Open and configure the pipes as the plug-in does.
  void open(uint32_t timeout_ms = 1900) {
    ASSERT_EQ(bridge::open_by_description(&h_), bridge::kOk);
    ASSERT_NE(h_, nullptr);
    EXPECT_EQ(bridge::device_setting(h_, 0), bridge::kOk);
    EXPECT_EQ(bridge::pipe_timeout(h_, bridge::kPipeOut, timeout_ms), bridge::kOk);
    EXPECT_EQ(bridge::pipe_timeout(h_, bridge::kPipeIn, timeout_ms), bridge::kOk);
  }

  uint32_t read_sync(uint8_t* buffer, uint32_t length = kBlock, uint32_t* n = nullptr) {
    uint32_t got = 0;
    const uint32_t st = bridge::read_pipe(h_, bridge::kPipeIn, buffer, length, &got, nullptr);
    if (n) *n = got;
    return st;
  }

  // A USB message: sequence, command bytes, padding to a multiple of 4.
  uint32_t send(uint32_t sequence, std::vector<uint8_t> command, bridge::Overlapped* ov = nullptr) {
    std::vector<uint8_t> m(4);
    for (int i = 0; i < 4; ++i) m[i] = uint8_t(sequence >> (8 * i));
    m.insert(m.end(), command.begin(), command.end());
    while (m.size() % 4) m.push_back(0);
    uint32_t n = 0;
    const uint32_t st =
        bridge::write_pipe(h_, bridge::kPipeOut, m.data(), uint32_t(m.size()), &n, ov);
    if (!ov && st == bridge::kOk) {
      EXPECT_EQ(n, m.size());
    }
    return st;
  }

  // Read single blocks until one carries a new reply record with this code (and, for answers,
  // this echoed sequence); its word and value, or zeros.
  std::pair<uint32_t, uint32_t> await_record(uint8_t code, int64_t sequence = -1, int reads = 200) {
    uint32_t last_tag = ~0u;
    for (int i = 0; i < reads; ++i) {
      if (read_sync(block_) != bridge::kOk) continue;
      Block b{block_};
      if (b.tag() != last_tag && b.code() == code && (sequence < 0 || b.value() == sequence)) {
        return {b.word(), b.value()};
      }
      last_tag = b.tag();
    }
    return {0, 0};
  }

  // Streaming as the plug-in's task does: eight queued reads of `blocks` blocks each.
  void start_stream(uint32_t blocks) {
    blocks_ = blocks;
    buffers_.assign(8, std::vector<uint8_t>(size_t(blocks) * kBlock));
    ASSERT_EQ(bridge::stream_on(h_, bridge::kPipeIn, blocks * kBlock), bridge::kOk);
    for (int k = 0; k < 8; ++k) {
      ASSERT_EQ(bridge::prepare_overlapped(h_, &ov_[k]), bridge::kOk);
      EXPECT_EQ(bridge::read_pipe(h_, bridge::kPipeIn, buffers_[k].data(), blocks * kBlock,
                                  &counts_[k], &ov_[k]),
                bridge::kPending);
    }
  }

  uint32_t wait_transfer(int k, uint32_t* n) {
    return bridge::transfer_result(h_, &ov_[k], n, true);
  }

  void requeue(int k) {
    bridge::requeue_read(h_, bridge::kPipeIn, buffers_[k].data(), blocks_ * kBlock, &counts_[k],
                         &ov_[k]);
  }

  static void* lib_;
  static Control sim_;
  bridge::Handle h_ = nullptr;
  uint8_t block_[kBlock];
  uint32_t blocks_ = 0;
  std::vector<std::vector<uint8_t>> buffers_;
  std::array<bridge::Overlapped, 8> ov_{};
  std::array<uint32_t, 8> counts_{};
};

void* SimUsb::lib_ = nullptr;
Control SimUsb::sim_;

TEST_F(SimUsb, PresentDeviceIsCountedAndOpenedOnceByItsDescription) {
  uint32_t count = 0;
  ASSERT_EQ(bridge::device_count(&count), bridge::kOk);
  EXPECT_EQ(count, 1u);
  open();
  bridge::Handle second = nullptr;
  EXPECT_NE(bridge::open_by_description(&second), bridge::kOk);
  EXPECT_EQ(second, nullptr);

  auto raw_open = reinterpret_cast<bridge::FnOpen>(dlsym(lib_, "KMVB_Open"));
  ASSERT_NE(raw_open, nullptr);
  EXPECT_NE(raw_open("FTDI SuperSpeed-FIFO", bridge::kOpenByDescription, &second), bridge::kOk);
  EXPECT_EQ(bridge::close(h_), bridge::kOk);
  EXPECT_NE(raw_open(bridge::kDeviceDescription, 1, &second), bridge::kOk);
  EXPECT_NE(bridge::close(h_), bridge::kOk);  // already closed
  h_ = nullptr;
  EXPECT_EQ(sim_.state().open, 0u);
}

TEST_F(SimUsb, IdentifyIsAnsweredWithSerialAndFirmwareVersion) {
  sim_.SetSerial(42);
  sim_.SetFirmwareVersion(0x1234);
  open();
  ASSERT_EQ(read_sync(block_), bridge::kOk);  // whatever the receiver had ready
  const uint32_t before = Block{block_}.tag();
  ASSERT_EQ(send(1, {0x12, 0x00, 0x00, 0x00}), bridge::kOk);
  int reads = 0;
  for (; reads < 50; ++reads) {
    uint32_t n = 0;
    ASSERT_EQ(read_sync(block_, kBlock, &n), bridge::kOk);
    ASSERT_EQ(n, kBlock);
    if (block_[4088] == 0x12) break;
  }
  ASSERT_LT(reads, 50) << "no identify answer";
  EXPECT_LE(reads, 8) << "the answer waited behind more than the FIFO";
  EXPECT_NE(Block{block_}.tag(), before);
  EXPECT_EQ(block_[4089], 42);
  EXPECT_EQ(Block{block_}.value(), 0x1234u);
}

TEST_F(SimUsb, IdentifyAnswerHasDefaultIdentity) {
  open();
  ASSERT_EQ(send(9, {0x12, 0x00, 0x00, 0x00}), bridge::kOk);
  const auto [word, value] = await_record(0x12, -1, 50);
  EXPECT_EQ((word >> 8) & 0xFF, 7u);
  EXPECT_EQ(value, 0x211u);
}

TEST_F(SimUsb, CommandsAreAcknowledgedWithTheirSequenceAndApplied) {
  sim_.SetRealTime(0);
  open();
  // Clock 100 MHz, as an overlapped write the way the stream task sends.
  bridge::Overlapped ov{};
  ASSERT_EQ(bridge::prepare_overlapped(h_, &ov), bridge::kOk);
  const uint32_t st = send(77, {0xF2, 100, 0x00, 0x00}, &ov);
  EXPECT_TRUE(st == bridge::kOk || st == bridge::kPending) << st;
  uint32_t n = 0;
  EXPECT_EQ(bridge::transfer_result(h_, &ov, &n, false), bridge::kOk);
  EXPECT_EQ(n, 8u);
  auto [word, value] = await_record(0xF2, 77);
  EXPECT_EQ(word, 0xF2u | 100u << 8);
  EXPECT_EQ(value, 77u);
  EXPECT_EQ(sim_.state().clock_mhz, 100u);
  EXPECT_EQ(bridge::release_overlapped(h_, &ov), bridge::kOk);

  // Channel-1 attenuator, coupled: the echo carries bytes 2 and 3.
  ASSERT_EQ(send(78, {0xF5, 0x01, 0x05, 0x01, 0x00}), bridge::kOk);
  std::tie(word, value) = await_record(0xF5, 78);
  EXPECT_EQ(word, 0xF5u | 1u << 8 | 0x0105u << 16);
  EXPECT_EQ(value, 78u);

  // Frequency of both channels.
  ASSERT_EQ(send(79, {0xB0, 0x02, 0xC0, 0x87, 0x8B, 0x3B, 0x00}), bridge::kOk);
  std::tie(word, value) = await_record(0xB0, 79);
  EXPECT_EQ(word, 0xB0u | 2u << 8);
  EXPECT_EQ(value, 79u);
  EXPECT_EQ(sim_.state().frequency[0], 999000000u);
  EXPECT_EQ(sim_.state().frequency[1], 999000000u);

  // An address the receiver refuses.
  sim_.RejectAddress(1);
  ASSERT_EQ(send(80, {0xB0, 0x0A, 192, 168, 1, 20, 0x00}), bridge::kOk);
  std::tie(word, value) = await_record(0xB0, 80);
  EXPECT_EQ((word >> 8) & 0xFF, 0x0Au);
  EXPECT_NE((word >> 16) & 0xFF, 0u);
  EXPECT_EQ(sim_.state().address, 0u);

  // Every message is in the log, as written.
  ASSERT_EQ(sim_.ReceivedCount(), 4u);
  uint8_t bytes[16] = {};
  uint32_t seq = 0;
  EXPECT_EQ(sim_.Received(0, bytes, sizeof bytes, &seq), 4u);
  EXPECT_EQ(seq, 77u);
  EXPECT_EQ(bytes[0], 0xF2);
  EXPECT_EQ(bytes[1], 100);
  EXPECT_EQ(sim_.Received(1, bytes, sizeof bytes, &seq), 8u);  // 5 bytes padded to 8
  EXPECT_EQ(seq, 78u);
}

TEST_F(SimUsb, StreamSetUpAndFirmwareAreAnswered) {
  sim_.SetRealTime(0);
  open();
  ASSERT_EQ(send(5, {0xB4, 0x01, 0x33, 0x01, 0x00}), bridge::kOk);
  auto [word, value] = await_record(0xB4, 5);
  EXPECT_EQ(word, 0xB4u);  // bits 8-15 clear: no stream to close
  EXPECT_EQ(value, 5u);
  const KMVSIM_State s = sim_.state();
  EXPECT_EQ(s.stream_bits, 16u);
  EXPECT_EQ(s.stream_dual, 1u);
  EXPECT_EQ(s.stream_rate, 125000000u / 16);

  ASSERT_EQ(send(6, {0x0C, 0x00, 0x02, 0x00, 0x02}), bridge::kOk);  // sized clear, 512 bytes
  std::tie(word, value) = await_record(0x0C, 6);
  EXPECT_EQ(word, 0x0Cu | 0x5Au << 8);
  EXPECT_EQ(value, 6u);
}

TEST_F(SimUsb, BlocksCarryConsecutiveSequenceNumbersFromStreamStart) {
  sim_.SetRealTime(0);
  open();
  start_stream(192);
  uint32_t expected = 0;
  for (int t = 0; t < 24; ++t) {
    const int k = t % 8;
    uint32_t n = 0;
    ASSERT_EQ(wait_transfer(k, &n), bridge::kOk);
    ASSERT_EQ(n, 192 * kBlock);
    uint32_t new_tags = 0, tag = Block{buffers_[k].data()}.tag();
    for (uint32_t b = 0; b < 192; ++b) {
      Block block{buffers_[k].data() + size_t(b) * kBlock};
      ASSERT_EQ(block.sequence(), expected) << "transfer " << t << " block " << b;
      ++expected;
      if (block.tag() != tag) ++new_tags;
      tag = block.tag();
    }
    EXPECT_LE(new_tags, 10u);  // the host ignores a transfer with more reply records
    requeue(k);
  }
  EXPECT_EQ(sim_.state().blocks_dropped, 0u);
}

TEST_F(SimUsb, RealTimePacingFollowsTheSampleRate) {
  sim_.SetTestPattern(1);  // cheap samples, so that slow builds keep up
  open();
  // Clock 100 MHz, one 16-bit stream at decimation 8: 12.5 MS/s, 1020 samples per block.
  ASSERT_EQ(send(1, {0xF2, 100, 0x00, 0x00}), bridge::kOk);
  ASSERT_EQ(send(2, {0xB4, 0x01, 0x22, 0x01, 0x00}), bridge::kOk);
  start_stream(128);
  uint32_t n = 0;
  ASSERT_EQ(wait_transfer(0, &n), bridge::kOk);  // may still hold blocks of the old format
  requeue(0);
  const auto t0 = std::chrono::steady_clock::now();
  const int transfers = 20;
  for (int t = 1; t <= transfers; ++t) {
    ASSERT_EQ(wait_transfer(t % 8, &n), bridge::kOk);
    requeue(t % 8);
  }
  // 20 x 128 blocks x 1020 samples at 12.5 MS/s: 209 ms.
  const long long took = ms_since(t0);
  EXPECT_GT(took, 209 * 8 / 10);
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(took, 209 * 2);  // instrumented builds make samples too slowly to keep the pace
#endif
}

TEST_F(SimUsb, UnreadBlocksAreLostAsAGapInTheSequence) {
  open();
  ASSERT_EQ(read_sync(block_), bridge::kOk);
  const uint32_t first = Block{block_}.sequence();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // 7.8 MS/s: ~1100 blocks
  uint32_t seq = first;
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(read_sync(block_), bridge::kOk);
    seq = Block{block_}.sequence();
  }
  EXPECT_GT(seq - first, 500u);
  EXPECT_GT(sim_.state().blocks_dropped, 500u);
}

TEST_F(SimUsb, TestPatternNumbersEverySample) {
  sim_.SetRealTime(0);
  sim_.SetTestPattern(1);
  open();
  start_stream(192);
  uint32_t n = 0;
  ASSERT_EQ(wait_transfer(0, &n), bridge::kOk);
  for (uint32_t b = 0; b < 192; b += 37) {
    const uint8_t* payload = buffers_[0].data() + size_t(b) * kBlock + 4;
    for (uint32_t s = 0; s < 680; s += 97) {
      const uint64_t index = uint64_t(b) * 680 + s;
      const uint8_t* p = payload + 6 * s;
      const int32_t i =
          int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
      const int32_t q =
          int32_t(uint32_t(p[3]) << 8 | uint32_t(p[4]) << 16 | uint32_t(p[5]) << 24) >> 8;
      ASSERT_EQ(i, KMVSIM_PatternI(0, index, 24)) << index;
      ASSERT_EQ(q, KMVSIM_PatternQ(0, index, 24)) << index;
    }
  }
}

TEST_F(SimUsb, DualStreamCarriesBothChannelsAsWordPairs) {
  sim_.SetRealTime(0);
  sim_.SetTestPattern(1);
  open();
  ASSERT_EQ(send(1, {0xB4, 0x01, 0x33, 0x01, 0x00}), bridge::kOk);
  start_stream(256);  // the stream start comes after the set-up, so all blocks are dual
  uint32_t n = 0;
  ASSERT_EQ(wait_transfer(0, &n), bridge::kOk);
  const uint8_t* payload = buffers_[0].data() + 5 * kBlock + 4;
  for (uint32_t pair = 0; pair < 510; pair += 101) {
    const uint64_t index = 5 * 510 + pair;
    const uint32_t w1 = le32(payload + 8 * pair), w2 = le32(payload + 8 * pair + 4);
    EXPECT_EQ(int16_t(w1 & 0xFFFF), KMVSIM_PatternI(0, index, 16));
    EXPECT_EQ(int16_t(w1 >> 16), KMVSIM_PatternQ(0, index, 16));
    EXPECT_EQ(int16_t(w2 & 0xFFFF), KMVSIM_PatternI(1, index, 16));
    EXPECT_EQ(int16_t(w2 >> 16), KMVSIM_PatternQ(1, index, 16));
  }
}

TEST_F(SimUsb, StatusRecordCarriesTemperatureGpsAndOverload) {
  sim_.SetRealTime(0);
  sim_.SetStatus(-10, -1, 1, 0);
  open();
  const auto [word, value] = await_record(0xF1);
  (void)value;
  EXPECT_EQ((word >> 8) & 0xFF, 0xF6u);
  EXPECT_EQ((word >> 17) & 0x1FFF, 0x1FFFu);
  EXPECT_EQ(word >> 30, 1u);  // channel 1 only
}

TEST_F(SimUsb, SkippedBlocksLeaveAGap) {
  sim_.SetRealTime(0);
  open();
  ASSERT_EQ(read_sync(block_), bridge::kOk);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(read_sync(block_), bridge::kOk);  // past the FIFO
  const uint32_t before = Block{block_}.sequence();
  sim_.SkipBlocks(5);
  uint32_t gap = 0, prev = before;
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(read_sync(block_), bridge::kOk);
    const uint32_t seq = Block{block_}.sequence();
    if (seq != prev + 1) gap = seq - prev - 1;
    prev = seq;
  }
  EXPECT_EQ(gap, 5u);
}

TEST_F(SimUsb, ShortTransferEndsEarlyWithoutError) {
  sim_.SetRealTime(0);
  open();
  sim_.ShortTransfers(1, 10);
  start_stream(192);
  uint32_t n = 0;
  EXPECT_EQ(wait_transfer(0, &n), bridge::kOk);
  EXPECT_EQ(n, 10 * kBlock);
  EXPECT_EQ(wait_transfer(1, &n), bridge::kOk);
  EXPECT_EQ(n, 192 * kBlock);
}

TEST_F(SimUsb, FailingReadsEndAtOnceThenReadsWorkAgain) {
  open();
  sim_.FailReads(3, 4);
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    uint32_t n = 99;
    EXPECT_EQ(read_sync(block_, kBlock, &n), 4u);
    EXPECT_EQ(n, 0u);
  }
  EXPECT_LT(ms_since(t0), 500);
  EXPECT_EQ(read_sync(block_), bridge::kOk);
}

TEST_F(SimUsb, FailedResultLeavesTheTransferRunning) {
  sim_.SetRealTime(0);
  open();
  sim_.FailResults(2, 4);
  start_stream(192);
  uint32_t n = 0;
  EXPECT_EQ(wait_transfer(0, &n), 4u);
  EXPECT_EQ(wait_transfer(0, &n), 4u);
  EXPECT_EQ(wait_transfer(0, &n), bridge::kOk);
  EXPECT_EQ(n, 192 * kBlock);
}

TEST_F(SimUsb, SilentReceiverLetsReadsRunIntoThePipeTimeout) {
  open(200);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the FIFO fills
  sim_.SetSilent(1);
  for (uint32_t i = 0; i < kFifoBlocks; ++i) read_sync(block_);  // what was made before
  auto t0 = std::chrono::steady_clock::now();
  uint32_t n = 99;
  EXPECT_EQ(read_sync(block_, kBlock, &n), kTimeout);
  EXPECT_EQ(n, 0u);
  EXPECT_GE(ms_since(t0), 180);
  EXPECT_LT(ms_since(t0), 1500);

  // Queued reads time out one after the other; a failed transfer stays failed.
  start_stream(192);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(wait_transfer(0, &n), kTimeout);
  EXPECT_EQ(wait_transfer(0, &n), kTimeout);
  EXPECT_LT(ms_since(t0), 1500);

  // Commands are taken but not answered.
  EXPECT_EQ(send(3, {0x12, 0x00, 0x00, 0x00}), bridge::kOk);
  sim_.SetSilent(0);
  bridge::abort_pipe(h_, bridge::kPipeIn);
  EXPECT_EQ(read_sync(block_), bridge::kOk);
  EXPECT_GE(sim_.state().transfer_timeouts, 2u);
}

TEST_F(SimUsb, WithheldRepliesLeaveTheCommandApplied) {
  sim_.SetRealTime(0);
  sim_.WithholdReplies(0xF2, 1);
  open();
  ASSERT_EQ(send(11, {0xF2, 150, 0x00, 0x00}), bridge::kOk);
  EXPECT_EQ(await_record(0xF2, 11, 120).first, 0u);
  EXPECT_EQ(sim_.state().clock_mhz, 150u);
  sim_.WithholdReplies(0xF2, 0);
  ASSERT_EQ(send(12, {0xF2, 160, 0x00, 0x00}), bridge::kOk);
  EXPECT_EQ(await_record(0xF2, 12).second, 12u);
}

TEST_F(SimUsb, UnplugEndsTransfersUntilReplugged) {
  sim_.SetRealTime(0);
  open();
  sim_.SetSilent(1);
  start_stream(192);
  sim_.SetPresent(0);
  uint32_t n = 0;
  EXPECT_NE(wait_transfer(0, &n), bridge::kOk);
  EXPECT_NE(wait_transfer(7, &n), bridge::kOk);
  uint32_t count = 9;
  EXPECT_EQ(bridge::device_count(&count), bridge::kOk);
  EXPECT_EQ(count, 0u);
  EXPECT_NE(read_sync(block_), bridge::kOk);
  EXPECT_NE(send(1, {0x12, 0x00, 0x00, 0x00}), bridge::kOk);
  bridge::Handle again = nullptr;
  EXPECT_NE(bridge::open_by_description(&again), bridge::kOk);

  sim_.SetSilent(0);
  sim_.SetPresent(1);
  EXPECT_EQ(bridge::device_count(&count), bridge::kOk);
  EXPECT_EQ(count, 1u);
  // The dead handle still closes; a new one streams.
  for (auto& ov : ov_) bridge::release_overlapped(h_, &ov);
  EXPECT_EQ(bridge::close(h_), bridge::kOk);
  h_ = nullptr;
  open();
  EXPECT_EQ(read_sync(block_), bridge::kOk);
}

TEST_F(SimUsb, AbortEndsPendingReads) {
  open();
  sim_.SetSilent(1);
  start_stream(192);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(bridge::abort_pipe(h_, bridge::kPipeIn), bridge::kOk);
  uint32_t n = 0;
  for (int k = 0; k < 8; ++k) EXPECT_NE(wait_transfer(k, &n), bridge::kOk);
  for (int k = 0; k < 8; ++k) requeue(k);
  EXPECT_EQ(bridge::device_abort(h_), bridge::kOk);
  for (int k = 0; k < 8; ++k) EXPECT_NE(wait_transfer(k, &n), bridge::kOk);
  EXPECT_LT(ms_since(t0), 1000);
  // A pending read polled without waiting reports pending.
  requeue(0);
  EXPECT_EQ(bridge::transfer_result(h_, &ov_[0], &n, false), bridge::kPending);
}

TEST_F(SimUsb, StopMessagePausesTheStreamUntilTheNextCommand) {
  open(200);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the FIFO fills
  ASSERT_EQ(send(1, {0x16, 0x02, 0x00, 0x00}), bridge::kOk);
  EXPECT_EQ(sim_.state().paused, 1u);
  for (uint32_t i = 0; i < kFifoBlocks; ++i) read_sync(block_);  // made before the stop
  EXPECT_EQ(read_sync(block_), kTimeout);
  ASSERT_EQ(send(2, {0x12, 0x00, 0x00, 0x00}), bridge::kOk);
  EXPECT_EQ(sim_.state().paused, 0u);
  EXPECT_EQ(read_sync(block_), bridge::kOk);
}

// A write held in flight answers its polls with the status asked for and is read from the
// buffer only when it completes; an abort ends one unread.
TEST_F(SimUsb, HeldWriteIsReadFromTheBufferWhenItCompletes) {
  open();
  ASSERT_EQ(bridge::prepare_overlapped(h_, &ov_[0]), bridge::kOk);
  for (uint32_t status : {24u, 25u}) {
    SCOPED_TRACE(status);
    sim_.ClearReceived();
    sim_.HoldWrites(1, 2, status);
    uint8_t m[8] = {1, 0, 0, 0, 0xF2, 90, 0x00, 0x00};
    uint32_t n = 0;
    ASSERT_EQ(bridge::write_pipe(h_, bridge::kPipeOut, m, sizeof m, &n, &ov_[0]), bridge::kPending);
    EXPECT_EQ(bridge::transfer_result(h_, &ov_[0], &n, false), status);
    EXPECT_EQ(bridge::transfer_result(h_, &ov_[0], &n, false), status);
    EXPECT_EQ(sim_.ReceivedCount(), 0u);
    // The record is busy meanwhile.
    EXPECT_NE(bridge::write_pipe(h_, bridge::kPipeOut, m, sizeof m, &n, &ov_[0]), bridge::kPending);
    m[5] = 100;  // what the buffer holds when the write completes is what arrives
    EXPECT_EQ(bridge::transfer_result(h_, &ov_[0], &n, false), bridge::kOk);
    EXPECT_EQ(n, sizeof m);
    ASSERT_EQ(sim_.ReceivedCount(), 1u);
    uint8_t got[4] = {};
    sim_.Received(0, got, sizeof got, nullptr);
    EXPECT_EQ(got[1], 100);
    EXPECT_EQ(sim_.state().clock_mhz, 100u);
  }
  // A waiting result completes it at once; an abort of the pipe ends it unread.
  sim_.ClearReceived();
  sim_.HoldWrites(2, 100, 25);
  uint8_t m[8] = {2, 0, 0, 0, 0xF2, 80, 0x00, 0x00};
  uint32_t n = 0;
  ASSERT_EQ(bridge::write_pipe(h_, bridge::kPipeOut, m, sizeof m, &n, &ov_[0]), bridge::kPending);
  EXPECT_EQ(bridge::transfer_result(h_, &ov_[0], &n, true), bridge::kOk);
  EXPECT_EQ(sim_.ReceivedCount(), 1u);
  ASSERT_EQ(bridge::write_pipe(h_, bridge::kPipeOut, m, sizeof m, &n, &ov_[0]), bridge::kPending);
  EXPECT_EQ(bridge::abort_pipe(h_, bridge::kPipeOut), bridge::kOk);
  EXPECT_NE(bridge::transfer_result(h_, &ov_[0], &n, false), bridge::kOk);
  EXPECT_EQ(sim_.ReceivedCount(), 1u);
}

TEST_F(SimUsb, FailingWriteIsNotReceived) {
  open();
  sim_.FailWrites(1, 4);
  EXPECT_EQ(send(1, {0xF2, 90, 0x00, 0x00}), 4u);
  EXPECT_EQ(sim_.ReceivedCount(), 0u);
  EXPECT_EQ(send(2, {0xF2, 90, 0x00, 0x00}), bridge::kOk);
  EXPECT_EQ(sim_.ReceivedCount(), 1u);
}

}  // namespace
