// Status polling and display: the panel's timers bring the receiver's reported state onto the
// panel, keep the scroll bars on the echoed values and finish a clock change.
#include <algorithm>
#include <string>

#include "control/Form1.h"
#include "lan/lan_state.h"
#include "platform/net.h"
#include "plugin/plugin_state.h"
#include "usb/Usbtask1.h"
#include "usb/command_queue.h"

namespace {

using plugin::g_plugin;
using usb::g_status;

constexpr int kAdvancedLayoutFrom = 1001;   // pixels: wider panels show the counters
constexpr uint32_t kPacketsPerCount = 256;  // L_Packets counts in units of 256 blocks
constexpr int kRecoveryIntervalMs = 4000;
constexpr int kAttenuatorOffset = 7;  // position 0 is +7 dB
constexpr int kAntennaBel3 = 3;
constexpr uint32_t kCoupledEcho = 256;   // echo with byte 3 set: channel 2 follows channel 1
constexpr int kDegreesNumerator = 1000;  // position 232 shows 180 degrees
constexpr int kDegreesDenominator = 1288;

// Device status word fields.
int temperature(uint32_t status) {
  return static_cast<int8_t>((status >> 8) & 0xFF);
}
int gps_value(uint32_t status) {
  int v = static_cast<int>((status >> 17) & 0x1FFF);
  return v & 0x1000 ? v - 0x2000 : v;
}
constexpr uint32_t kOverload1 = 1u << 30;
constexpr uint32_t kOverload2 = 1u << 31;

// The USB packet counter as the previous tick saw it.
uint32_t g_last_seen_usb_packets = 0;

// Move a scroll bar to an echoed position, marked so that its change handler sends nothing. A
// position the bar cannot take is not marked: the mark would swallow the next user move.
void follow_echo(ui::Control* bar, int position) {
  int target = std::clamp(position, bar->min, std::max(bar->min, bar->max));
  if (bar->position() == target) return;
  bar->page_size = 1;
  bar->set_position(target);
}

}  // namespace

void TF_RDR1::T_UpdateTimer(ui::Control*) {
  uint32_t status = g_status.device_status.load();
  // 1.-3.
  E_Temp->set_text(std::to_string(temperature(status)));
  if (g_plugin.open_count.load() != 0 && !E_GPS->focused) {
    E_GPS->set_text(std::to_string(gps_value(status)));
  }
  S_CH1->color = status & kOverload1 ? ui::kRed : ui::kGreen;
  S_CH2->color = status & kOverload2 ? ui::kRed : ui::kGreen;

  // 4. Timer2 expires when USB packets stop arriving. While a reopen that failed has left no
  // task (the device was absent, or still held by a task that was given up), it keeps running,
  // so the link comes back by itself.
  uint32_t usb_packets = usb::g_usb_counters.packets.load();
  if (CB_USB->checked() && usb_packets != g_last_seen_usb_packets) {
    Timer2->set_enabled(false);
    Timer2->set_interval(kRecoveryIntervalMs);
    Timer2->set_enabled(true);
  } else if (!CB_USB->checked() || g_plugin.usb_task.running()) {
    Timer2->set_enabled(false);
  } else if (!Timer2->is_enabled()) {
    Timer2->set_interval(kRecoveryIntervalMs);
    Timer2->set_enabled(true);
  }
  g_last_seen_usb_packets = usb_packets;

  // 5.
  if (width >= kAdvancedLayoutFrom) {
    L_LAN_Packets->caption = std::to_string(lan::g_lan.packets.load());
    L_LAN_Lost->caption = std::to_string(lan::g_lan.lost.load());
    L_Packets->caption = std::to_string(usb_packets / kPacketsPerCount);
    L_Lost->caption = std::to_string(usb::g_usb_counters.lost.load());
  }

  // 6.-7. Attenuators; a coupled echo of channel 1 stands for channel 2 as well.
  uint32_t att1 = g_status.settings_echo[1].load();
  int v1 = static_cast<int>(att1 & 0xFF);
  if (TB_Att1->position() != v1) {
    follow_echo(TB_Att1, v1);
    if (att1 >= kCoupledEcho) g_status.settings_echo[2].store(att1);
  }
  L_Att1->caption = std::to_string(v1 - kAttenuatorOffset);
  int v2 = static_cast<int>(g_status.settings_echo[2].load() & 0xFF);
  follow_echo(TB_Att2, v2);
  L_Att2->caption = std::to_string(v2 - kAttenuatorOffset);

  // 8.-9. Antenna controls: BEL3's Q carries the 0x80 mark, the others are directions.
  struct Antenna {
    ui::Control *selector, *bar, *label;
    uint32_t echo;
  };
  const Antenna antennas[2] = {{C_Ant1, TB_Pos1, L_Pos1, g_status.settings_echo[3].load()},
                               {C_Ant2, TB_Pos2, L_Pos2, g_status.settings_echo[4].load()}};
  for (const Antenna& a : antennas) {
    int low = static_cast<int>(a.echo & 0xFF);
    uint32_t mask = 0xFF;
    if (a.selector->item_index() == kAntennaBel3) {
      mask = 0x7F;
      a.label->caption = std::to_string(low & 0x7F);
    } else {
      a.label->caption = std::to_string(low * kDegreesNumerator / kDegreesDenominator);
    }
    follow_echo(a.bar, static_cast<int>(a.echo & mask));
  }

  // 10. The receiver runs the clock we sent: rates, displays and the host follow.
  if (SB_CLK->value() == static_cast<int>(g_status.clock_echo.load()) && !B_Set->enabled) {
    B_Set->enabled = true;
    SB_CLK->color = ui::kWhite;
    usb_stream_setup();
    lan_stream_setup();
  }

  // 11. Shown once per rejection.
  if (g_status.ip_error.exchange(0) != 0) E_IP->set_text("Error!");

  // 12.
  B_Conn->enabled = !net::is_valid(lan::g_lan.tcp_socket.load()) && g_plugin.lan_streaming == 0;
}

void TF_RDR1::Timer1Timer(ui::Control*) {
  Timer1->set_enabled(false);
}

void TF_RDR1::Timer3Timer(ui::Control*) {
  g_plugin.sr_ack = 0;
  g_plugin.lo_ack = 0;
  Timer3->set_enabled(false);
}
