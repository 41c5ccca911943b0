// TUSBTask: the USB stream task.
#include "usb/Usbtask1.h"

namespace usb {

void start_usb_task() {}

}  // namespace usb
