// TUSBTask: the USB stream task.
#pragma once

namespace usb {

// Start TUSBTask on the worker pool unless one runs (user-interface thread).
void start_usb_task();

}  // namespace usb
