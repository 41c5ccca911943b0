// TF_Update: the "KMV410 Firmware Update" window.
#include "update/Update1.h"

TF_Update* F_Update = nullptr;

TF_Update::TF_Update(ui::Control* owner) : ui::Control(owner, ui::Kind::Form, "F_Update") {
  caption = "KMV410 Firmware Update";
  visible = false;
  B_Start = add(ui::Kind::Button, "B_Start");
  B_Start->caption = "Start";
}
