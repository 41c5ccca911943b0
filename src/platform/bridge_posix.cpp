// POSIX backend of the bridge loader: dlopen by name, operations by fixed symbol names.
#include <dlfcn.h>

#include <string>

#include "platform/bridge_internal.h"

namespace bridge::detail {
namespace {

void* g_library = nullptr;  // guarded by the loader's lock

// The directory of the module that contains this code (the plug-in, or a program linking the
// platform statically), with a trailing slash; empty when unknown.
std::string own_directory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&own_directory), &info) == 0 || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void* open_library() {
  // 1. A library with this SONAME that the host already loaded (a test or tool loading the
  //    simulator by full path): a bare name matches it, and RTLD_NOLOAD never loads a new one.
  if (void* lib = dlopen(kBridgeLibraryName, RTLD_NOW | RTLD_NOLOAD)) return lib;
  // 2. Beside the plug-in.
  const std::string dir = own_directory();
  if (!dir.empty()) {
    if (void* lib = dlopen((dir + kBridgeLibraryName).c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
  }
  // 3. The dynamic loader's own search.
  return dlopen(kBridgeLibraryName, RTLD_NOW | RTLD_LOCAL);
}

template <typename Fn>
bool find(void* lib, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(dlsym(lib, name));
  return fn != nullptr;
}

}  // namespace

bool load_library(Table& t) {
  void* lib = open_library();
  if (!lib) return false;
  const bool all =
      find(lib, "KMVB_DeviceCount", t.device_count) && find(lib, "KMVB_Open", t.open) &&
      find(lib, "KMVB_Close", t.close) && find(lib, "KMVB_DeviceSetting", t.device_setting) &&
      find(lib, "KMVB_PipeTimeout", t.pipe_timeout) && find(lib, "KMVB_ReadPipe", t.read_pipe) &&
      find(lib, "KMVB_RequeueRead", t.requeue_read) && find(lib, "KMVB_WritePipe", t.write_pipe) &&
      find(lib, "KMVB_Result", t.result) &&
      find(lib, "KMVB_PrepareOverlapped", t.prepare_overlapped) &&
      find(lib, "KMVB_ReleaseOverlapped", t.release_overlapped) &&
      find(lib, "KMVB_StreamOn", t.stream_on) && find(lib, "KMVB_StreamOff", t.stream_off) &&
      find(lib, "KMVB_AbortPipe", t.abort_pipe) && find(lib, "KMVB_DeviceAbort", t.device_abort);
  if (!all) {
    dlclose(lib);
    return false;
  }
  g_library = lib;
  return true;
}

void unload_library() {
  if (g_library) dlclose(g_library);
  g_library = nullptr;
}

void close_on_own_thread(FnClose close, Handle h) {
  close(h);  // no loader lock to fear here
}

}  // namespace bridge::detail
