// Unload hook of the shared library (linked into the plug-in only).
#include "platform/library.h"
#include "platform/ui.h"

namespace {

__attribute__((destructor)) void on_unload() {
  plugin_library_detach(false);
  ui::shutdown(1000);
}

}  // namespace
