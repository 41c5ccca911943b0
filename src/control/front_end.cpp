// Front-end controls: attenuators, antennas, preamplifier.
#include "control/Form1.h"

void TF_RDR1::TB_Pos1Change(ui::Control*) {}
void TF_RDR1::CB_PreAmpClick(ui::Control*) {}
void TF_RDR1::C_Ant1Change(ui::Control*) {}
void TF_RDR1::C_Ant2Change(ui::Control*) {}
