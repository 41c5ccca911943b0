// Front-end controls: attenuators, antenna controls, antennas, preamplifier and input flags.
#include "control/Form1.h"
#include "control/commands.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"

namespace {

using plugin::g_plugin;

// Antenna selector indexes (0 "Off", 1 "+12 V").
constexpr int kAntennaKot7 = 2;
constexpr int kAntennaBel3 = 3;
constexpr int kAntennaNim1 = 4;
constexpr int kAntennaNim2 = 5;

constexpr int kDirectionMax = 232;  // antenna direction, 180 degrees
constexpr int kQualityMax = 99;     // BEL3's Q in percent
constexpr uint8_t kBel3Mark = 0x80;

// Antenna control of one channel for selector index k: scroll bar, its value label and the two
// caption labels.
void show_antenna_control(int k, ui::Control* bar, ui::Control* value, ui::Control* name,
                          ui::Control* unit) {
  bool direction = k == kAntennaKot7 || k == kAntennaNim1;
  bool quality = k == kAntennaBel3;
  bar->enabled = direction || quality;
  bar->visible = direction || quality;
  value->visible = direction || quality;
  name->caption = direction ? "DIR" : quality ? " Q " : "";
  unit->caption = direction ? "\xB0" : quality ? "%" : "";
  bar->max = quality ? kQualityMax : kDirectionMax;
  // A lower maximum clips the position, which runs the change handler like any move.
  if (bar->position() > bar->max) bar->set_position(bar->max);
}

}  // namespace

void TF_RDR1::TB_Pos1Change(ui::Control* Sender) {
  ui::Control* bar = Sender;
  if (!bar) return;
  // 1. Moved by the status display to the receiver's echo: nothing to send.
  if (bar->page_size != 0) {
    bar->page_size = 0;
    return;
  }
  // 2. At most one scroll-bar command per Timer1 period once the receiver is open.
  if (Timer1->is_enabled() && g_plugin.open_count.load() != 0) return;

  // 3.-4.
  int tag = bar->tag;
  uint8_t value = static_cast<uint8_t>(bar->position());
  bool antenna_value = (tag == commands::kItemAntenna1 && C_Ant1->item_index() >= kAntennaBel3) ||
                       (tag == commands::kItemAntenna2 && C_Ant2->item_index() >= kAntennaBel3);
  uint8_t byte3 = coupled() || antenna_value ? 1 : 0;
  bool bel3 = (tag == commands::kItemAntenna1 && C_Ant1->item_index() == kAntennaBel3) ||
              (tag == commands::kItemAntenna2 && C_Ant2->item_index() == kAntennaBel3);
  if (byte3 == 1 && bel3) value = static_cast<uint8_t>(value + kBel3Mark);
  usb::CommandEntry entry = commands::front_end(static_cast<uint8_t>(tag), value, byte3);

  // 5. Channel 2 follows channel 1; its own run queues its command first.
  if ((tag == commands::kItemAtt1 || tag == commands::kItemAtt2) && RB_C1->checked()) {
    TB_Att2->set_position(TB_Att1->position());
  }
  // 6.
  commands::send(std::move(entry), commands::Route::kAnyLink, commands::kScrollBarCap);
  // 7.-9. Also when the queue was full.
  Timer1->set_enabled(true);
  g_plugin.host_att = static_cast<float>(TB_Att1->position());
  plugin::notify_attenuator();
}

void TF_RDR1::front_end_flags_send() {
  // 1.
  commands::InputFlags flags;
  flags.seriell = RB_CserU->checked() || RB_CserL->checked();
  flags.vhf1 = RB_VHF1->checked();
  flags.hf2 = RB_HF2->checked();
  flags.antenna1_index = C_Ant1->item_index();
  flags.antenna2_index = C_Ant2->item_index();
  flags.preamp = CB_PreAmp->checked();
  commands::send(
      commands::front_end(commands::kItemInputFlags, commands::input_flags_byte(flags), 0));
  // 2. Coupled channels must not keep different attenuators.
  if (coupled() && TB_Att1->position() != TB_Att2->position()) {
    TB_Att2->set_position(TB_Att1->position());
    commands::send(
        commands::front_end(commands::kItemAtt1, static_cast<uint8_t>(TB_Att1->position()), 1));
  }
}

void TF_RDR1::CB_PreAmpClick(ui::Control*) {
  front_end_flags_send();
}

void TF_RDR1::C_Ant1Change(ui::Control*) {
  int k = C_Ant1->item_index();
  // 1.-2.
  show_antenna_control(k, TB_Pos1, L_Pos1, L_TB1, L_P1);
  B_Through1->enabled = k == kAntennaNim1 || k == kAntennaNim2;
  // 3. NIM2 works in Seriell Up only.
  if (k == kAntennaNim2 && !RB_CserU->checked()) {
    RB_CserU->set_checked(true);
    RB_CparClick(RB_CserU);
  }
  // 4.
  if (g_plugin.open_count.load() != 0) front_end_flags_send();
}

void TF_RDR1::C_Ant2Change(ui::Control*) {
  int k = C_Ant2->item_index();
  show_antenna_control(k, TB_Pos2, L_Pos2, L_TB2, L_P2);
  B_Through2->enabled = k == kAntennaNim1;
  front_end_flags_send();
}
