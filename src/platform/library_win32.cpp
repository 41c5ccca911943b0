// DLL entry point (linked into the plug-in only).
#include <windows.h>

#include "platform/library.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // Pinning from here is too late for this unload; a task given up earlier pinned it already.
  if (reason == DLL_PROCESS_DETACH) plugin_library_detach(reserved != nullptr, true);
  return TRUE;
}
