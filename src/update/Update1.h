// TF_Update: the "KMV410 Firmware Update" window.
#pragma once

#include "platform/ui.h"

class TF_Update : public ui::Control {
 public:
  explicit TF_Update(ui::Control* owner);
  ui::Control* B_Start;
};

extern TF_Update* F_Update;
