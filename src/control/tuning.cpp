// Tuning and channel modes.
#include "control/Form1.h"

void TF_RDR1::E_Freq0Change(ui::Control*) {}
void TF_RDR1::CB_LockedClick(ui::Control*) {}
void TF_RDR1::RB_CparClick(ui::Control*) {}
void TF_RDR1::RB_CsepClick(ui::Control*) {}
void TF_RDR1::B_DivClick(ui::Control*) {}
void TF_RDR1::RB_VHF1Click(ui::Control*) {}
void TF_RDR1::B_Through1Click(ui::Control*) {}
void TF_RDR1::antenna_tuning_follow_up(int64_t, int, bool) {}
