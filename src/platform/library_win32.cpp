// DLL entry point (linked into the plug-in only).
#include <windows.h>

#include "platform/library.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) plugin_library_detach(reserved != nullptr);
  return TRUE;
}
