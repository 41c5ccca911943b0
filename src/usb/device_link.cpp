// USB device link: open, identify and reopen the receiver.
#include "usb/device_link.h"

#include "control/Form1.h"

namespace usb {

LinkState g_link;
std::atomic<uint32_t> g_command_sequence{0};

void count_devices() {
  uint32_t count = 0;
  if (bridge::device_count(&count) != bridge::kOk) count = 0;
  g_link.device_count = count;
}

void open_sequence() {}

}  // namespace usb

void TF_RDR1::B_CLRUClick(ui::Control*) {}
void TF_RDR1::Timer2Timer(ui::Control*) { Timer2->set_enabled(false); }
