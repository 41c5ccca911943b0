// Output streams, rates, clock and sample width.
#include "control/Form1.h"
#include "plugin/callbacks.h"

void TF_RDR1::CB_USB1Click(ui::Control*) {}
void TF_RDR1::CB_LAN1Click(ui::Control*) {}
void TF_RDR1::C_USB1Change(ui::Control*) {}
void TF_RDR1::C_USB2Change(ui::Control*) {}
void TF_RDR1::C_LAN1Change(ui::Control*) {}
void TF_RDR1::C_LAN2Change(ui::Control*) {}
void TF_RDR1::L_BitsUDblClick(ui::Control*) {}
void TF_RDR1::L_BitsLDblClick(ui::Control*) {}
void TF_RDR1::SB_CLKChange(ui::Control*) {}
void TF_RDR1::B_CLKSetClick(ui::Control*) {}
void TF_RDR1::usb_stream_setup() { plugin::bind_streams(); }
void TF_RDR1::lan_stream_setup() { plugin::bind_streams(); }
