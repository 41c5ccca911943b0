#include "simulator.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "plugin_library.h"

namespace extio_host {

namespace {

#if defined(_WIN32)
constexpr const char* kSimFile = "sim\\FTD3XX.dll";
void* open_global(const std::string& path) {
  return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
}
void* lookup(void* lib, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(lib), name));
}
#else
constexpr const char* kSimFile = "sim/libKMV410Bridge.so";
// RTLD_GLOBAL and kept loaded: the plug-in's bare-name lookup then resolves to this copy.
void* open_global(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
}
void* lookup(void* lib, const char* name) {
  return dlsym(lib, name);
}
#endif

template <typename Fn>
bool bind(void* lib, const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(lookup(lib, name));
  return slot != nullptr;
}

}  // namespace

bool Simulator::load(const std::string& path, std::string& error) {
  void* lib = open_global(path);
  if (!lib) {
    error = "cannot load the simulator " + path;
    return false;
  }
  bool ok = bind(lib, "KMVSIM_Reset", Reset) && bind(lib, "KMVSIM_GetState", GetState) &&
            bind(lib, "KMVSIM_SetTestPattern", SetTestPattern) &&
            bind(lib, "KMVSIM_SetRealTime", SetRealTime) &&
            bind(lib, "KMVSIM_SetPresent", SetPresent);
  if (!ok) error = path + " lacks the simulator's control functions";
  return ok;
}

uint64_t Simulator::dropped_blocks() const {
  KMVSIM_State s{};
  s.size = sizeof(s);
  return GetState && GetState(&s) ? s.blocks_dropped : 0;
}

std::string default_simulator_path() {
  std::string plugin = default_plugin_path();
  size_t slash = plugin.find_last_of("/\\");
  std::string dir = slash == std::string::npos ? "." : plugin.substr(0, slash);
  return dir + "/" + kSimFile;
}

}  // namespace extio_host
