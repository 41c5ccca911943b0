// LAN discovery and addressing.
#include "control/Form1.h"

void TF_RDR1::B_ConnClick(ui::Control*) {}
void TF_RDR1::B_SetClick(ui::Control*) {}
