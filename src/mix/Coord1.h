// TF_Coord: the "Mix Channel 2" window.
#pragma once

#include "platform/ui.h"

class TF_Coord : public ui::Control {
 public:
  explicit TF_Coord(ui::Control* owner);
  ui::Control *E_Mag, *E_Phase;
  // Queue the mix coefficients for channel 2 (register 9).
  void mix_send();
};

extern TF_Coord* F_Coord;
