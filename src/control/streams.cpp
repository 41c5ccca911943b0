// Output streams, rates, clock and sample width: the stream boxes and decimation selectors, the
// USB and LAN stream set-ups, the width labels and the clock.
#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <string>

#include "control/Form1.h"
#include "control/commands.h"
#include "control/stream_config.h"
#include "lan/lan_tasks.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"

namespace control {
StreamConfig g_stream;
}  // namespace control

namespace {

using plugin::g_plugin;

constexpr int kClockMin = 70;            // MHz
constexpr int kClockMax = 200;           // MHz
constexpr int kLastDecimationIndex = 5;  // decimation 64

// Summed rate of a link's streams, MS/s.
struct RateLimits {
  float sixteen_bit;
  float twenty_four_bit;
};
constexpr RateLimits kUsbLimits = {90.0f, 60.0f};
constexpr RateLimits kLanLimits = {30.0f, 20.0f};

constexpr int kPacingMin = 4;
constexpr double kPacingPerRate = 100000.0 / 130560.0;  // blocks per 100 ms for 1 MS/s

// The controls of one link's streams.
struct StreamControls {
  ui::Control* bits;  // width label: Tag 1 automatic, Tag 0 fixed
  ui::Control* on1;
  ui::Control* on2;
  ui::Control* decimation1;
  ui::Control* decimation2;
};

// What the set-up loop settled on.
struct Format {
  bool sixteen_bit;
  bool dual;
  float rate;  // MS/s, both streams together
};

int decimation_index(const ui::Control* selector) {
  return std::clamp(selector->item_index(), 0, kLastDecimationIndex);
}

float stream_rate(int clock, const ui::Control* selector) {
  return static_cast<float>(clock) / static_cast<float>(2 << decimation_index(selector));
}

// One step up the decimation of the stream that counts; false when both are at 64 already.
bool raise_decimation(const StreamControls& c) {
  int i1 = decimation_index(c.decimation1);
  if (i1 < kLastDecimationIndex) {
    c.decimation1->set_item_index(i1 + 1);
    if (c.on2->checked()) c.decimation2->set_item_index(i1 + 1);
    return true;
  }
  int i2 = decimation_index(c.decimation2);
  if (i2 >= kLastDecimationIndex) return false;
  c.decimation2->set_item_index(i2 + 1);
  if (c.on1->checked()) c.decimation1->set_item_index(i2 + 1);
  return true;
}

// Steps 1-3 of a set-up: width, dual stream and the decimations that keep the link within its
// limits. False when a fixed width's caption is not a number (reported like the toolkit does).
bool choose_format(const StreamControls& c, RateLimits limits, int typed_clock, Format* out) {
  // 1. Any fixed width other than 24 is 16: the loop below only knows these two.
  int width = 24;
  if (c.bits->tag == 0) {
    const std::string& caption = c.bits->caption;
    int fixed = 0;
    auto [end, ec] = std::from_chars(caption.data(), caption.data() + caption.size(), fixed);
    if (caption.empty() || ec != std::errc() || end != caption.data() + caption.size()) {
      TF_RDR1::conversion_error(caption);
      return false;
    }
    width = fixed == 24 ? 24 : 16;
  }
  // 2.
  bool dual = c.on1->checked() && c.on2->checked();
  if (dual) {
    c.decimation2->set_item_index(decimation_index(c.decimation1));
    width = 16;
  }
  // 3. With the clock held to its range, decimation 64 brings every case within the limits.
  int clock = std::clamp(typed_clock, kClockMin, kClockMax);
  float rate = 0.0f;
  for (;;) {
    rate = 0.0f;
    if (c.on1->checked() || !c.on2->checked()) rate = stream_rate(clock, c.decimation1);
    if (c.on2->checked()) rate += stream_rate(clock, c.decimation2);
    if (width == 16 && rate > limits.sixteen_bit) {
      if (!raise_decimation(c)) break;
    } else if (width == 24 && rate > limits.twenty_four_bit) {
      width = 16;
    }
    if (!(rate > limits.sixteen_bit)) break;
  }
  *out = {width == 16, dual, rate};
  return true;
}

// The rate in its shortest decimal form with the locale's decimal separator.
std::string format_rate(float rate) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, rate, std::chars_format::fixed);
  std::string text(buf, ec == std::errc() ? end : buf);
  const char* point = std::localeconv()->decimal_point;
  if (point && point[0] && point[0] != '.') std::replace(text.begin(), text.end(), '.', point[0]);
  return text;
}

// Per-stream sample rate in Hz.
int32_t sample_rate(const Format& f) {
  int32_t sr = static_cast<int32_t>(std::lround(static_cast<double>(f.rate) * 1000000.0));
  return f.dual ? sr >> 1 : sr;
}

uint32_t pacing(float rate) {
  long p = std::lround(static_cast<double>(rate) * kPacingPerRate);
  return static_cast<uint32_t>(std::max<long>(p, kPacingMin));
}

uint8_t format_byte(const StreamControls& c, const Format& f) {
  return commands::format_byte(
      c.on1->checked(), c.on2->checked(), static_cast<uint8_t>(decimation_index(c.decimation1)),
      static_cast<uint8_t>(decimation_index(c.decimation2)), f.sixteen_bit);
}

// Code 100 to every slot of the link's kinds, each waiting for the host to read the last rate.
void notify_rate(int32_t kind1, int32_t kind2, int32_t selector) {
  for (int i = 0; i < plugin::kSlots; ++i) {
    int32_t kind = plugin::g_slots[i].kind.load();
    if (kind == kind1 || kind == kind2) plugin::notify_rate(i, selector);
  }
}

constexpr int kLanTaskWaitMs = 1000;

// A task that does not end in time is given up: it leaves without touching anything.
void stop_lan_task(tasks::Task& task) {
  lan::stop_task(task, kLanTaskWaitMs, false, lan::kLinkTcp);
}

}  // namespace

void TF_RDR1::usb_stream_setup() {
  StreamControls c = {L_BitsU, CB_USB1, CB_USB2, C_USB1, C_USB2};
  Format f;
  if (!choose_format(c, kUsbLimits, SB_CLK->value(), &f)) return;
  // 4. The whole geometry in one store, whether or not the USB task runs.
  control::g_stream.usb_geometry.store(
      control::pack_usb(control::usb_geometry_for(f.sixteen_bit, f.dual)),
      std::memory_order_release);
  // 5.-8.
  E_USB->set_text(format_rate(f.rate));
  int32_t sr = sample_rate(f);
  L_BitsU->caption = f.sixteen_bit ? "16" : "24";
  usb::g_usb_tx.pacing = pacing(f.rate);
  // 9.-10.
  plugin::bind_streams();
  if (sr >= plugin::kMinReportedRate) {
    g_plugin.usb_rate = sr;
    notify_rate(plugin::kUsb1, plugin::kUsb2, plugin::kUsbRate);
  }
  // 11.
  commands::send(
      commands::stream_setup(commands::kTargetUsb, format_byte(c, f), selected_mode_byte()),
      commands::Route::kUsbOnly);
}

void TF_RDR1::lan_stream_setup() {
  StreamControls c = {L_BitsL, CB_LAN1, CB_LAN2, C_LAN1, C_LAN2};
  Format f;
  if (!choose_format(c, kLanLimits, SB_CLK->value(), &f)) return;
  E_LAN->set_text(format_rate(f.rate));
  int32_t sr = sample_rate(f);
  L_BitsL->caption = f.sixteen_bit ? "16" : "24";
  control::g_stream.lan_pacing = pacing(f.rate);
  plugin::bind_streams();
  if (sr >= plugin::kMinReportedRate) {
    g_plugin.lan_rate = sr;
    notify_rate(plugin::kLan1, plugin::kLan2, plugin::kLanRate);
  }
  commands::send(
      commands::stream_setup(commands::kTargetLan, format_byte(c, f), selected_mode_byte()),
      commands::Route::kLanOnly);

  // Restart the LAN stream for the new format. The geometry changes only while no task of ours
  // runs, flags and sizes together.
  g_plugin.lan_stop = 1;
  stop_lan_task(g_plugin.udp_task);
  stop_lan_task(g_plugin.tcp_task);
  control::g_stream.lan_geometry.store(
      control::pack_lan(control::lan_geometry_for(f.sixteen_bit, f.dual)),
      std::memory_order_release);
  g_plugin.lan_stop = 0;
  if (RB_UDP->checked()) {
    lan::start_udp_task();
  } else if (RB_TCP->checked()) {
    lan::start_tcp_receive_task();
  }
}

void TF_RDR1::CB_USB1Click(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  usb_stream_setup();
  if (CB_LAN1->checked() || CB_LAN2->checked()) lan_stream_setup();
}

void TF_RDR1::CB_LAN1Click(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  lan_stream_setup();
  if (CB_USB1->checked() || CB_USB2->checked()) usb_stream_setup();
}

// With both streams of a link on, the two selectors always show the same decimation.
void TF_RDR1::C_USB1Change(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  if (CB_USB1->checked() && CB_USB2->checked()) C_USB2->set_item_index(C_USB1->item_index());
  usb_stream_setup();
}

void TF_RDR1::C_USB2Change(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  if (CB_USB1->checked() && CB_USB2->checked()) C_USB1->set_item_index(C_USB2->item_index());
  usb_stream_setup();
}

void TF_RDR1::C_LAN1Change(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  if (CB_LAN1->checked() && CB_LAN2->checked()) C_LAN2->set_item_index(C_LAN1->item_index());
  lan_stream_setup();
}

void TF_RDR1::C_LAN2Change(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  if (CB_LAN1->checked() && CB_LAN2->checked()) C_LAN1->set_item_index(C_LAN2->item_index());
  lan_stream_setup();
}

// A double click toggles between automatic width and fixed 16-bit.
void TF_RDR1::L_BitsUDblClick(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  if (L_BitsU->tag != 0) {
    L_BitsU->tag = 0;
    L_BitsU->caption = "16";
  } else {
    L_BitsU->tag = 1;
  }
  usb_stream_setup();
}

void TF_RDR1::L_BitsLDblClick(ui::Control*) {
  if (g_plugin.open_count.load() == 0) return;
  if (L_BitsL->tag != 0) {
    L_BitsL->tag = 0;
    L_BitsL->caption = "16";
  } else {
    L_BitsL->tag = 1;
  }
  lan_stream_setup();
}

// Yellow: edited, not yet confirmed by the receiver.
void TF_RDR1::SB_CLKChange(ui::Control*) {
  SB_CLK->color = ui::kYellow;
}

void TF_RDR1::B_CLKSetClick(ui::Control*) {
  // 1. Nothing edited.
  if (SB_CLK->color == ui::kWhite && g_plugin.open_count.load() != 0) return;
  // 2. B_Set stays disabled until the receiver echoes the clock.
  B_Set->enabled = false;
  // 3.-4.
  int typed = SB_CLK->value();
  int clock = std::clamp(typed, kClockMin, kClockMax);
  if (clock != typed) SB_CLK->set_value(clock);
  commands::send(commands::clock(static_cast<uint8_t>(clock)));
}
