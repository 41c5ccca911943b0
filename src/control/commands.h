// The receiver's command set: one builder per command code, returning the exact bytes of a
// command entry (last byte = transmission count), the direct messages sent outside the queues,
// and the rule that chooses the queue.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "usb/command_queue.h"

namespace commands {

using usb::CommandEntry;

// Command codes.
constexpr uint8_t kFrontEnd = 0xF5;
constexpr uint8_t kClock = 0xF2;
constexpr uint8_t kStreamSetup = 0xB4;
constexpr uint8_t kRegister = 0xB0;
constexpr uint8_t kFirmwareControl = 0x0C;
constexpr uint8_t kFirmwareData = 0x0D;
constexpr uint8_t kIdentify = 0x12;
constexpr uint8_t kStart = 0x15;
constexpr uint8_t kStop = 0x16;

// Front-end items (byte 1 of a front-end command).
enum FrontEndItem : uint8_t {
  kItemGps = 0,
  kItemAtt1 = 1,
  kItemAtt2 = 2,
  kItemAntenna1 = 3,
  kItemAntenna2 = 4,
  kItemInputFlags = 5,
  kItemTuning1 = 6,
  kItemTuning2 = 7,
};

// Stream set-up targets.
enum StreamTarget : uint8_t { kTargetUsb = 1, kTargetLan = 2, kTargetModeOnly = 3 };

// Channel modes and the mode byte each one sends.
enum class ChannelMode { kParallel, kDiversity, kSeriellUp, kSeriellLow, kSeparate };
uint8_t mode_byte(ChannelMode mode);

// Registers of the register command.
enum Register : uint8_t {
  kRegFreq1 = 0,     // channel 1, Separate mode
  kRegFreq2 = 1,     // channel 2, Separate mode
  kRegFreqBoth = 2,  // both channels
  kRegMix = 9,       // magnitude word, phase word
  kRegAddress = 10,  // receiver IPv4 address
};

// Link byte of the start and stop messages.
enum StreamLink : uint8_t { kLinkUdp = 0, kLinkTcp = 1, kLinkUsb = 2 };

// 0xF5 with the two value bytes as given.
CommandEntry front_end(uint8_t item, uint8_t byte2, uint8_t byte3);
// 0xF5 with a 16-bit value (GPS, antenna tuning): low byte, then high byte; a negative value goes
// as its 16-bit two's complement.
CommandEntry front_end_value(uint8_t item, int32_t value);

// Byte 2 of front-end item 5.
struct InputFlags {
  bool seriell = false;    // Seriell Up or Seriell Low
  bool vhf1 = false;       // channel-1 input VHF
  bool hf2 = false;        // channel-2 input HF2
  int antenna1_index = 0;  // C_Ant1 selection: 0 Off, 1 supply only, 2+ named models
  int antenna2_index = 0;
  bool preamp = false;
};
uint8_t input_flags_byte(const InputFlags& flags);

// 0xF2: sample clock in MHz.
CommandEntry clock(uint8_t mhz);

// Byte 2 of a stream set-up for target 1 or 2. The decimation index (0..5 for 2..64) is stream
// 2's when it is on, else stream 1's.
uint8_t format_byte(bool stream1_on, bool stream2_on, uint8_t index1, uint8_t index2,
                    bool sixteen_bit);
// 0xB4.
CommandEntry stream_setup(uint8_t target, uint8_t format, uint8_t mode);

// 0xB0 with a 32-bit value.
CommandEntry register_value(uint8_t reg, uint32_t value);
// Register 9: magnitude and phase words.
CommandEntry mix(uint16_t magnitude, uint16_t phase);
// Register 10: octets in written order (a.b.c.d).
CommandEntry address(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

// 0x0C with a 24-bit parameter; created with count 2 so it goes out once.
CommandEntry firmware_control(uint32_t parameter);
// 0x0D: sequence byte and 256 data bytes.
constexpr size_t kFirmwareBlockBytes = 256;
CommandEntry firmware_data(uint8_t sequence, const uint8_t* data);

// Direct messages, sent with their sequence (the command sequence counter after incrementing).
std::array<uint8_t, 8> identify_usb(uint32_t sequence);
std::array<uint8_t, 6> identify_lan(uint32_t sequence);
std::array<uint8_t, 7> start_message(uint32_t sequence, uint8_t link, uint8_t size_code);
std::array<uint8_t, 7> stop_lan(uint32_t sequence, uint8_t link);
std::array<uint8_t, 8> stop_usb(uint32_t sequence);

// Which queue a command may take.
enum class Route { kAnyLink, kUsbOnly, kLanOnly };

// Caps: append only while the chosen queue holds at most this many entries.
constexpr size_t kScrollBarCap = 4;  // scroll-bar commands
constexpr size_t kMixCap = 5;        // mix send in Diversity: fewer than 6

// Queue `entry` on the link the route allows: USB when a device handle is open and the USB queue
// exists, else (any link) LAN when the TCP socket is open and the LAN queue exists. With a cap the
// count is read under the chosen queue's lock. Returns false when the entry was dropped.
bool send(CommandEntry entry, Route route = Route::kAnyLink,
          std::optional<size_t> cap = std::nullopt);

}  // namespace commands
