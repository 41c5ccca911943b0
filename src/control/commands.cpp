#include "control/commands.h"

#include <cstring>

#include "lan/lan_tasks.h"
#include "platform/net.h"
#include "usb/device_link.h"

namespace commands {

namespace {

void put_le32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

enum class Append { kNoQueue, kCapped, kAppended };

Append try_append(usb::CommandQueue& q, CommandEntry& entry, std::optional<size_t> cap) {
  std::lock_guard<std::mutex> guard(q.lock);
  if (!q.exists) return Append::kNoQueue;
  if (cap && q.entries.size() > *cap) return Append::kCapped;
  q.entries.push_back(std::move(entry));
  return Append::kAppended;
}

}  // namespace

uint8_t mode_byte(ChannelMode mode) {
  switch (mode) {
    case ChannelMode::kParallel:
      return 1;
    case ChannelMode::kDiversity:
      return 3;
    case ChannelMode::kSeriellUp:
      return 10;  // the Seriell code 2 with bit 0x08
    case ChannelMode::kSeriellLow:
      return 2;
    case ChannelMode::kSeparate:
      return 0;
  }
  return 0;
}

CommandEntry front_end(uint8_t item, uint8_t byte2, uint8_t byte3) {
  return {kFrontEnd, item, byte2, byte3, 0};
}

CommandEntry front_end_value(uint8_t item, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  return front_end(item, uint8_t(v), uint8_t(v >> 8));
}

uint8_t input_flags_byte(const InputFlags& f) {
  uint8_t b = 0;
  if (f.seriell) b |= 0x01;
  if (f.vhf1) b |= 0x02;
  if (f.hf2) b |= 0x04;
  if (f.antenna1_index != 0) b |= 0x08;
  if (f.antenna1_index >= 2) b |= 0x10;
  if (f.antenna2_index != 0) b |= 0x20;
  if (f.antenna2_index >= 2) b |= 0x40;
  if (f.preamp) b |= 0x80;
  return b;
}

CommandEntry clock(uint8_t mhz) {
  return {kClock, mhz, 0x00, 0};
}

uint8_t format_byte(bool stream1_on, bool stream2_on, uint8_t index1, uint8_t index2,
                    bool sixteen_bit) {
  uint8_t b = (stream2_on ? index2 : index1) & 0x07;
  if (stream1_on && stream2_on) {
    b |= 0x30;  // both streams: always 16-bit
  } else if (stream2_on) {
    b |= 0x08;
  }
  if (sixteen_bit) b |= 0x20;  // OR-ed: the dual pair already carries it
  return b;
}

CommandEntry stream_setup(uint8_t target, uint8_t format, uint8_t mode) {
  return {kStreamSetup, target, format, mode, 0};
}

CommandEntry register_value(uint8_t reg, uint32_t value) {
  CommandEntry e = {kRegister, reg, 0, 0, 0, 0, 0};
  put_le32(&e[2], value);
  return e;
}

CommandEntry mix(uint16_t magnitude, uint16_t phase) {
  return register_value(kRegMix, uint32_t(magnitude) | uint32_t(phase) << 16);
}

CommandEntry address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return {kRegister, kRegAddress, a, b, c, d, 0};
}

CommandEntry firmware_control(uint32_t parameter) {
  return {kFirmwareControl, uint8_t(parameter), uint8_t(parameter >> 8), uint8_t(parameter >> 16),
          2};
}

CommandEntry firmware_data(uint8_t sequence, const uint8_t* data) {
  CommandEntry e(2 + kFirmwareBlockBytes + 1, 0);
  e[0] = kFirmwareData;
  e[1] = sequence;
  if (data != nullptr) std::memcpy(&e[2], data, kFirmwareBlockBytes);
  return e;
}

std::array<uint8_t, 8> identify_usb(uint32_t sequence) {
  std::array<uint8_t, 8> m = {0, 0, 0, 0, kIdentify, 0x00, 0x00, 0x00};
  put_le32(m.data(), sequence);
  return m;
}

std::array<uint8_t, 6> identify_lan(uint32_t sequence) {
  std::array<uint8_t, 6> m = {0, 0, 0, 0, kIdentify, 0x00};
  put_le32(m.data(), sequence);
  return m;
}

std::array<uint8_t, 7> start_message(uint32_t sequence, uint8_t link, uint8_t size_code) {
  std::array<uint8_t, 7> m = {0, 0, 0, 0, kStart, link, size_code};
  put_le32(m.data(), sequence);
  return m;
}

std::array<uint8_t, 7> stop_lan(uint32_t sequence, uint8_t link) {
  std::array<uint8_t, 7> m = {0, 0, 0, 0, kStop, link, 0x00};
  put_le32(m.data(), sequence);
  return m;
}

std::array<uint8_t, 8> stop_usb(uint32_t sequence) {
  std::array<uint8_t, 8> m = {0, 0, 0, 0, kStop, kLinkUsb, 0x00, 0x00};
  put_le32(m.data(), sequence);
  return m;
}

bool send(CommandEntry entry, Route route, std::optional<size_t> cap) {
  if (route != Route::kLanOnly && usb::g_link.handle.load() != nullptr) {
    Append r = try_append(usb::usb_queue(), entry, cap);
    if (r != Append::kNoQueue) return r == Append::kAppended;
  }
  if (route == Route::kUsbOnly) return false;
  if (lan::commands_routable()) {
    return try_append(usb::lan_queue(), entry, cap) == Append::kAppended;
  }
  return false;
}

}  // namespace commands
