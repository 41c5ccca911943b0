// Unload and exit hooks of the shared library (linked into the plug-in only).
//
// A host may return from main, or dlclose the library, with the plug-in still open. Either way the
// plug-in is closed first (settings written, tasks and the user-interface thread stopped) while
// everything it uses still exists: the exit handler is registered after the library's statics
// were made, so it runs before they are destroyed (at exit, and at dlclose alike).
#include "platform/library.h"
#include "platform/loop_internal.h"
#include "platform/tasks.h"
#include "platform/ui.h"

// The exit handler belongs to this library (its DSO handle): at dlclose it runs and is gone, so
// a process that exits later never calls into unmapped code. Plain atexit() does not say which
// library a handler belongs to wherever it is intercepted (sanitizer runtimes).
extern "C" {
extern void* __dso_handle;
int __cxa_atexit(void (*fn)(void*), void* arg, void* dso);
}

namespace {

void close_for_good() {
  bool given_up = plugin_library_detach(false, false);
  bool ui_ended = ui::shutdown(1000);
  if (given_up || !ui_ended || tasks::threads_alive() > 0) {
    platform::pin_library();
  } else {
    ui::detail::release_statics();
  }
}

__attribute__((constructor)) void on_load() {
  __cxa_atexit([](void*) { close_for_good(); }, nullptr, &__dso_handle);
}

__attribute__((destructor)) void on_unload() {
  close_for_good();
}

}  // namespace
