// Tuning and channel modes: frequency edits, lock, mode buttons, inputs, antenna tuning.
#include <charconv>
#include <cstdlib>
#include <string>

#include "control/Form1.h"
#include "control/commands.h"
#include "control/stream_config.h"
#include "mix/Coord1.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"

namespace {

using plugin::g_plugin;

// Antenna selector indexes that take part in the tuning follow-up.
constexpr int kAntennaBel3 = 3;
constexpr int kAntennaNim1 = 4;
constexpr int kAntennaNim2 = 5;

// From this frequency on the antenna is tuned in units of 10 kHz instead of kHz.
constexpr int64_t kTenKilohertzFrom = 60000001;
constexpr int64_t kTuningMax = 32767;
constexpr int64_t kHysteresis = 6;
// Sent on the tuning item while the antenna's through button is down.
constexpr int32_t kThroughValue = 30010;

// NIM2 switches the sample clock with the band (tuning value in 10 kHz units).
constexpr int32_t kNim2LowTop = 10800;
constexpr int32_t kNim2MidTop = 16900;
constexpr int kNim2LowClock = 120;
constexpr int kNim2MidClock = 200;
constexpr int kNim2HighClock = 160;

// "1234567" -> "1.234.567"; three digits or fewer stay as they are.
std::string group_digits(const std::string& digits) {
  std::string out;
  size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += '.';
    out += digits[i];
  }
  return out;
}

// Nearest multiple of 10 with a remainder of 5 rounding down (the remainder keeps v's sign).
int64_t round_to_ten(int64_t v) {
  int64_t r = v % 10;
  int64_t base = v - r;
  if (r >= 6 && v > base) base += 10;
  return base;
}

}  // namespace

uint8_t TF_RDR1::selected_mode_byte() const {
  using commands::ChannelMode;
  if (RB_Cpar->checked()) return commands::mode_byte(ChannelMode::kParallel);
  if (RB_Cdiv->checked()) return commands::mode_byte(ChannelMode::kDiversity);
  if (RB_CserU->checked()) return commands::mode_byte(ChannelMode::kSeriellUp);
  if (RB_CserL->checked()) return commands::mode_byte(ChannelMode::kSeriellLow);
  return commands::mode_byte(ChannelMode::kSeparate);
}

bool TF_RDR1::channel_sharing_mode() const {
  return RB_Cpar->checked() || RB_CserU->checked() || RB_CserL->checked();
}

bool TF_RDR1::coupled() const {
  return RB_C1->checked() && channel_sharing_mode();
}

void TF_RDR1::channel_mode_send() {
  commands::send(commands::stream_setup(commands::kTargetModeOnly, 0, selected_mode_byte()));
}

void TF_RDR1::conversion_error(const std::string& text) {
  ui::message_box("'" + text + "' is not a valid integer value", "KMV410 Control");
}

void TF_RDR1::E_Freq0Change(ui::Control* Sender) {
  ui::Control* edit = Sender;
  if (!edit) return;
  // 1. Our own rewrite of the text below comes back here and ends.
  if (!edit->modified && !edit->read_only) return;
  // 2. The mark and the user's modification are consumed.
  edit->read_only = false;
  edit->modified = false;

  // 3.-4. Digits only, as a signed 32-bit value.
  std::string digits;
  for (char c : edit->text()) {
    if (c >= '0' && c <= '9') digits += c;
  }
  int32_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
    conversion_error(digits);
    return;
  }
  uint32_t f = static_cast<uint32_t>(value);

  // 5.
  edit->set_text(group_digits(digits));

  // 6.-7.
  uint8_t reg = commands::kRegFreqBoth;
  if (RB_Csep->checked()) {
    reg = static_cast<uint8_t>(edit->tag);
  } else if (edit->tag == E_Freq1->tag) {
    return;
  }
  commands::send(commands::register_value(reg, f));

  // 8.-9.
  if (edit->tag != 0) {
    g_plugin.lo2 = f;
  } else {
    g_plugin.lo1 = f;
  }
  plugin::notify_lo_all();
}

void TF_RDR1::CB_LockedClick(ui::Control*) {
  if (CB_Locked->checked()) {
    E_Freq0->enabled = false;
    E_Freq1->enabled = false;
    plugin::notify_all(plugin::kLoLocked);
  } else {
    E_Freq0->enabled = true;
    E_Freq1->enabled = RB_Csep->checked();
    plugin::notify_all(plugin::kLoUnlocked);
  }
}

void TF_RDR1::RB_CparClick(ui::Control* Sender) {
  // 1. Checking an input button runs RB_VHF1Click when it changes.
  if (channel_sharing_mode()) {
    RB_C1->set_checked(true);
  } else {
    RB_HF2->set_checked(true);
  }
  // 2.
  TB_Att2->enabled = !RB_C1->checked();
  // 3. Stream 2 exists only in Separate mode; its boxes' handlers run the set-ups.
  if (RB_Csep->checked()) {
    if (!CB_Locked->checked()) E_Freq1->enabled = true;
  } else {
    if (CB_USB2->checked()) {
      CB_USB2->set_checked(false);
      CB_USB1->set_checked(true);
    }
    if (CB_LAN2->checked()) {
      CB_LAN2->set_checked(false);
      CB_LAN1->set_checked(true);
    }
    CB_USB2->enabled = false;
    CB_LAN2->enabled = false;
    E_Freq1->enabled = false;
  }
  // 4.
  if (RB_Cdiv->checked()) {
    B_Div->set_down(true);
    if (F_Coord) {
      F_Coord->show();
      F_Coord->bring_to_front();
    }
  } else {
    B_Div->set_down(false);
    if (F_Coord) F_Coord->hide();
  }
  // 5.
  if (F_Coord) F_Coord->mix_send();
  // 6.
  if (Sender && Sender->checked()) {
    channel_mode_send();
    front_end_flags_send();
  }
}

void TF_RDR1::RB_CsepClick(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  // 1.
  if (CB_USB->checked()) CB_USB2->enabled = true;
  if (CB_LAN->checked()) CB_LAN2->enabled = true;
  // 2.
  B_Div->set_down(false);
  if (F_Coord) F_Coord->hide();
  // 3.
  if (!CB_Locked->checked()) E_Freq1->enabled = true;
  // 4. Channel 2 takes its own input.
  RB_C1->set_checked(false);
  RB_HF2->set_checked(true);
  // 5.
  TB_Att2->enabled = !RB_C1->checked();
  // 6. Both set-ups carry mode byte 0 now.
  lan_stream_setup();
  usb_stream_setup();
  front_end_flags_send();
}

void TF_RDR1::B_DivClick(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  if (B_Div->down()) {
    RB_HF1->set_checked(true);
    RB_Cdiv->set_checked(true);
  } else {
    RB_Cpar->set_checked(true);
  }
}

void TF_RDR1::RB_VHF1Click(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  // 1. The preamplifier exists on the VHF input only; its checked state is kept.
  CB_PreAmp->enabled = RB_VHF1->checked();
  // 2. Channel 2 on channel 1's signal has no antenna and no attenuator of its own.
  if (RB_C1->checked()) {
    C_Ant2->set_item_index(0);
    C_Ant2->enabled = false;
    TB_Att2->enabled = false;
  } else {
    C_Ant2->enabled = true;
    TB_Att2->enabled = true;
  }
  // 3.
  front_end_flags_send();
}

void TF_RDR1::B_Through1Click(ui::Control* Sender) {
  if (!Sender) return;
  int channel = Sender == B_Through2 ? 1 : 0;
  if (Sender->down()) {
    Sender->flat = false;
    commands::send(commands::front_end_value(static_cast<uint8_t>(Sender->tag), kThroughValue));
  } else {
    Sender->flat = true;
    int64_t f = int64_t{control::g_stream.last_tuning[channel].load()} * 1000;
    antenna_tuning_follow_up(f, 1 << channel, true);
  }
}

void TF_RDR1::antenna_tuning_follow_up(int64_t f, int mask, bool force) {
  // A tuned frequency below zero is a host fault (or a wrapped 32-bit value): the antennas keep
  // their tuning rather than receive a meaningless two's-complement value.
  if (f < 0) return;

  // 1. kHz below 60 MHz, 10 kHz from there on.
  int64_t v = f / 1000;
  if (f >= kTenKilohertzFrom) v /= 10;
  if (v > kTuningMax) v = kTuningMax;

  // 2.-3. One pass per channel; only channel 1 has NIM2.
  struct Channel {
    ui::Control* antenna;
    ui::Control* through;
    uint8_t item;
  };
  const Channel channels[2] = {{C_Ant1, B_Through1, commands::kItemTuning1},
                               {C_Ant2, B_Through2, commands::kItemTuning2}};
  for (int ch = 0; ch < 2; ++ch) {
    if (!(mask & (1 << ch))) continue;
    const Channel& c = channels[ch];
    std::atomic<int32_t>& last = control::g_stream.last_tuning[ch];
    int k = c.antenna->item_index();
    if (k < kAntennaBel3) continue;
    if (!force && k != kAntennaBel3 && std::llabs(last.load() - v) < kHysteresis) continue;
    int32_t tuned = static_cast<int32_t>(k >= kAntennaNim1 ? round_to_ten(v) : v);
    last = tuned;
    if (k >= kAntennaNim1 && c.through->down()) continue;
    bool nim2 = k == kAntennaNim2;
    commands::send(commands::front_end_value(c.item, nim2 ? tuned / 10 : tuned));
    if (!nim2) continue;
    int clock = tuned <= kNim2LowTop   ? kNim2LowClock
                : tuned <= kNim2MidTop ? kNim2MidClock
                                       : kNim2HighClock;
    if (SB_CLK->value() != clock) {
      SB_CLK->set_value(clock);
      B_CLKSetClick(B_CLKSet);
    }
  }
}
