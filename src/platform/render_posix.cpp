// Headless rendering (POSIX): the control model is the whole window, nothing is drawn.
#include "platform/ui.h"

namespace ui::detail {

void native_show(Control*) {}
void native_hide(Control*) {}
void native_raise(Control*) {}
void native_modal(Control*, bool) {}
void native_destroy(Control*) {}

}  // namespace ui::detail
