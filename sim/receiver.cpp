#include "receiver.h"

#include <algorithm>
#include <cmath>

namespace kmvsim {
namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Command bytes (transmission count included) a code needs; 0 for codes the receiver ignores.
size_t needed(uint8_t code) {
  switch (code) {
    case kCodeFrontEnd:
    case kCodeStreamSetup:
    case kCodeFirmwareControl:
      return 5;
    case kCodeClock:
      return 4;
    case kCodeRegister:
      return 7;
    case kCodeFirmwareData:
      return 259;
    case kCodeIdentify:
      return 2;
    case kCodeStart:
    case kCodeStop:
      return 3;
    default:
      return 0;
  }
}

}  // namespace

StreamFormat StreamFormat::decode(uint8_t format) {
  StreamFormat f;
  f.decimation = 2u << std::min<uint32_t>(format & 0x07, 5);
  f.dual = (format & 0x10) != 0;
  f.bits16 = f.dual || (format & 0x20) != 0;  // two streams only exist as 16-bit pairs
  f.channel = !f.dual && (format & 0x08) ? 1 : 0;
  return f;
}

void Receiver::reset() {
  clock_mhz = kDefaultClockMHz;
  usb_format = lan_format = kDefaultFormat;
  mode = 1;
  frequency = {kDefaultFrequency, kDefaultFrequency};
  frontend = {};
  frontend[1] = frontend[2] = 7;  // attenuators at 0 dB
  mix = 0;
  address = 0;
  serial = kDefaultSerial;
  version = kDefaultVersion;
  temperature = 25;
  gps = 0;
  overload[0] = overload[1] = false;
  withheld.reset();
  reject_address = false;
  firmware_reset();
  log_.clear();
}

uint32_t Receiver::status_word() const {
  return kCodeStatus | (uint32_t(temperature) & 0xFF) << 8 | (uint32_t(gps) & 0x1FFF) << 17 |
         uint32_t(overload[0]) << 30 | uint32_t(overload[1]) << 31;
}

double Receiver::gain(int channel) const {
  // Coupled (byte 3 of channel 1's item set): channel 2 follows channel 1's attenuator.
  const bool coupled = ((frontend[1] >> 8) & 1) != 0;
  const uint32_t item = channel == 1 && coupled ? 1 : 1 + channel;
  const int attenuation_db = int(frontend[item] & 0xFF) - 7;
  return std::pow(10.0, -attenuation_db / 20.0);
}

void Receiver::remember(uint32_t sequence, const uint8_t* bytes, size_t length) {
  if (log_.size() == kLogCapacity) log_.pop_front();
  log_.push_back({sequence, std::vector<uint8_t>(bytes, bytes + length)});
}

void Receiver::log_only(const uint8_t* message, size_t length) {
  if (length < 4) return remember(0, message, length);
  remember(le32(message), message + 4, length - 4);
}

void Receiver::reply(Outcome& o, uint32_t word, uint32_t value) const {
  if (withheld[word & 0xFF] || o.count == 2) return;
  o.replies[o.count++] = {word, value};
}

Receiver::Outcome Receiver::handle(const uint8_t* message, size_t length) {
  Outcome o;
  log_only(message, length);
  if (length < 5) return o;
  const uint32_t seq = le32(message);
  const uint8_t* cmd = message + 4;
  const size_t n = length - 4;
  const size_t need = needed(cmd[0]);
  if (need == 0 || n < need) return o;
  o.applied = true;

  switch (cmd[0]) {
    case kCodeFrontEnd: {
      const uint32_t item = cmd[1] & 7;
      const uint32_t value = cmd[2] | uint32_t(cmd[3]) << 8;
      frontend[item] = value;
      reply(o, kCodeFrontEnd | item << 8 | value << 16, seq);
      break;
    }
    case kCodeClock:
      clock_mhz = std::clamp<uint32_t>(cmd[1], 70, 200);
      reply(o, kCodeClock | clock_mhz << 8, seq);
      break;
    case kCodeStreamSetup:
      if (cmd[1] == 1) usb_format = cmd[2];
      if (cmd[1] == 2) lan_format = cmd[2];
      if (cmd[1] >= 1 && cmd[1] <= 3) mode = cmd[3];
      reply(o, kCodeStreamSetup, seq);
      break;
    case kCodeRegister: {
      const uint32_t value = le32(cmd + 2);
      bool rejected = false;
      switch (cmd[1]) {
        case 0:
          frequency[0] = value;
          break;
        case 1:
          frequency[1] = value;
          break;
        case 2:
          frequency = {value, value};
          break;
        case 9:
          mix = value;
          break;
        case 10:
          rejected = reject_address;
          if (!rejected) address = value;
          break;
        default:
          break;
      }
      reply(o, kCodeRegister | uint32_t(cmd[1]) << 8 | uint32_t(rejected) << 16, seq);
      break;
    }
    case kCodeFirmwareControl:
      firmware_control(o, seq, cmd);
      break;
    case kCodeFirmwareData:
      firmware_data(o, seq, cmd);
      break;
    case kCodeIdentify:
      o.urgent = true;
      reply(o, kCodeIdentify | (serial & 0xFF) << 8, version);
      break;
    case kCodeStop:
      o.event = cmd[1] == kLinkUsb ? Event::StopUsb : Event::StopLan;
      break;
    case kCodeStart:
      o.event = Event::StartLan;
      break;
    default:
      break;
  }
  return o;
}

}  // namespace kmvsim
