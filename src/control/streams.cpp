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
#include "control/stream_format.h"
#include "lan/lan_tasks.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"

namespace control {
StreamConfig g_stream;
}  // namespace control

namespace {

using plugin::g_plugin;

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

using control::decimation_index;
using control::kClockMax;
using control::kClockMin;
using Format = control::StreamFormat;

int decimation_index(const ui::Control* selector) {
  return decimation_index(selector->item_index());
}

// The width the set-up starts from; false when a fixed width's caption is not a number.
bool start_width(const ui::Control* bits, int* width) {
  // Any fixed width other than 24 is 16: the set-up only knows these two.
  *width = 24;
  if (bits->tag != 0) return true;
  const std::string& caption = bits->caption;
  int fixed = 0;
  auto [end, ec] = std::from_chars(caption.data(), caption.data() + caption.size(), fixed);
  if (caption.empty() || ec != std::errc() || end != caption.data() + caption.size()) return false;
  *width = fixed == 24 ? 24 : 16;
  return true;
}

control::StreamSettings settings_of(const StreamControls& c, int width, int clock) {
  return {clock,
          width,
          c.on1->checked(),
          c.on2->checked(),
          c.decimation1->item_index(),
          c.decimation2->item_index()};
}

// Steps 1-3 of a set-up: width, dual stream and the decimations that keep the link within its
// limits, shown on the selectors.
bool choose_format(const StreamControls& c, control::RateLimits limits, int typed_clock,
                   Format* out) {
  int width = 24;
  if (!start_width(c.bits, &width)) {
    TF_RDR1::conversion_error(c.bits->caption);  // as the toolkit reports it
    return false;
  }
  *out = control::settle_format(settings_of(c, width, typed_clock), limits);
  if (out->index1 != c.decimation1->item_index()) c.decimation1->set_item_index(out->index1);
  if (out->index2 != c.decimation2->item_index()) c.decimation2->set_item_index(out->index2);
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

StreamControls usb_controls(const TF_RDR1& f) {
  return {f.L_BitsU, f.CB_USB1, f.CB_USB2, f.C_USB1, f.C_USB2};
}
StreamControls lan_controls(const TF_RDR1& f) {
  return {f.L_BitsL, f.CB_LAN1, f.CB_LAN2, f.C_LAN1, f.C_LAN2};
}

// The link whose rate GetHWSR reports, and the stream of it whose selector sets that rate:
// stream 2 when only stream 2 is on, else stream 1 (also computed when neither is on).
struct ReportedStream {
  StreamControls c;
  control::RateLimits limits;
  bool second;
  ui::Control* selector() const { return second ? c.decimation2 : c.decimation1; }
};

ReportedStream reported_stream(const TF_RDR1& f) {
  bool lan = g_plugin.rate_selector.load() == plugin::kLanRate;
  StreamControls c = lan ? lan_controls(f) : usb_controls(f);
  return {c, lan ? control::kLanLimits : control::kUsbLimits,
          c.on2->checked() && !c.on1->checked()};
}

}  // namespace

ui::Control* TF_RDR1::reported_rate_selector() const {
  return reported_stream(*this).selector();
}

TF_RDR1::RateChoices TF_RDR1::rate_choices() const {
  RateChoices out{};
  ReportedStream r = reported_stream(*this);
  int width = 24;
  if (!start_width(r.c.bits, &width)) return out;  // the set-up would change nothing
  out.count = control::kDecimationItems;
  out.current = decimation_index(r.selector());
  for (int k = 0; k < out.count; ++k) {
    // As the selector's change handler leaves it: with both streams on, both show the pick.
    control::StreamSettings s = settings_of(r.c, width, SB_CLK->value());
    bool both = s.on1 && s.on2;
    if (r.second || both) s.index2 = k;
    if (!r.second || both) s.index1 = k;
    out.rates[k] = control::per_stream_rate(control::settle_format(s, r.limits));
  }
  return out;
}

void TF_RDR1::usb_stream_setup() {
  StreamControls c = usb_controls(*this);
  Format f;
  if (!choose_format(c, control::kUsbLimits, SB_CLK->value(), &f)) return;
  // 4. The whole geometry in one store, whether or not the USB task runs.
  control::g_stream.usb_geometry.store(
      control::pack_usb(control::usb_geometry_for(f.sixteen_bit, f.dual)),
      std::memory_order_release);
  // 5.-8.
  E_USB->set_text(format_rate(f.rate));
  int32_t sr = control::per_stream_rate(f);
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
  StreamControls c = lan_controls(*this);
  Format f;
  if (!choose_format(c, control::kLanLimits, SB_CLK->value(), &f)) return;
  E_LAN->set_text(format_rate(f.rate));
  int32_t sr = control::per_stream_rate(f);
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
