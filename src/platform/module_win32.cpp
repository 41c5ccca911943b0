// Keeping the library loaded (Windows): the module is pinned until the process ends.
#include <windows.h>

#include <atomic>

#include "platform/library.h"

namespace platform {

void pin_library() {
  static std::atomic<bool> pinned{false};
  if (pinned.exchange(true)) return;
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&pin_library), &module);
}

}  // namespace platform
