// TF_Coord: the "Mix Channel 2" window.
#include "mix/Coord1.h"

TF_Coord* F_Coord = nullptr;

TF_Coord::TF_Coord(ui::Control* owner) : ui::Control(owner, ui::Kind::Form, "F_Coord") {
  caption = "Mix Channel 2";
  visible = false;
  E_Mag = add(ui::Kind::Edit, "E_Mag");
  E_Mag->set_text("1,000");
  E_Mag->read_only = true;
  E_Mag->max_length = 11;
  E_Phase = add(ui::Kind::Edit, "E_Phase");
  E_Phase->set_text("0,00");
  E_Phase->read_only = true;
  E_Phase->max_length = 11;
}

void TF_Coord::mix_send() {}
