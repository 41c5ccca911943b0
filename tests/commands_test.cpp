// Device commands, queue routing, the USB drain and the reply-record parser.
#include "control/commands.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "commands_test_bridge.h"
#include "lan/lan_state.h"
#include "lan/lan_transmit.h"
#include "platform/bridge.h"
#include "platform/net.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

using Bytes = std::vector<uint8_t>;
using usb::ReplyRecord;

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

template <size_t N>
Bytes bytes_of(const std::array<uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}

// ---------------------------------------------------------------------------------------------
// Command bytes

TEST(CommandBytes, ExamplesFromThePanel) {
  // E_GPS design text "-9999": 16-bit two's complement.
  EXPECT_EQ(commands::front_end_value(commands::kItemGps, -9999),
            (Bytes{0xF5, 0x00, 0xF1, 0xD8, 0x00}));
  EXPECT_EQ(commands::clock(125), (Bytes{0xF2, 0x7D, 0x00, 0x00}));
  // E_Freq0 design text "999.000.000" for both channels.
  EXPECT_EQ(commands::register_value(commands::kRegFreqBoth, 999000000),
            (Bytes{0xB0, 0x02, 0xC0, 0x87, 0x8B, 0x3B, 0x00}));
  // B_Through on channel 1: the through value 30010.
  EXPECT_EQ(commands::front_end_value(commands::kItemTuning1, 30010),
            (Bytes{0xF5, 0x06, 0x3A, 0x75, 0x00}));
  EXPECT_EQ(commands::stream_setup(commands::kTargetModeOnly, 0,
                                   commands::mode_byte(commands::ChannelMode::kDiversity)),
            (Bytes{0xB4, 0x03, 0x00, 0x03, 0x00}));
  EXPECT_EQ(commands::front_end(commands::kItemAtt1, 35, 1), (Bytes{0xF5, 0x01, 35, 0x01, 0x00}));
}

TEST(CommandBytes, FormatByte) {
  // Both on at decimation 16 (index 3), 16-bit.
  EXPECT_EQ(commands::format_byte(true, true, 3, 3, true), 0x33);
  // Stream 2 alone at decimation 64 (index 5), 24-bit.
  EXPECT_EQ(commands::format_byte(false, true, 0, 5, false), 0x0D);
  // Both on at decimation 8, 16-bit: the flags are OR-ed, never summed to 0x50.
  EXPECT_EQ(commands::format_byte(true, true, 2, 2, true), 0x32);
  // Stream 1 alone, 16-bit at decimation 2; stream 2's index is used whenever it is on.
  EXPECT_EQ(commands::format_byte(true, false, 0, 4, true), 0x20);
  EXPECT_EQ(commands::format_byte(true, true, 1, 4, true), 0x34);
  EXPECT_EQ(commands::format_byte(true, false, 5, 0, false), 0x05);
}

TEST(CommandBytes, ModeAndInputFlags) {
  using commands::ChannelMode;
  EXPECT_EQ(commands::mode_byte(ChannelMode::kParallel), 1);
  EXPECT_EQ(commands::mode_byte(ChannelMode::kDiversity), 3);
  EXPECT_EQ(commands::mode_byte(ChannelMode::kSeriellUp), 10);
  EXPECT_EQ(commands::mode_byte(ChannelMode::kSeriellLow), 2);
  EXPECT_EQ(commands::mode_byte(ChannelMode::kSeparate), 0);

  commands::InputFlags f;
  EXPECT_EQ(commands::input_flags_byte(f), 0x00);
  f.antenna1_index = 1;  // supply only
  EXPECT_EQ(commands::input_flags_byte(f), 0x08);
  f.antenna1_index = 3;  // a named model
  f.antenna2_index = 2;
  EXPECT_EQ(commands::input_flags_byte(f), 0x78);
  f = {true, true, true, 0, 1, true};
  EXPECT_EQ(commands::input_flags_byte(f), 0x87 | 0x20);
}

TEST(CommandBytes, RegistersAndFirmware) {
  EXPECT_EQ(commands::mix(0x1234, 0xABCD), (Bytes{0xB0, 0x09, 0x34, 0x12, 0xCD, 0xAB, 0x00}));
  EXPECT_EQ(commands::address(192, 168, 1, 10), (Bytes{0xB0, 0x0A, 192, 168, 1, 10, 0x00}));
  EXPECT_EQ(commands::register_value(commands::kRegFreq2, 0xFFFFFFFFu),
            (Bytes{0xB0, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
  // A sized clear for 1000 bytes goes out once: created with count 2.
  EXPECT_EQ(commands::firmware_control(1000), (Bytes{0x0C, 0xE8, 0x03, 0x00, 0x02}));
  EXPECT_EQ(commands::firmware_control(0x12345678), (Bytes{0x0C, 0x78, 0x56, 0x34, 0x02}));

  uint8_t data[256];
  for (int i = 0; i < 256; ++i) data[i] = uint8_t(255 - i);
  Bytes block = commands::firmware_data(0x81, data);
  ASSERT_EQ(block.size(), 259u);
  EXPECT_EQ(block[0], 0x0D);
  EXPECT_EQ(block[1], 0x81);
  EXPECT_EQ(0, std::memcmp(&block[2], data, 256));
  EXPECT_EQ(block[258], 0x00);
}

TEST(CommandBytes, DirectMessages) {
  EXPECT_EQ(bytes_of(commands::identify_usb(0x01020304)),
            (Bytes{0x04, 0x03, 0x02, 0x01, 0x12, 0x00, 0x00, 0x00}));
  EXPECT_EQ(bytes_of(commands::identify_lan(7)), (Bytes{7, 0, 0, 0, 0x12, 0x00}));
  EXPECT_EQ(bytes_of(commands::start_message(0x100, commands::kLinkTcp, 0x0B)),
            (Bytes{0x00, 0x01, 0, 0, 0x15, 0x01, 0x0B}));
  EXPECT_EQ(bytes_of(commands::stop_lan(9, commands::kLinkUdp)),
            (Bytes{9, 0, 0, 0, 0x16, 0x00, 0x00}));
  Bytes stop = bytes_of(commands::stop_usb(0xA0B0C0D0));
  ASSERT_EQ(stop.size(), 8u);
  EXPECT_EQ(Bytes(stop.begin(), stop.begin() + 7),
            (Bytes{0xD0, 0xC0, 0xB0, 0xA0, 0x16, 0x02, 0x00}));
}

// ---------------------------------------------------------------------------------------------
// Routing

class Routing : public ::testing::Test {
 protected:
  void SetUp() override {
    usb::destroy_queues();
    usb::create_queues();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0);
    usb::g_link.handle = nullptr;
    lan::g_lan.tcp_socket = lan::kNoSocket;
  }
  void TearDown() override {
    usb::g_link.handle = nullptr;
    lan::g_lan.tcp_socket = lan::kNoSocket;
    usb::destroy_queues();
    ::close(pair_[0]);
    ::close(pair_[1]);
  }
  void usb_up() { usb::g_link.handle = &device_; }
  void lan_up() { lan::g_lan.tcp_socket = pair_[0]; }
  size_t usb_len() { return usb::queue_length(usb::usb_queue()); }
  size_t lan_len() { return usb::queue_length(usb::lan_queue()); }

  int device_ = 0;
  int pair_[2] = {-1, -1};
};

TEST_F(Routing, NoLinkDropsEverything) {
  using commands::Route;
  EXPECT_FALSE(commands::send(commands::clock(125)));
  EXPECT_FALSE(commands::send(commands::clock(125), Route::kUsbOnly));
  EXPECT_FALSE(commands::send(commands::clock(125), Route::kLanOnly));
  EXPECT_FALSE(commands::send(commands::clock(125), Route::kAnyLink, commands::kScrollBarCap));
  EXPECT_EQ(usb_len(), 0u);
  EXPECT_EQ(lan_len(), 0u);
}

TEST_F(Routing, ChoosesTheLinkByRoute) {
  using commands::Route;
  usb_up();
  EXPECT_TRUE(commands::send(commands::clock(100)));
  EXPECT_TRUE(commands::send(commands::clock(101), Route::kUsbOnly));
  EXPECT_FALSE(commands::send(commands::clock(102), Route::kLanOnly));
  EXPECT_EQ(usb_len(), 2u);
  EXPECT_EQ(lan_len(), 0u);

  lan_up();  // both links: USB is preferred
  EXPECT_TRUE(commands::send(commands::clock(103)));
  EXPECT_TRUE(commands::send(commands::clock(104), Route::kLanOnly));
  EXPECT_EQ(usb_len(), 3u);
  EXPECT_EQ(lan_len(), 1u);

  usb::g_link.handle = nullptr;  // LAN only
  EXPECT_TRUE(commands::send(commands::clock(105)));
  EXPECT_FALSE(commands::send(commands::clock(106), Route::kUsbOnly));
  EXPECT_EQ(usb_len(), 3u);
  EXPECT_EQ(lan_len(), 2u);
  {
    std::lock_guard<std::mutex> lock(usb::lan_queue().lock);
    EXPECT_EQ(usb::lan_queue().entries.back(), commands::clock(105));
  }
}

TEST_F(Routing, QueuesAfterCloseDropUntilCreatedAgain) {
  usb_up();
  lan_up();
  EXPECT_TRUE(commands::send(commands::clock(100)));
  usb::destroy_queues();
  EXPECT_EQ(usb_len(), 0u);
  EXPECT_FALSE(commands::send(commands::clock(100)));
  EXPECT_FALSE(commands::send(commands::clock(100), commands::Route::kLanOnly));
  usb::create_queues();
  EXPECT_TRUE(commands::send(commands::clock(100)));
  EXPECT_EQ(usb_len(), 1u);
}

TEST_F(Routing, CapsCountTheChosenQueue) {
  usb_up();
  lan_up();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(commands::send(commands::clock(70)));
  // Four waiting: a scroll-bar command is queued as the fifth; with five it is dropped.
  EXPECT_TRUE(commands::send(commands::front_end(1, 3, 0), commands::Route::kAnyLink,
                             commands::kScrollBarCap));
  EXPECT_FALSE(commands::send(commands::front_end(1, 4, 0), commands::Route::kAnyLink,
                              commands::kScrollBarCap));
  // The full USB queue does not push the command to the LAN.
  EXPECT_EQ(lan_len(), 0u);
  // The mix send in Diversity: fewer than 6 waiting.
  EXPECT_TRUE(commands::send(commands::mix(1, 2), commands::Route::kAnyLink, commands::kMixCap));
  EXPECT_FALSE(commands::send(commands::mix(1, 2), commands::Route::kAnyLink, commands::kMixCap));
  EXPECT_EQ(usb_len(), 6u);
  // Uncapped producers are not limited.
  EXPECT_TRUE(commands::send(commands::clock(70)));
  EXPECT_EQ(usb_len(), 7u);
}

// ---------------------------------------------------------------------------------------------
// USB drain and reply records, against a bridge library loaded by the real loader

ReplyRecord ack(uint32_t sequence, uint32_t word = 0x00) {
  return {word, sequence};
}

class Transmit : public ::testing::Test {
 protected:
  void SetUp() override {
    usb::destroy_queues();
    usb::create_queues();
    cmdbridge_reset();
    bridge::Handle h = nullptr;
    ASSERT_EQ(bridge::open_by_description(&h), bridge::kOk) << "bridge library not loaded";
    ASSERT_NE(h, nullptr);
    usb::g_link.handle = h;
    // As the stream task leaves it when its transfers are queued.
    usb::UsbTransmit& tx = usb::g_usb_tx;
    tx.send_ready = 1;
    tx.write_status = usb::kWriteIdle;
    tx.wait_counter = 0;
    tx.pacing = 1;
    usb::set_command_outcome(0);
    lan::g_lan.tcp_socket = lan::kNoSocket;
    lan::g_lan.udp_socket = lan::kNoSocket;
  }
  void TearDown() override {
    usb::g_link.handle = nullptr;
    usb::destroy_queues();
    lan::g_lan.tcp_socket = lan::kNoSocket;
    lan::g_lan.udp_socket = lan::kNoSocket;
  }

  // One drain call, as after a complete transfer carrying these records.
  static void drain(std::initializer_list<ReplyRecord> records = {}) {
    static usb::ReplyBatch batch;
    batch.count = 0;
    for (const ReplyRecord& r : records) batch.records[batch.count++] = r;
    usb::usb_drain(batch);
  }
  static void queue(Bytes entry) { ASSERT_TRUE(usb::append(usb::usb_queue(), std::move(entry))); }
  static size_t queued() { return usb::queue_length(usb::usb_queue()); }
  static size_t writes() { return cmdbridge_writes(); }
  static Bytes write(size_t i) {
    uint8_t buf[512];
    size_t n = cmdbridge_write(i, buf, sizeof buf);
    return Bytes(buf, buf + std::min(n, sizeof buf));
  }
  static uint32_t sequence_of(size_t i) { return le32(write(i).data()); }
  static Bytes payload(size_t i) {
    Bytes m = write(i);
    return Bytes(m.begin() + 4, m.end());
  }
};

TEST_F(Transmit, UnacknowledgedCommandIsSentThreeTimesThenGivenUp) {
  queue(commands::clock(125));
  queue(commands::front_end(commands::kItemAtt1, 5, 0));
  std::vector<int> sent_on;
  for (int call = 1; call <= 11; ++call) {
    size_t before = writes();
    drain();
    if (writes() > before) sent_on.push_back(call);
    if (call == 9) {
      EXPECT_EQ(queued(), 2u);
      EXPECT_EQ(usb::g_command_outcome.load(), 0);
    }
    if (call == 10) {
      EXPECT_EQ(queued(), 1u);
      EXPECT_EQ(usb::g_command_outcome.load(), 2);
    }
  }
  EXPECT_EQ(sent_on, (std::vector<int>{1, 4, 7, 11}));
  ASSERT_EQ(writes(), 4u);
  // A 4-byte entry goes as 8 bytes: header, three command bytes, the count before this
  // transmission; every transmission under a new sequence.
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(payload(i), (Bytes{0xF2, 0x7D, 0x00, uint8_t(i)}));
    if (i > 0) {
      EXPECT_EQ(sequence_of(i), sequence_of(i - 1) + 1);
    }
  }
  // A 5-byte entry goes as 12 bytes with three fill bytes.
  EXPECT_EQ(payload(3), (Bytes{0xF5, 0x01, 0x05, 0x00, 0x00, 0, 0, 0}));
  EXPECT_EQ(sequence_of(3), sequence_of(2) + 1);
  EXPECT_EQ(sequence_of(3), usb::g_usb_tx.queue_sequence.load());
}

TEST_F(Transmit, PacingFactorStretchesTheWait) {
  usb::g_usb_tx.pacing = 6;  // resend on the 13th call after a transmission
  queue(commands::clock(80));
  std::vector<int> sent_on;
  int removed_on = 0;
  for (int call = 1; call <= 40 && removed_on == 0; ++call) {
    size_t before = writes();
    drain();
    if (writes() > before) sent_on.push_back(call);
    if (queued() == 0) removed_on = call;
  }
  EXPECT_EQ(sent_on, (std::vector<int>{1, 14, 27}));
  EXPECT_EQ(removed_on, 40);
}

TEST_F(Transmit, AcknowledgementLetsTheNextCommandGoInTheSameCall) {
  queue(commands::clock(100));
  queue(commands::clock(101));
  queue(commands::clock(102));
  drain();
  ASSERT_EQ(writes(), 1u);
  // Repeated records echoing one sequence remove one entry only.
  uint32_t s = sequence_of(0);
  drain({ack(s, 0xF2 | 100 << 8), ack(s)});
  ASSERT_EQ(writes(), 2u);
  EXPECT_EQ(payload(1), (Bytes{0xF2, 101, 0x00, 0x00}));
  EXPECT_EQ(queued(), 2u);
  EXPECT_EQ(usb::g_usb_tx.last_acknowledged.load(), s);
  EXPECT_EQ(usb::g_status.clock_echo.load(), 100u);
}

TEST_F(Transmit, AcknowledgementOfAnOlderSequenceRemovesNothing) {
  queue(commands::clock(100));
  queue(commands::clock(101));
  for (int call = 1; call <= 4; ++call) drain();
  ASSERT_EQ(writes(), 2u);  // sent, then resent on call 4
  drain({ack(sequence_of(0))});
  EXPECT_EQ(queued(), 2u);
  EXPECT_EQ(writes(), 2u);
  drain({ack(sequence_of(1))});
  EXPECT_EQ(queued(), 1u);
  ASSERT_EQ(writes(), 3u);
  EXPECT_EQ(payload(2), (Bytes{0xF2, 101, 0x00, 0x00}));
}

TEST_F(Transmit, LateAcknowledgementAfterGiveUpKeepsTheUnsentNextEntry) {
  queue(commands::clock(100));
  queue(commands::clock(101));
  for (int call = 1; call <= 10; ++call) drain();
  ASSERT_EQ(writes(), 3u);
  ASSERT_EQ(queued(), 1u);
  uint32_t last = sequence_of(2);
  // The receiver's answer to the given-up command's last transmission arrives late. It must not
  // take the next command, which has not been sent yet.
  drain({ack(last)});
  EXPECT_EQ(queued(), 1u);
  ASSERT_EQ(writes(), 4u);
  EXPECT_EQ(payload(3), (Bytes{0xF2, 101, 0x00, 0x00}));
  drain({ack(last)});
  EXPECT_EQ(queued(), 1u);
  drain({ack(sequence_of(3))});
  EXPECT_EQ(queued(), 0u);
}

TEST_F(Transmit, PendingWriteHoldsBackTheNextCommand) {
  cmdbridge_set_write_status(bridge::kPending);
  cmdbridge_set_poll_status(bridge::kPending);
  queue(commands::clock(100));
  queue(commands::clock(101));
  drain();
  ASSERT_EQ(writes(), 1u);
  EXPECT_EQ(usb::g_usb_tx.write_status.load(), usb::kWritePending);
  // Acknowledged, but the write has not finished: nothing more goes out.
  drain({ack(sequence_of(0))});
  EXPECT_EQ(queued(), 1u);
  for (int call = 0; call < 10; ++call) drain();
  EXPECT_EQ(writes(), 1u);
  EXPECT_GE(cmdbridge_polls(), 11);
  // The write completes; the message it read until then is the one handed over.
  cmdbridge_set_poll_status(bridge::kOk);
  drain();
  ASSERT_EQ(writes(), 2u);
  EXPECT_EQ(payload(1), (Bytes{0xF2, 101, 0x00, 0x00}));
  uint8_t done[16];
  ASSERT_EQ(cmdbridge_completed(0, done, sizeof done), 8u);
  EXPECT_EQ(Bytes(done, done + 8), write(0));
}

TEST_F(Transmit, FailedWritesCountAsTransmissions) {
  cmdbridge_set_write_status(6);
  queue(commands::clock(100));
  for (int call = 1; call <= 3; ++call) drain();
  ASSERT_EQ(writes(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(payload(i).back(), uint8_t(i));
  EXPECT_EQ(usb::g_usb_tx.write_status.load(), usb::kWriteIdle);
  drain();
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(usb::g_command_outcome.load(), 2);

  // A failed completion of a pending write frees the link the same way.
  cmdbridge_set_write_status(bridge::kPending);
  cmdbridge_set_poll_status(6);
  queue(commands::clock(101));
  drain();
  drain();
  ASSERT_EQ(writes(), 5u);
  EXPECT_EQ(payload(4), (Bytes{0xF2, 101, 0x00, 0x01}));
}

TEST_F(Transmit, NothingMovesWhileTheLinkIsDown) {
  queue(commands::clock(100));
  usb::g_usb_tx.write_status = usb::kWriteLinkDown;
  usb::g_usb_tx.send_ready = 0;
  for (int call = 0; call < 20; ++call) drain();
  EXPECT_EQ(writes(), 0u);
  EXPECT_EQ(queued(), 1u);

  usb::g_usb_tx.write_status = usb::kWriteIdle;
  usb::g_link.handle = nullptr;
  for (int call = 0; call < 20; ++call) drain({{0x1234F1, 0}});
  EXPECT_EQ(writes(), 0u);
  EXPECT_EQ(queued(), 1u);
  EXPECT_EQ(usb::g_status.device_status.load(), 0x1234F1u);  // replies still count
}

TEST_F(Transmit, LongEntryIsCutAt262Bytes) {
  Bytes entry(300);
  for (size_t i = 0; i < entry.size(); ++i) entry[i] = uint8_t(i * 7 + 1);
  entry[261] = 0;  // the 262nd byte acts as the count
  queue(entry);
  drain();
  Bytes m = write(0);
  ASSERT_EQ(m.size(), 268u);
  EXPECT_EQ(Bytes(m.begin() + 4, m.begin() + 266), Bytes(entry.begin(), entry.begin() + 262));
  EXPECT_EQ(m[266], 0);
  EXPECT_EQ(m[267], 0);
  std::lock_guard<std::mutex> lock(usb::usb_queue().lock);
  ASSERT_EQ(usb::usb_queue().entries.front().size(), 300u);
  EXPECT_EQ(usb::usb_queue().entries.front()[261], 1);
  EXPECT_EQ(usb::usb_queue().entries.front()[299], entry[299]);
}

TEST_F(Transmit, CloseForgetsTheCommandInFlight) {
  queue(commands::clock(100));
  drain();
  uint32_t s = sequence_of(0);
  usb::destroy_queues();
  usb::create_queues();
  queue(commands::clock(101));
  drain({ack(s)});  // an answer from before the close
  EXPECT_EQ(queued(), 1u);
}

TEST(UsbFraming, FillsToAMultipleOfFour) {
  uint8_t out[usb::kUsbMessageMax];
  const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 0};
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(usb::frame_usb_message(0x11223344, eight, 8, out), 12u);
  EXPECT_EQ(Bytes(out, out + 12), (Bytes{0x44, 0x33, 0x22, 0x11, 1, 2, 3, 4, 5, 6, 7, 0}));
  EXPECT_EQ(usb::frame_usb_message(1, eight, 5, out), 12u);
  EXPECT_EQ(Bytes(out + 4, out + 12), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
}

// ---------------------------------------------------------------------------------------------
// Reply records

class Replies : public Transmit {
 protected:
  // Put one command in flight and return its sequence.
  uint32_t in_flight() {
    queue(commands::clock(90));
    size_t before = writes();
    drain();
    EXPECT_EQ(writes(), before + 1);
    return sequence_of(before);
  }
  static void parse(std::initializer_list<ReplyRecord> records, usb::Link link = usb::Link::kUsb) {
    std::vector<ReplyRecord> v(records);
    usb::parse_replies(v.data(), uint32_t(v.size()), link);
  }
  static void reset_status() {
    usb::g_status.device_status = 0;
    usb::g_status.clock_echo = 125;
    for (auto& e : usb::g_status.settings_echo) e = 0xDEAD;
    usb::g_status.ip_error = 0;
  }
};

TEST_F(Replies, StatusRecordNeverAcknowledges) {
  reset_status();
  uint32_t s = in_flight();
  parse({{0xC019F6F1, s}});
  EXPECT_EQ(usb::g_status.device_status.load(), 0xC019F6F1u);
  EXPECT_EQ(queued(), 1u);
  parse({{0x77, s}});  // unknown code: nothing
  EXPECT_EQ(queued(), 1u);
  parse({ack(s, 0x00)});
  EXPECT_EQ(queued(), 0u);
}

TEST_F(Replies, BatchOfElevenIsIgnoredAndOfTenApplied) {
  reset_status();
  uint32_t s = in_flight();
  std::vector<ReplyRecord> batch = {{0xF2 | 111u << 8, s},
                                    {0xF5 | 1u << 8 | 0x0105u << 16, 0},
                                    {0xF5 | 2u << 8 | 7u << 16, 0},
                                    {0xF5 | 3u << 8 | 200u << 16, 0},
                                    {0xF5 | 4u << 8 | 0xB2u << 16, 0},
                                    {0xF5 | 0u << 8 | 0xD8F1u << 16, 0},
                                    {0x0C | 0x5Au << 8, 0},
                                    {0xB0 | 0x0Au << 8 | 1u << 16, 0},
                                    {0x0001F0F1, 0},
                                    {0x00, 0}};
  ASSERT_EQ(batch.size(), 10u);
  batch.push_back({0x00, s});
  usb::parse_replies(batch.data(), 11, usb::Link::kUsb);
  EXPECT_EQ(queued(), 1u);
  EXPECT_EQ(usb::g_status.clock_echo.load(), 125u);
  EXPECT_EQ(usb::g_status.settings_echo[1].load(), 0xDEADu);
  EXPECT_EQ(usb::g_status.device_status.load(), 0u);
  EXPECT_EQ(usb::g_status.ip_error.load(), 0);
  EXPECT_EQ(usb::g_command_outcome.load(), 0);

  usb::parse_replies(batch.data(), 10, usb::Link::kUsb);
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(usb::g_status.clock_echo.load(), 111u);
  EXPECT_EQ(usb::g_status.settings_echo[0].load(), 0xD8F1u);
  EXPECT_EQ(usb::g_status.settings_echo[1].load(), 0x0105u);
  EXPECT_EQ(usb::g_status.settings_echo[2].load(), 7u);
  EXPECT_EQ(usb::g_status.settings_echo[3].load(), 200u);
  EXPECT_EQ(usb::g_status.settings_echo[4].load(), 0xB2u);
  EXPECT_EQ(usb::g_status.device_status.load(), 0x0001F0F1u);
  EXPECT_EQ(usb::g_status.ip_error.load(), 1);
  EXPECT_EQ(usb::g_command_outcome.load(), 0x5A);

  usb::parse_replies(batch.data(), 0, usb::Link::kUsb);  // an empty batch is no batch
}

TEST_F(Replies, FrontEndItemsFiveToSevenOnlyAcknowledge) {
  for (uint32_t item : {5u, 6u, 7u, 13u, 15u}) {
    reset_status();
    uint32_t s = in_flight();
    parse({{0xF5 | item << 8 | 0x1234u << 16, s}});
    EXPECT_EQ(queued(), 0u) << item;
    for (auto& e : usb::g_status.settings_echo) EXPECT_EQ(e.load(), 0xDEADu) << item;
    EXPECT_EQ(usb::g_status.ip_error.load(), 0) << item;  // nothing written past the table
  }
  // Only bits 8-10 carry the item: 0xFB is item 3.
  reset_status();
  parse({{0xABCDFBF5, 0}});
  EXPECT_EQ(usb::g_status.settings_echo[3].load(), 0xABCDu);
}

TEST_F(Replies, FirmwareAndAddressRecords) {
  reset_status();
  uint32_t s = in_flight();
  parse({{0xFFFFFF0D, s}});
  EXPECT_EQ(usb::g_command_outcome.load(), 0xFFFFFF);
  EXPECT_EQ(queued(), 0u);
  parse({{0x12345A0C, 0}});
  EXPECT_EQ(usb::g_command_outcome.load(), 0x12345A);

  parse({{0x00000AB0, 0}, {0x00FF09B0, 0}, {0xFF000AB0, 0}});
  EXPECT_EQ(usb::g_status.ip_error.load(), 0);
  s = in_flight();
  parse({{0x00800AB0, s}});
  EXPECT_EQ(usb::g_status.ip_error.load(), 1);
  EXPECT_EQ(queued(), 0u);
}

TEST_F(Replies, StreamSetupAnswerClosesTheLanStreamSocket) {
  int udp[2], tcp[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, udp), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, tcp), 0);
  lan::g_lan.udp_socket = udp[0];
  lan::g_lan.tcp_socket = tcp[0];
  char c;

  uint32_t s = in_flight();
  parse({{0x00B4, s}});  // byte 1 zero: nothing closed, still an acknowledgement
  EXPECT_EQ(lan::g_lan.udp_socket.load(), udp[0]);
  EXPECT_EQ(queued(), 0u);

  parse({{0x01B4, 0}});  // the UDP socket first
  EXPECT_EQ(lan::g_lan.udp_socket.load(), lan::kNoSocket);
  EXPECT_EQ(lan::g_lan.tcp_socket.load(), tcp[0]);
  EXPECT_EQ(::read(udp[1], &c, 1), 0);

  parse({{0xFFB4, 0}});  // then the TCP socket
  EXPECT_EQ(lan::g_lan.tcp_socket.load(), lan::kNoSocket);
  EXPECT_EQ(::read(tcp[1], &c, 1), 0);

  parse({{0x01B4, 0}});  // nothing left to close
  ::close(udp[1]);
  ::close(tcp[1]);
}

TEST_F(Replies, WireBatchesAreReadWithinTheirBytes) {
  reset_status();
  uint32_t s = in_flight();
  uint8_t wire[4 + 3 * 8] = {};
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) wire[at + i] = uint8_t(v >> (8 * i));
  };
  put(0, 3);
  put(4, 0xF2 | 99 << 8);
  put(8, 0);
  put(12, 0x00);
  put(16, s);
  put(20, 0x44F1);
  put(24, 0);
  // The count promises three records but the bytes hold two and a half: ignored whole.
  usb::parse_reply_bytes(wire, sizeof wire - 1, usb::Link::kUsb);
  EXPECT_EQ(usb::g_status.clock_echo.load(), 125u);
  EXPECT_EQ(queued(), 1u);
  usb::parse_reply_bytes(wire, sizeof wire, usb::Link::kUsb);
  EXPECT_EQ(usb::g_status.clock_echo.load(), 99u);
  EXPECT_EQ(usb::g_status.device_status.load(), 0x44F1u);
  EXPECT_EQ(queued(), 0u);
}

TEST_F(Replies, LanAcknowledgesItsOwnTransmission) {
  uint8_t buf[usb::kMaxCommandBytes];
  size_t n = 0;
  uint32_t s = 0;
  ASSERT_TRUE(usb::append(usb::lan_queue(), commands::clock(100)));
  ASSERT_TRUE(usb::append(usb::lan_queue(), commands::clock(101)));
  ASSERT_EQ(usb::take_front(usb::lan_queue(), usb::g_command_sequence, buf, &n, &s),
            usb::FrontAction::kSend);
  EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0xF2, 100, 0x00, 0x00}));
  lan::g_lan_tx.send_idle = 0;
  // A direct message draws the next sequence in between; the answer still matches.
  (void)usb::next_sequence();
  uint32_t s_usb = in_flight();
  parse({ack(s + 1)}, usb::Link::kLan);
  EXPECT_EQ(usb::queue_length(usb::lan_queue()), 2u);
  parse({ack(s)}, usb::Link::kLan);
  EXPECT_EQ(usb::queue_length(usb::lan_queue()), 1u);
  EXPECT_EQ(lan::g_lan_tx.send_idle.load(), 1);
  EXPECT_EQ(lan::g_lan_tx.last_acknowledged.load(), s);
  EXPECT_EQ(queued(), 1u);  // the USB queue is untouched by LAN answers
  parse({ack(s_usb)});
  EXPECT_EQ(queued(), 0u);
}

TEST_F(Replies, RandomBytesNeverBreakTheParser) {
  std::mt19937 rng(4711);
  static const uint8_t kCodes[] = {0xF1, 0xF2, 0xF5, 0x0C, 0x0D, 0xB0, 0xB4, 0x00, 0x5A, 0xFF};
  uint8_t buf[200];
  uint8_t out[usb::kMaxCommandBytes];
  size_t removed = 0;
  for (int round = 0; round < 20000; ++round) {
    // Keep a command in flight on each link so that acknowledgements have something to take.
    for (usb::CommandQueue* q : {&usb::usb_queue(), &usb::lan_queue()}) {
      if (usb::queue_length(*q) < 3) usb::append(*q, commands::clock(uint8_t(rng())));
      size_t n;
      uint32_t s;
      if (rng() % 4 == 0) usb::take_front(*q, usb::g_command_sequence, out, &n, &s);
    }
    size_t size = rng() % sizeof buf;
    for (size_t i = 0; i < size; ++i) buf[i] = uint8_t(rng());
    if (size >= 4 && rng() % 2) {
      uint32_t count = rng() % 13;
      std::memcpy(buf, &count, 4);
      for (uint32_t r = 0; r < count && 4 + 8 * r < size; ++r) {
        buf[4 + 8 * r] = kCodes[rng() % sizeof kCodes];
        if (rng() % 3 && 8 + 8 * r + 4 <= size) {
          uint32_t s = usb::g_command_sequence.load() - rng() % 3;
          std::memcpy(buf + 8 + 8 * r, &s, 4);
        }
      }
    }
    usb::Link link = rng() % 2 ? usb::Link::kLan : usb::Link::kUsb;
    usb::CommandQueue& q = link == usb::Link::kUsb ? usb::usb_queue() : usb::lan_queue();
    size_t before = usb::queue_length(q);
    usb::parse_reply_bytes(size ? buf : nullptr, size, link);
    usb::parse_reply_bytes(buf, size, link);
    // Two batches take at most one entry each.
    size_t after = usb::queue_length(q);
    ASSERT_LE(after, before);
    ASSERT_LE(before - after, 2u);
    removed += before - after;
  }
  EXPECT_GT(removed, 1000u);  // the acknowledgement path was exercised
  EXPECT_EQ(lan::g_lan.udp_socket.load(), lan::kNoSocket);
}

TEST_F(Transmit, ProducersAndTheStreamTaskShareTheQueue) {
  constexpr int kCommands = 300;
  std::atomic<bool> producing{true};
  std::vector<Bytes> received;
  std::thread task([&] {
    size_t seen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((producing || queued() > 0) && std::chrono::steady_clock::now() < deadline) {
      static usb::ReplyBatch batch;
      batch.count = 0;
      size_t w = writes();
      if (w > seen) {
        Bytes m = write(w - 1);
        received.emplace_back(m.begin() + 4, m.begin() + 9);
        batch.records[batch.count++] = ack(le32(m.data()));
        seen = w;
      }
      usb::usb_drain(batch);
    }
  });
  for (int i = 0; i < kCommands; ++i) {
    ASSERT_TRUE(commands::send(commands::front_end(1, uint8_t(i), uint8_t(i >> 8))));
    if (i % 16 == 0) std::this_thread::yield();
  }
  producing = false;
  task.join();
  ASSERT_EQ(received.size(), size_t(kCommands));
  for (int i = 0; i < kCommands; ++i)
    EXPECT_EQ(received[i], (Bytes{0xF5, 1, uint8_t(i), uint8_t(i >> 8), 0})) << i;
}

// ---------------------------------------------------------------------------------------------
// Sockets layer

TEST(Net, CleanupOnlyUndoesStarts) {
  while (net::started() > 0) net::cleanup();
  net::cleanup();
  EXPECT_EQ(net::started(), 0);
  EXPECT_TRUE(net::startup());
  EXPECT_TRUE(net::startup());
  EXPECT_EQ(net::started(), 2);
  net::cleanup();
  net::cleanup();
  net::cleanup();
  EXPECT_EQ(net::started(), 0);
}

TEST(Net, ShutdownAndClose) {
  EXPECT_FALSE(net::is_valid(net::kNoSocket));
  EXPECT_NE(net::close(net::kNoSocket), 0);
  EXPECT_NE(net::shutdown_both(net::kNoSocket), 0);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_EQ(net::shutdown_both(pair[0]), 0);
  char c;
  EXPECT_EQ(::read(pair[1], &c, 1), 0);
  EXPECT_EQ(net::close(pair[0]), 0);
  EXPECT_EQ(fcntl(pair[0], F_GETFD), -1);
  ::close(pair[1]);
}

}  // namespace
