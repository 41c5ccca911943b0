// TF_RDR1: controls, design values and event bindings of the control panel.
#include "control/Form1.h"

#include <charconv>

#include "control/commands.h"
#include "control/settings_file.h"
#include "lan/lan_state.h"
#include "mix/Coord1.h"
#include "plugin/plugin_state.h"
#include "update/Update1.h"
#include "usb/command_queue.h"

TF_RDR1* F_RDR1 = nullptr;

namespace {

const std::vector<std::string> kDecimations = {"2", "4", "8", "16", "32", "64"};
constexpr int kDesignDecimationIndex = 3;

ui::Control* make(ui::Control* parent, ui::Kind kind, const char* name, const char* caption,
                  int left, int top, int width, int height) {
  ui::Control* c = parent->add(kind, name);
  c->caption = caption;
  c->left = left;
  c->top = top;
  c->width = width;
  c->height = height;
  c->color = parent->color;
  return c;
}

ui::Control* label(ui::Control* parent, const char* name, const char* caption, int left, int top) {
  return make(parent, ui::Kind::Label, name, caption, left, top, 24, 13);
}

ui::Control* edit(ui::Control* parent, const char* name, const char* text, int left, int top,
                  int width, int max_length) {
  ui::Control* c = make(parent, ui::Kind::Edit, name, "", left, top, width, 19);
  c->set_text(text);
  c->max_length = max_length;
  c->color = ui::kWhite;
  return c;
}

ui::Control* combo(ui::Control* parent, const char* name, std::vector<std::string> items, int index,
                   int left, int top) {
  ui::Control* c = make(parent, ui::Kind::ComboBox, name, "", left, top, 56, 21);
  c->items = std::move(items);
  c->set_item_index(index);
  return c;
}

ui::Control* scroll(ui::Control* parent, const char* name, int max, int tag, int left, int top) {
  ui::Control* c = make(parent, ui::Kind::ScrollBar, name, "", left, top, 150, 17);
  c->min = 0;
  c->max = max;
  c->tag = tag;
  return c;
}

}  // namespace

TF_RDR1::TF_RDR1() : ui::Control(nullptr, ui::Kind::Form, "F_RDR1") {
  caption = "KMV410 Control";
  left = 0;
  top = 0;
  width = kSimpleWidth;
  height = 107 + 30;
  color = ui::kTeal;
  visible = false;
  build_controls();
  bind_events();
  FormCreate();
}

TF_RDR1::~TF_RDR1() {
  FormDestroy();
}

void TF_RDR1::build_controls() {
  using ui::Kind;
  // Channel 1.
  P_CH1 = make(this, Kind::Panel, "P_CH1", "", 1, 1, 249, 105);
  P_CH1->color = ui::kSkyBlue;
  label(P_CH1, "Label_CH1", "CH 1", 4, 4);
  RB_VHF1 = make(P_CH1, Kind::RadioButton, "RB_VHF1", "VHF", 40, 4, 44, 17);
  RB_HF1 = make(P_CH1, Kind::RadioButton, "RB_HF1", "HF1", 88, 4, 44, 17);
  RB_HF1->set_checked(true);
  CB_PreAmp = make(P_CH1, Kind::CheckBox, "CB_PreAmp", "PreAmp", 136, 4, 60, 17);
  label(P_CH1, "Label_ANT1", "ANT", 4, 28);
  C_Ant1 = combo(P_CH1, "C_Ant1", {"Off", "+12 V", "KOT7", "BEL3", "NIM1", "NIM2"}, 0, 30, 26);
  B_Through1 = make(P_CH1, Kind::ToggleButton, "B_Through1", "I----I", 92, 26, 40, 21);
  B_Through1->tag = 6;
  B_Through1->enabled = false;
  B_Through1->flat = true;
  S_CH1 = make(P_CH1, Kind::Shape, "S_CH1", "", 200, 28, 14, 14);
  S_CH1->color = ui::kGreen;
  label(P_CH1, "Label_OV1", "OV", 218, 28);
  L_TB1 = label(P_CH1, "L_TB1", "DIR", 4, 54);
  TB_Pos1 = scroll(P_CH1, "TB_Pos1", 232, 3, 30, 52);
  TB_Pos1->enabled = false;
  TB_Pos1->visible = false;
  L_Pos1 = label(P_CH1, "L_Pos1", "0", 186, 54);
  L_Pos1->visible = false;
  L_P1 = label(P_CH1, "L_P1", "\xB0", 214, 54);
  label(P_CH1, "Label_ATT1", "ATT", 4, 80);
  TB_Att1 = scroll(P_CH1, "TB_Att1", 35, 1, 30, 78);
  L_Att1 = label(P_CH1, "L_Att1", "-7", 186, 80);
  label(P_CH1, "Label_dB1", "dB", 214, 80);

  // Channel 2.
  P_CH2 = make(this, Kind::Panel, "P_CH2", "", 251, 1, 249, 105);
  P_CH2->color = ui::kSkyBlue;
  label(P_CH2, "Label_CH2", "CH 2", 4, 4);
  RB_C1 = make(P_CH2, Kind::RadioButton, "RB_C1", "CH1", 40, 4, 44, 17);
  RB_C1->set_checked(true);
  RB_HF2 = make(P_CH2, Kind::RadioButton, "RB_HF2", "HF2", 88, 4, 44, 17);
  B_Div = make(P_CH2, Kind::ToggleButton, "B_Div", "AntDiv", 136, 2, 60, 21);
  B_Div->enabled = false;  // FormCreate enables it once the settings are in
  label(P_CH2, "Label_ANT2", "ANT", 4, 28);
  C_Ant2 = combo(P_CH2, "C_Ant2", {"Off", "+12 V", "KOT7", "BEL3", "NIM1"}, 0, 30, 26);
  B_Through2 = make(P_CH2, Kind::ToggleButton, "B_Through2", "I----I", 92, 26, 40, 21);
  B_Through2->tag = 7;
  B_Through2->enabled = false;
  B_Through2->flat = true;
  S_CH2 = make(P_CH2, Kind::Shape, "S_CH2", "", 200, 28, 14, 14);
  S_CH2->color = ui::kGreen;
  label(P_CH2, "Label_OV2", "OV", 218, 28);
  L_TB2 = label(P_CH2, "L_TB2", "DIR", 4, 54);
  TB_Pos2 = scroll(P_CH2, "TB_Pos2", 232, 4, 30, 52);
  TB_Pos2->enabled = false;
  TB_Pos2->visible = false;
  L_Pos2 = label(P_CH2, "L_Pos2", "0", 186, 54);
  L_Pos2->visible = false;
  L_P2 = label(P_CH2, "L_P2", "\xB0", 214, 54);
  label(P_CH2, "Label_ATT2", "ATT", 4, 80);
  TB_Att2 = scroll(P_CH2, "TB_Att2", 35, 2, 30, 78);
  TB_Att2->enabled = false;
  L_Att2 = label(P_CH2, "L_Att2", "-7", 186, 80);
  label(P_CH2, "Label_dB2", "dB", 214, 80);

  // Control.
  P_CTRL = make(this, Kind::Panel, "P_CTRL", "", 501, 1, 196, 105);
  P_CTRL->color = ui::kSkyBlue;
  label(P_CTRL, "Label_CTRL", "CTRL", 4, 4);
  L_Firm = label(P_CTRL, "L_Firm", "KMV410B Vxxx", 34, 4);
  GB_USB = make(P_CTRL, Kind::GroupBox, "GB_USB", "", 4, 20, 50, 20);
  GB_USB->enabled = false;
  CB_USB = make(GB_USB, Kind::RadioButton, "CB_USB", "USB", 2, 2, 46, 16);
  GB_LAN = make(P_CTRL, Kind::GroupBox, "GB_LAN", "", 4, 42, 50, 20);
  GB_LAN->enabled = false;
  CB_LAN = make(GB_LAN, Kind::RadioButton, "CB_LAN", "LAN", 2, 2, 46, 16);
  L_BitsU = label(P_CTRL, "L_BitsU", "24", 60, 22);
  L_BitsU->tag = 1;
  L_BitsL = label(P_CTRL, "L_BitsL", "24", 60, 44);
  L_BitsL->tag = 1;
  E_USB = edit(P_CTRL, "E_USB", "30.000", 80, 20, 50, 6);
  E_USB->read_only = true;
  E_LAN = edit(P_CTRL, "E_LAN", "30.000", 80, 42, 50, 6);
  E_LAN->read_only = true;
  label(P_CTRL, "Label_MSs1", "MS/s", 134, 22);
  label(P_CTRL, "Label_MSs2", "MS/s", 134, 44);
  B_Adv = make(P_CTRL, Kind::Button, "B_Adv", "Advanced", 4, 64, 60, 20);
  CB_Sontop = make(P_CTRL, Kind::CheckBox, "CB_Sontop", "on top", 70, 66, 56, 17);
  label(P_CTRL, "Label_GPS", "GPS", 4, 88);
  E_GPS = edit(P_CTRL, "E_GPS", "-9999", 30, 86, 40, 5);
  label(P_CTRL, "Label_Hz", "Hz", 72, 88);
  label(P_CTRL, "Label_Temp", "Temp", 96, 88);
  E_Temp = edit(P_CTRL, "E_Temp", "+25", 126, 86, 30, 5);
  E_Temp->read_only = true;
  label(P_CTRL, "Label_C",
        "\xB0"
        "C",
        158, 88);
  // Below the top row: the firmware label with its serial number needs the whole width.
  L_Ver = label(P_CTRL, "L_Ver", "V2.11", 166, 44);
  label(P_CTRL, "Label_ExtIO", "ExtIO.DLL", 130, 66);

  // Advanced settings, outside the visible area in the simple layout.
  Panel1 = make(this, Kind::Panel, "Panel1", "", 698, 1, 692, 105);
  Panel1->color = ui::kMoneyGreen;
  RB_Cpar = make(Panel1, Kind::RadioButton, "RB_Cpar", "Parallel", 4, 4, 70, 17);
  RB_Cpar->set_checked(true);
  RB_Cdiv = make(Panel1, Kind::RadioButton, "RB_Cdiv", "Diversity", 4, 22, 70, 17);
  RB_CserU = make(Panel1, Kind::RadioButton, "RB_CserU", "Seriell Up", 4, 40, 70, 17);
  RB_CserL = make(Panel1, Kind::RadioButton, "RB_CserL", "Seriell Low", 4, 58, 70, 17);
  RB_Csep = make(Panel1, Kind::RadioButton, "RB_Csep", "Separate", 4, 76, 70, 17);
  label(Panel1, "Label_Tune", "Tune", 80, 4);
  CB_Locked = make(Panel1, Kind::CheckBox, "CB_Locked", "Locked", 110, 4, 60, 17);
  label(Panel1, "Label_F0", "CH 1", 80, 26);
  E_Freq0 = edit(Panel1, "E_Freq0", "999.000.000", 110, 24, 80, 11);
  E_Freq0->tag = 0;
  label(Panel1, "Label_Hz0", "Hz", 194, 26);
  label(Panel1, "Label_F1", "CH 2", 80, 48);
  E_Freq1 = edit(Panel1, "E_Freq1", "999.00", 110, 46, 80, 11);
  E_Freq1->tag = 1;
  E_Freq1->enabled = false;
  label(Panel1, "Label_Hz1", "Hz", 194, 48);
  label(Panel1, "Label_CLK", "CLK", 80, 72);
  SB_CLK = make(Panel1, Kind::SpinEdit, "SB_CLK", "", 110, 70, 50, 21);
  SB_CLK->min = 70;
  SB_CLK->max = 200;
  SB_CLK->max_length = 3;
  SB_CLK->set_text("125");
  SB_CLK->color = ui::kWhite;
  label(Panel1, "Label_MHz", "MHz", 162, 72);
  B_CLKSet = make(Panel1, Kind::Button, "B_CLKSet", "Set", 190, 70, 30, 21);
  CB_USB1 = make(Panel1, Kind::CheckBox, "CB_USB1", "USB1", 230, 4, 48, 17);
  C_USB1 = combo(Panel1, "C_USB1", kDecimations, kDesignDecimationIndex, 280, 2);
  CB_USB2 = make(Panel1, Kind::CheckBox, "CB_USB2", "USB2", 230, 26, 48, 17);
  C_USB2 = combo(Panel1, "C_USB2", kDecimations, kDesignDecimationIndex, 280, 24);
  CB_LAN1 = make(Panel1, Kind::CheckBox, "CB_LAN1", "LAN1", 230, 48, 48, 17);
  C_LAN1 = combo(Panel1, "C_LAN1", kDecimations, kDesignDecimationIndex, 280, 46);
  CB_LAN2 = make(Panel1, Kind::CheckBox, "CB_LAN2", "LAN2", 230, 70, 48, 17);
  C_LAN2 = combo(Panel1, "C_LAN2", kDecimations, kDesignDecimationIndex, 280, 68);
  for (ui::Control* c : {CB_USB1, CB_USB2, CB_LAN1, CB_LAN2}) c->enabled = false;
  label(Panel1, "Label_IP", "IP-Address", 350, 4);
  E_IP = edit(Panel1, "E_IP", "192.168.1.10", 410, 2, 96, 15);
  B_Set = make(Panel1, Kind::Button, "B_Set", "Set", 510, 2, 30, 21);
  B_Set->enabled = false;
  label(Panel1, "Label_SN", "S/N", 350, 28);
  E_LANSN = edit(Panel1, "E_LANSN", "0000", 410, 26, 50, 15);
  E_LANSN->enabled = false;
  B_Conn = make(Panel1, Kind::Button, "B_Conn", "Connect", 464, 26, 60, 21);
  RG_LAN = make(Panel1, Kind::GroupBox, "RG_LAN", "", 350, 50, 110, 40);
  RB_TCP = make(RG_LAN, Kind::RadioButton, "RB_TCP", "TCP", 4, 14, 46, 17);
  RB_UDP = make(RG_LAN, Kind::RadioButton, "RB_UDP", "UDP", 56, 14, 46, 17);
  label(Panel1, "Label_Adv", "Advanced", 546, 4);
  B_Update = make(Panel1, Kind::Button, "B_Update", "Update", 546, 20, 60, 21);
  B_Update->enabled = false;
  label(Panel1, "Label_Packets", "Packets", 546, 46);
  label(Panel1, "Label_Lost", "Lost", 600, 46);
  L_Packets = label(Panel1, "L_Packets", "0", 546, 62);
  L_Lost = label(Panel1, "L_Lost", "0", 600, 62);
  B_CLRU = make(Panel1, Kind::Button, "B_CLRU", "Clear", 640, 60, 40, 19);
  L_LAN_Packets = label(Panel1, "L_LAN_Packets", "0", 546, 82);
  L_LAN_Lost = label(Panel1, "L_LAN_Lost", "0", 600, 82);
  B_CLRL = make(Panel1, Kind::Button, "B_CLRL", "Clear", 640, 80, 40, 19);

  Timer1 = adopt(std::make_unique<ui::Timer>(this, "Timer1", 50, false));
  T_Update = adopt(std::make_unique<ui::Timer>(this, "T_Update", 300, true));
  Timer3 = adopt(std::make_unique<ui::Timer>(this, "Timer3", 500, false));
  Timer2 = adopt(std::make_unique<ui::Timer>(this, "Timer2", 4000, false));
}

void TF_RDR1::bind_events() {
  auto bind = [this](ui::Handler& slot, void (TF_RDR1::*handler)(ui::Control*)) {
    slot = [this, handler](ui::Control* sender) { (this->*handler)(sender); };
  };
  for (ui::Control* c : {RB_VHF1, RB_HF1, RB_C1, RB_HF2}) bind(c->on_click, &TF_RDR1::RB_VHF1Click);
  bind(CB_PreAmp->on_click, &TF_RDR1::CB_PreAmpClick);
  bind(C_Ant1->on_change, &TF_RDR1::C_Ant1Change);
  bind(C_Ant2->on_change, &TF_RDR1::C_Ant2Change);
  for (ui::Control* c : {TB_Att1, TB_Att2, TB_Pos1, TB_Pos2}) {
    bind(c->on_change, &TF_RDR1::TB_Pos1Change);
  }
  bind(B_Through1->on_click, &TF_RDR1::B_Through1Click);
  bind(B_Through2->on_click, &TF_RDR1::B_Through1Click);
  bind(B_Div->on_click, &TF_RDR1::B_DivClick);
  for (ui::Control* c : {RB_Cpar, RB_Cdiv, RB_CserU, RB_CserL}) {
    bind(c->on_click, &TF_RDR1::RB_CparClick);
  }
  bind(RB_Csep->on_click, &TF_RDR1::RB_CsepClick);
  bind(E_Freq0->on_change, &TF_RDR1::E_Freq0Change);
  bind(E_Freq1->on_change, &TF_RDR1::E_Freq0Change);
  bind(CB_Locked->on_click, &TF_RDR1::CB_LockedClick);
  bind(CB_USB1->on_click, &TF_RDR1::CB_USB1Click);
  bind(CB_USB2->on_click, &TF_RDR1::CB_USB1Click);
  bind(CB_LAN1->on_click, &TF_RDR1::CB_LAN1Click);
  bind(CB_LAN2->on_click, &TF_RDR1::CB_LAN1Click);
  bind(C_USB1->on_change, &TF_RDR1::C_USB1Change);
  bind(C_USB2->on_change, &TF_RDR1::C_USB2Change);
  bind(C_LAN1->on_change, &TF_RDR1::C_LAN1Change);
  bind(C_LAN2->on_change, &TF_RDR1::C_LAN2Change);
  bind(L_BitsU->on_dbl_click, &TF_RDR1::L_BitsUDblClick);
  bind(L_BitsL->on_dbl_click, &TF_RDR1::L_BitsLDblClick);
  bind(SB_CLK->on_change, &TF_RDR1::SB_CLKChange);
  bind(B_CLKSet->on_click, &TF_RDR1::B_CLKSetClick);
  bind(B_Conn->on_click, &TF_RDR1::B_ConnClick);
  bind(B_Set->on_click, &TF_RDR1::B_SetClick);
  bind(B_CLRU->on_click, &TF_RDR1::B_CLRUClick);
  bind(B_CLRL->on_click, &TF_RDR1::B_CLRLClick);
  bind(B_Update->on_click, &TF_RDR1::B_UpdateClick);
  bind(B_Adv->on_click, &TF_RDR1::B_AdvClick);
  bind(CB_Sontop->on_click, &TF_RDR1::CB_SontopClick);
  bind(E_GPS->on_exit, &TF_RDR1::E_GPSExit);
  bind(Timer1->on_timer, &TF_RDR1::Timer1Timer);
  bind(T_Update->on_timer, &TF_RDR1::T_UpdateTimer);
  bind(Timer3->on_timer, &TF_RDR1::Timer3Timer);
  bind(Timer2->on_timer, &TF_RDR1::Timer2Timer);
}

void TF_RDR1::FormCreate() {
  usb::g_status.clock_echo = 125;
  F_Coord = adopt(std::make_unique<TF_Coord>(this));
  F_Update = adopt(std::make_unique<TF_Update>(this));
  // The status display moves the scroll bars to the echo table: start it at the panel's values.
  usb::g_status.settings_echo[1] = static_cast<uint32_t>(TB_Att1->position());
  usb::g_status.settings_echo[2] = static_cast<uint32_t>(TB_Att2->position());
  usb::g_status.settings_echo[3] = static_cast<uint32_t>(TB_Pos1->position());
  usb::g_status.settings_echo[4] = static_cast<uint32_t>(TB_Pos2->position());
  if (settings::restore(*this) == settings::Restore::kDamaged) return;
  B_Div->enabled = true;
  E_LANSN->enabled = true;
}

void TF_RDR1::FormDestroy() {
  settings::save(*this);
  F_Coord = nullptr;
  F_Update = nullptr;
}

// The open sequence's order, also after every reopen that follows a loss of the link: the
// receiver ends in the state the panel shows.
void TF_RDR1::apply_settings() {
  TF_RDR1& f = *this;
  // Each bar's value goes out: the throttle for the user's dragging does not apply here.
  for (ui::Control* bar : {f.TB_Pos1, f.TB_Pos2, f.TB_Att1, f.TB_Att2}) {
    f.Timer1->set_enabled(false);
    f.TB_Pos1Change(bar);
  }
  if (F_Coord) F_Coord->mix_send();
  f.C_Ant1Change(f.C_Ant1);
  f.C_Ant2Change(f.C_Ant2);
  f.E_Freq0->read_only = true;
  f.E_Freq1->read_only = true;
  f.E_Freq0Change(f.E_Freq0);
  if (f.RB_Csep->checked()) {
    if (!f.CB_Locked->checked()) f.E_Freq1->enabled = true;
    f.E_Freq0Change(f.E_Freq1);
  }
  if (f.CB_Locked->checked()) f.CB_LockedClick(f.CB_Locked);
  f.lan_stream_setup();
  f.usb_stream_setup();
  f.RB_CparClick(f.RB_Cpar);
  f.TB_Att2->enabled = !f.RB_C1->checked();
  // Once open, the clock is sent only when edited; a reopened receiver needs it anyway.
  if (plugin::g_plugin.open_count.load() != 0) f.SB_CLK->color = ui::kYellow;
  f.B_CLKSetClick(f.B_CLKSet);
}

void TF_RDR1::restore_receiver() {
  apply_settings();
  E_GPSExit(E_GPS);
  if (F_Coord) F_Coord->mix_send();
}

void TF_RDR1::B_AdvClick(ui::Control*) {
  if (width < 1001) {
    width = kAdvancedWidth;
    B_Adv->caption = "Simple";
  } else {
    width = kSimpleWidth;
    B_Adv->caption = "Advanced";
  }
}

void TF_RDR1::CB_SontopClick(ui::Control*) {
  if (plugin::g_plugin.open_count.load() == 0) return;
  stay_on_top = CB_Sontop->checked();
  if (F_Coord) F_Coord->stay_on_top = CB_Sontop->checked();
}

void TF_RDR1::E_GPSExit(ui::Control*) {
  const std::string& text = E_GPS->text();
  int v = 0;
  const char* b = text.data();
  const char* e = b + text.size();
  if (b != e && *b == '+') ++b;
  auto [p, ec] = std::from_chars(b, e, v);
  if (ec != std::errc() || p != e || b == e) {
    ui::message_box("'" + text + "' is not a valid integer value", "KMV410 Control");
    return;
  }
  commands::send(commands::front_end(commands::kItemGps, static_cast<uint8_t>(v & 0xFF),
                                     static_cast<uint8_t>((v >> 8) & 0xFF)));
}

void TF_RDR1::B_UpdateClick(ui::Control*) {
  if (F_Update) F_Update->show_modal();
}

void TF_RDR1::B_CLRLClick(ui::Control*) {
  lan::g_lan.lost = 0;
}
