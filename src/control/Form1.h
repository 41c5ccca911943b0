// TF_RDR1: the control panel "KMV410 Control" as a control model with its handlers.
#pragma once

#include <cstdint>
#include <string>

#include "control/stream_format.h"
#include "platform/ui.h"

class TF_RDR1 : public ui::Control {
 public:
  // Builds every control, binds the events and runs FormCreate.
  TF_RDR1();
  // Runs FormDestroy (writes the settings file), then frees the controls.
  ~TF_RDR1() override;

  // Channel 1 panel.
  ui::Control *P_CH1, *RB_VHF1, *RB_HF1, *CB_PreAmp, *C_Ant1, *B_Through1, *S_CH1, *L_TB1, *TB_Pos1,
      *L_Pos1, *L_P1, *TB_Att1, *L_Att1;
  // Channel 2 panel.
  ui::Control *P_CH2, *RB_C1, *RB_HF2, *B_Div, *C_Ant2, *B_Through2, *S_CH2, *L_TB2, *TB_Pos2,
      *L_Pos2, *L_P2, *TB_Att2, *L_Att2;
  // Control panel.
  ui::Control *P_CTRL, *L_Firm, *GB_USB, *CB_USB, *GB_LAN, *CB_LAN, *L_BitsU, *L_BitsL, *E_USB,
      *E_LAN, *B_Adv, *CB_Sontop, *E_GPS, *E_Temp, *L_Ver;
  // Advanced settings.
  ui::Control *Panel1, *RB_Cpar, *RB_Cdiv, *RB_CserU, *RB_CserL, *RB_Csep, *CB_Locked, *E_Freq0,
      *E_Freq1, *SB_CLK, *B_CLKSet, *CB_USB1, *C_USB1, *CB_USB2, *C_USB2, *CB_LAN1, *C_LAN1,
      *CB_LAN2, *C_LAN2, *E_IP, *B_Set, *E_LANSN, *B_Conn, *RG_LAN, *RB_TCP, *RB_UDP, *B_Update,
      *L_Packets, *L_Lost, *B_CLRU, *L_LAN_Packets, *L_LAN_Lost, *B_CLRL;
  // Timers.
  ui::Timer *Timer1, *T_Update, *Timer3, *Timer2;

  // Lifecycle and persistence.
  void FormCreate();
  void FormDestroy();
  void B_AdvClick(ui::Control* Sender);
  void CB_SontopClick(ui::Control* Sender);
  void E_GPSExit(ui::Control* Sender);
  void B_UpdateClick(ui::Control* Sender);
  void B_CLRLClick(ui::Control* Sender);

  // Tuning and channel modes.
  void E_Freq0Change(ui::Control* Sender);
  void CB_LockedClick(ui::Control* Sender);
  void RB_CparClick(ui::Control* Sender);
  void RB_CsepClick(ui::Control* Sender);
  void B_DivClick(ui::Control* Sender);
  void RB_VHF1Click(ui::Control* Sender);
  void B_Through1Click(ui::Control* Sender);

  // Streams, rates, clock and width.
  void CB_USB1Click(ui::Control* Sender);
  void CB_LAN1Click(ui::Control* Sender);
  void C_USB1Change(ui::Control* Sender);
  void C_USB2Change(ui::Control* Sender);
  void C_LAN1Change(ui::Control* Sender);
  void C_LAN2Change(ui::Control* Sender);
  void L_BitsUDblClick(ui::Control* Sender);
  void L_BitsLDblClick(ui::Control* Sender);
  void SB_CLKChange(ui::Control* Sender);
  void B_CLKSetClick(ui::Control* Sender);

  // Every panel setting to the receiver, in the open sequence's order.
  void apply_settings();
  // After a reopen that followed a loss of the link: the receiver may have been power-cycled, so
  // it gets everything the open sequence gives it (the settings, then the GPS value and the mix).
  void restore_receiver();

  // The stream set-ups (handlers, open sequences and the status display run them).
  void usb_stream_setup();
  void lan_stream_setup();
  // The decimation selector of the stream whose rate GetHWSR reports.
  ui::Control* reported_rate_selector() const;
  // The per-stream rates (Hz) a host may offer for that stream: one per decimation item, each as
  // the set-up would deliver it once the item is picked; and the item shown now. No choices
  // (count 0) while a fixed width's caption is not a number.
  struct RateChoices {
    int count;
    int current;
    int32_t rates[control::kDecimationItems];
  };
  RateChoices rate_choices() const;
  // Antenna tuning follow-up: f in Hz, channel mask bit 0 channel 1, bit 1 channel 2.
  void antenna_tuning_follow_up(int64_t f, int mask, bool force);

  // Front end.
  void TB_Pos1Change(ui::Control* Sender);
  void CB_PreAmpClick(ui::Control* Sender);
  void C_Ant1Change(ui::Control* Sender);
  void C_Ant2Change(ui::Control* Sender);

  // LAN discovery and addressing.
  void B_ConnClick(ui::Control* Sender);
  void B_SetClick(ui::Control* Sender);

  // USB link.
  void B_CLRUClick(ui::Control* Sender);
  void Timer2Timer(ui::Control* Sender);

  // Status display.
  void T_UpdateTimer(ui::Control* Sender);
  void Timer1Timer(ui::Control* Sender);
  void Timer3Timer(ui::Control* Sender);

  // ---- Receiver-control helpers (tuning.cpp, streams.cpp, front_end.cpp) ----
  // Mode byte of the selected channel mode: Parallel 1, Diversity 3, Seriell Low 2, Seriell Up 10,
  // Separate 0.
  uint8_t selected_mode_byte() const;
  // Parallel, Seriell Up or Seriell Low selected.
  bool channel_sharing_mode() const;
  // Channel 2 takes channel 1's signal: RB_C1 checked in a channel-sharing mode.
  bool coupled() const;
  // Stream set-up with target 3: only the channel mode.
  void channel_mode_send();
  // Front-end item 5 with the input flags, then the coupled attenuator re-send.
  void front_end_flags_send();
  // The toolkit's report of a text that is not an integer.
  static void conversion_error(const std::string& text);

 private:
  void build_controls();
  void bind_events();
};

// The panel; nullptr until the first OpenHW creates it.
extern TF_RDR1* F_RDR1;

// Layout widths of the panel window.
constexpr int kSimpleWidth = 713;
constexpr int kAdvancedWidth = 1406;
