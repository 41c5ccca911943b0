// Win32 backend of the bridge loader: FTD3XX.DLL, every operation imported by ordinal.
#include <windows.h>

#include <string>

#include "platform/bridge_internal.h"

namespace bridge::detail {
namespace {

constexpr const char* kLibraryName = "FTD3XX.DLL";

HMODULE g_library = nullptr;  // guarded by the loader's lock

// The directory of the module that contains this code (the plug-in DLL), with a trailing
// backslash; empty when unknown.
std::string own_directory() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&own_directory), &self)) {
    return {};
  }
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string dir(path, n);
  const size_t slash = dir.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
}

HMODULE open_library() {
  // A copy the host already loaded, then the one beside the plug-in, then the normal search.
  if (GetModuleHandleA(kLibraryName)) return LoadLibraryA(kLibraryName);
  const std::string dir = own_directory();
  if (!dir.empty()) {
    if (HMODULE lib =
            LoadLibraryExA((dir + kLibraryName).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
      return lib;
    }
  }
  return LoadLibraryA(kLibraryName);
}

template <typename Fn>
bool find(HMODULE lib, Ordinal ordinal, Fn& fn) {
  fn =
      reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib, MAKEINTRESOURCEA(ordinal))));
  return fn != nullptr;
}

}  // namespace

bool load_library(Table& t) {
  HMODULE lib = open_library();
  if (!lib) return false;
  const bool all =
      find(lib, kOrdDeviceCount, t.device_count) && find(lib, kOrdOpen, t.open) &&
      find(lib, kOrdClose, t.close) && find(lib, kOrdDeviceSetting, t.device_setting) &&
      find(lib, kOrdPipeTimeout, t.pipe_timeout) && find(lib, kOrdReadPipe, t.read_pipe) &&
      find(lib, kOrdRequeueRead, t.requeue_read) && find(lib, kOrdWritePipe, t.write_pipe) &&
      find(lib, kOrdResult, t.result) && find(lib, kOrdPrepareOverlapped, t.prepare_overlapped) &&
      find(lib, kOrdReleaseOverlapped, t.release_overlapped) &&
      find(lib, kOrdStreamOn, t.stream_on) && find(lib, kOrdStreamOff, t.stream_off) &&
      find(lib, kOrdAbortPipe, t.abort_pipe) && find(lib, kOrdDeviceAbort, t.device_abort);
  if (!all) {
    FreeLibrary(lib);
    return false;
  }
  g_library = lib;
  return true;
}

void unload_library() {
  if (g_library) FreeLibrary(g_library);
  g_library = nullptr;
}

void close_on_own_thread(FnClose close, Handle h) {
  // The close has the shape of a thread's start routine (one pointer in, a 32-bit status out,
  // the system's calling convention), so the thread runs nothing but the vendor's close; it
  // starts once the loader lock is released.
  HANDLE t =
      CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(close), h, 0, nullptr);
  if (t) CloseHandle(t);
}

}  // namespace bridge::detail
