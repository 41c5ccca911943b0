// Status polling and display: the panel's timers.
#include "control/Form1.h"
#include "plugin/plugin_state.h"

void TF_RDR1::T_UpdateTimer(ui::Control*) {}

void TF_RDR1::Timer1Timer(ui::Control*) { Timer1->set_enabled(false); }

void TF_RDR1::Timer3Timer(ui::Control*) {
  plugin::g_plugin.sr_ack = 0;
  plugin::g_plugin.lo_ack = 0;
  Timer3->set_enabled(false);
}
