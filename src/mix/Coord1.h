// TF_Coord: the "Mix Channel 2" window. In Diversity, channel 2 is mixed into channel 1 with the
// magnitude and phase set here: a marker dragged over a dB / degree plane, spin buttons and the
// mouse wheel change the two numbers, and the mix send queues them as register 9.
//
// The texts of E_Mag and E_Phase are the model: every handler reads them back.
#pragma once

#include <cstdint>

#include "platform/ui.h"

namespace mix {

// Process-wide state of the mix send (user-interface thread only).
struct State {
  // Words of the last pair sent (queued, or dropped at the queue cap). (0, 0) is a pair no
  // computation gives, so the first send always goes out. Kept for the whole process, also
  // across reopenings.
  int32_t last_magnitude = 0;
  int32_t last_phase = 0;
};
extern State g_mix;

}  // namespace mix

class TF_Coord : public ui::Control {
 public:
  // Builds every control at its design position and binds the events. Owned by the control
  // panel, which the mix send reads for the channel mode.
  explicit TF_Coord(ui::Control* owner);

  // The plane and its marker (dot and concentric ring).
  ui::Control *S_Coord, *S_Dot, *S_Circle;
  // Magnitude: edit with spin button inside a wheel box, step resolution.
  ui::Control *Label23, *ScrollBox1, *E_Mag, *SB_Mag, *RG_MagRes;
  // Phase.
  ui::Control *Label24, *ScrollBox2, *E_Phase, *SB_Phase, *RG_PhaseRes;

  void S_CoordMouseMove(ui::Control* Sender, ui::ShiftState Shift, int X, int Y);
  void SB_MagDownClick(ui::Control* Sender);
  void SB_MagUpClick(ui::Control* Sender);
  void SB_PhaseDownClick(ui::Control* Sender);
  void SB_PhaseUpClick(ui::Control* Sender);
  void ScrollBox1MouseWheelDown(ui::Control* Sender, bool* Handled);
  void ScrollBox1MouseWheelUp(ui::Control* Sender, bool* Handled);
  void ScrollBox2MouseWheelDown(ui::Control* Sender, bool* Handled);
  void ScrollBox2MouseWheelUp(ui::Control* Sender, bool* Handled);
  // Move the marker to the values; nothing is sent.
  void E_MagChange(ui::Control* Sender);
  void E_PhaseChange(ui::Control* Sender);

  // Queue the channel-2 mix coefficients (register 9): the values shown in Diversity, the
  // neutral pair otherwise. Only while the plug-in is open, only when the pair differs from the
  // last one sent, and in Diversity only while the queue holds fewer than 6 entries.
  void mix_send();

 private:
  void build_controls();
  void bind_events();
  void magnitude_step(bool up);
  void phase_step(bool up);
  void set_marker_left(int left);
  void set_marker_top(int top);
};

extern TF_Coord* F_Coord;
