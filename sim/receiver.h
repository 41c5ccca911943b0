// The simulated receiver's control side: its settings, what every command does to them and the
// reply record each command is answered with. No transport and no locking: the owner (the USB
// side, or a LAN side) serialises calls.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace kmvsim {

// Command codes the receiver knows.
enum Code : uint8_t {
  kCodeFirmwareControl = 0x0C,
  kCodeFirmwareData = 0x0D,
  kCodeIdentify = 0x12,
  kCodeStart = 0x15,
  kCodeStop = 0x16,
  kCodeRegister = 0xB0,
  kCodeStreamSetup = 0xB4,
  kCodeStatus = 0xF1,
  kCodeClock = 0xF2,
  kCodeFrontEnd = 0xF5,
};

// Link byte of the start and stop messages.
enum Link : uint8_t { kLinkUdp = 0, kLinkTcp = 1, kLinkUsb = 2 };

struct ReplyRecord {
  uint32_t word = 0;   // code in bits 0-7
  uint32_t value = 0;  // the echoed command sequence for answers
};

// What a stream set-up format byte asks for.
struct StreamFormat {
  uint32_t decimation = 16;  // 2..64
  bool bits16 = false;
  bool dual = false;  // both channels, 16-bit word pairs
  int channel = 0;    // the channel of a single stream: 0 or 1

  static StreamFormat decode(uint8_t format);
  // Complex samples of one stream in a 4080-byte block payload.
  uint32_t samples_per_block() const { return dual ? 510 : bits16 ? 1020 : 680; }
  bool operator==(const StreamFormat&) const = default;
};

class Receiver {
 public:
  static constexpr uint32_t kDefaultSerial = 7;
  static constexpr uint32_t kDefaultVersion = 0x211;
  static constexpr uint32_t kDefaultClockMHz = 125;
  static constexpr uint32_t kDefaultFrequency = 10000000;
  static constexpr uint8_t kDefaultFormat = 0x03;  // one 24-bit stream, decimation 16
  static constexpr uint32_t kFullClearSize = 0x800000;
  static constexpr size_t kLogCapacity = 4096;

  // What a message asks of the link beyond its reply.
  enum class Event { None, StopUsb, StopLan, StartLan };

  struct Outcome {
    ReplyRecord replies[2];
    int count = 0;
    bool urgent = false;  // the identify answer: goes out before anything queued
    bool applied = false;
    Event event = Event::None;
  };

  struct Message {
    uint32_t sequence = 0;
    std::vector<uint8_t> bytes;  // after the sequence header, as written
  };

  Receiver() { reset(); }
  // Power-on state: settings, identity, status, reply faults, firmware memory and log.
  void reset();

  // One message as written by the host: 4-byte little-endian sequence, then the command bytes
  // (padding allowed). Logged, applied and answered.
  Outcome handle(const uint8_t* message, size_t length);
  // Log a message that reached the receiver without being acted on.
  void log_only(const uint8_t* message, size_t length);

  // Settings as applied.
  uint32_t clock_mhz = kDefaultClockMHz;
  uint8_t usb_format = kDefaultFormat;
  uint8_t lan_format = kDefaultFormat;
  uint8_t mode = 1;
  std::array<uint32_t, 2> frequency{};
  std::array<uint32_t, 8> frontend{};  // byte 2 | byte 3 << 8 of each front-end item
  uint32_t mix = 0;
  uint32_t address = 0;

  // Identity and status.
  uint32_t serial = kDefaultSerial;
  uint32_t version = kDefaultVersion;
  int32_t temperature = 25;
  int32_t gps = 0;
  bool overload[2] = {false, false};
  uint32_t status_word() const;

  // Reply faults.
  std::bitset<256> withheld;
  bool reject_address = false;

  StreamFormat usb_stream() const { return StreamFormat::decode(usb_format); }
  // Per-stream sample rate in Hz of a format at the current clock.
  double stream_rate(const StreamFormat& f) const { return clock_mhz * 1e6 / f.decimation; }
  // Linear gain of a channel's attenuator (position 7 is 0 dB; coupled channels share channel 1's).
  double gain(int channel) const;

  // Firmware memory: the image being assembled since the last sized clear.
  uint32_t firmware_size = 0;
  std::vector<uint8_t> firmware_image;

  // Firmware protocol (receiver_firmware.cpp). Answers are numbered from the last clear: 0 is the
  // clear's own, 1..n the data blocks in the order taken, n + 1 the final status.
  enum class FirmwareFault : uint32_t {
    kNone = 0,
    kError = 1,         // the answer becomes status 6
    kWrongSum = 2,      // the answer carries the running sum plus one
    kSilent = 3,        // from that answer on, commands are only accepted (record 0x00), with
                        // no status, until the next clear
    kPrematureEnd = 4,  // a block is answered with status 0 and the right sum
    kHang = 5,          // like kSilent, but clears stay without status too, until changed
  };
  // The clears take this long; with a delay the command is acknowledged at once (record 0x00)
  // and the status record follows once the delay is over.
  void set_firmware_clear_delay(uint32_t ms) { firmware_delay_ms_ = ms; }
  // One fault at a time; it is spent at the first clear after it struck (kHang: never).
  void set_firmware_fault(FirmwareFault fault, uint32_t answer);
  // A delayed answer that is due at now_ns (steady clock), taken off the list.
  bool take_firmware_reply(int64_t now_ns, ReplyRecord& out);
  // When the next delayed answer is due (steady clock, ns), or -1 when none waits.
  int64_t firmware_reply_due_ns() const;
  uint32_t firmware_blocks_taken() const { return firmware_received_; }
  uint16_t firmware_sum() const { return firmware_sum_; }
  uint32_t firmware_sized_clears = 0;
  uint32_t firmware_full_clears = 0;
  uint32_t firmware_withheld = 0;  // answers a fault kept back

  const std::deque<Message>& log() const { return log_; }
  void clear_log() { log_.clear(); }

 private:
  void remember(uint32_t sequence, const uint8_t* bytes, size_t length);
  void reply(Outcome& o, uint32_t word, uint32_t value) const;
  void firmware_control(Outcome& o, uint32_t sequence, const uint8_t* cmd);
  void firmware_data(Outcome& o, uint32_t sequence, const uint8_t* cmd);
  void firmware_reset();
  // What a fault makes of answer `number` (word as it would go); false when it is withheld.
  bool firmware_faulted(uint32_t number, uint32_t& word);

  uint32_t firmware_blocks_ = 0;    // blocks the sized clear announced
  uint32_t firmware_received_ = 0;  // distinct blocks taken
  uint16_t firmware_sum_ = 0;
  int last_block_byte_ = -1;  // sequence byte of the last block taken (repeats are not added)
  uint32_t firmware_delay_ms_ = 0;
  FirmwareFault firmware_fault_ = FirmwareFault::kNone;
  uint32_t firmware_fault_at_ = 0;
  bool firmware_fault_struck_ = false;
  bool firmware_quiet_ = false;  // a silence struck: nothing more is answered until a clear
  struct DelayedReply {
    int64_t due_ns;
    ReplyRecord record;
  };
  std::deque<DelayedReply> firmware_delayed_;
  std::deque<Message> log_;
};

}  // namespace kmvsim
