// Keeping the library loaded (POSIX): a reference that dlclose never drops.
#include <dlfcn.h>

#include <atomic>

#include "platform/library.h"

namespace platform {

void pin_library() {
  static std::atomic<bool> pinned{false};
  if (pinned.exchange(true)) return;
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&pin_library), &info) || !info.dli_fname) return;
  // RTLD_NOLOAD: only the copy that is already loaded (this one), never a new one.
  dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace platform
