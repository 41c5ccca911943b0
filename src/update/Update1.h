// TF_Update: the "KMV410 Firmware Update" window.
#pragma once

#include "platform/ui.h"

class TF_Update : public ui::Control {
 public:
  explicit TF_Update(ui::Control* owner);
  ui::Control* B_Start;
  // Show the window modally (headless: shown, the caller's loop keeps running).
  void show_modal() { show(); }
};

extern TF_Update* F_Update;
