#include "plugin_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace extio_host {

namespace {

#if defined(_WIN32)
constexpr const char* kPluginFileName = "ExtIO_KMV410B211.dll";

std::string last_error_text() {
  DWORD code = GetLastError();
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return "error " + std::to_string(code) + (s.empty() ? "" : ": " + s);
}
#else
constexpr const char* kPluginFileName = "libExtIO_KMV410B211.so";
#endif

template <typename Fn>
void bind(void* address, Fn& slot) {
  slot = reinterpret_cast<Fn>(address);
}

}  // namespace

bool is_mandatory(const std::string& name) {
  for (const char* m : kMandatoryNames) {
    if (name == m) return true;
  }
  return false;
}

PluginLibrary::~PluginLibrary() {
  unload();
}

bool PluginLibrary::load(const std::string& path) {
  unload();
#if defined(_WIN32)
  handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  if (!handle_) {
    error_ = "cannot load " + path + ": " + last_error_text();
    return false;
  }
#else
  // A name without a slash would be searched on the library path, not taken as a file.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    error_ = why ? why : "cannot load " + path;
    return false;
  }
#endif
  error_.clear();
  EntryPoints& e = entry_;
  void* addresses[21];
  for (int i = 0; i < 21; ++i) {
    addresses[i] = symbol(kExtIONames[i]);
    if (!addresses[i]) {
      (is_mandatory(kExtIONames[i]) ? missing_mandatory_ : missing_optional_)
          .push_back(kExtIONames[i]);
    }
  }
  // Same order as kExtIONames.
  bind(addresses[0], e.InitHW);
  bind(addresses[1], e.OpenHW);
  bind(addresses[2], e.StartHW);
  bind(addresses[3], e.StartHW64);
  bind(addresses[4], e.StopHW);
  bind(addresses[5], e.CloseHW);
  bind(addresses[6], e.SetHWLO);
  bind(addresses[7], e.SetHWLO64);
  bind(addresses[8], e.GetHWLO);
  bind(addresses[9], e.GetHWLO64);
  bind(addresses[10], e.GetHWSR);
  bind(addresses[11], e.GetStatus);
  bind(addresses[12], e.TuneChanged);
  bind(addresses[13], e.SetCallback);
  bind(addresses[14], e.ShowGUI);
  bind(addresses[15], e.HideGUI);
  bind(addresses[16], e.VersionInfo);
  bind(addresses[17], e.ExtIoSDRInfo);
  bind(addresses[18], e.GetAttenuators);
  bind(addresses[19], e.GetActualAttIdx);
  bind(addresses[20], e.SetAttenuators);

  void* extensions[5];
  for (int i = 0; i < 5; ++i) {
    extensions[i] = symbol(kExtIOExtensionNames[i]);
    if (!extensions[i]) missing_extensions_.push_back(kExtIOExtensionNames[i]);
  }
  // Same order as kExtIOExtensionNames.
  bind(extensions[0], e.ExtIoGetSrates);
  bind(extensions[1], e.ExtIoGetActualSrateIdx);
  bind(extensions[2], e.ExtIoSetSrate);
  bind(extensions[3], e.ExtIoGetBandwidth);
  bind(extensions[4], e.ExtIoGetFreqRanges);
  return true;
}

void PluginLibrary::unload() {
  if (handle_) {
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
  }
  handle_ = nullptr;
  entry_ = EntryPoints{};
  missing_mandatory_.clear();
  missing_optional_.clear();
  missing_extensions_.clear();
}

void* PluginLibrary::symbol(const char* name) const {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
  return dlsym(handle_, name);
#endif
}

std::string default_plugin_path() {
  std::string exe;
#if defined(_WIN32)
  char buffer[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (n > 0 && n < sizeof buffer) exe.assign(buffer, n);
  const std::string separators = "\\/";
#else
  char buffer[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) exe.assign(buffer, static_cast<size_t>(n));
  const std::string separators = "/";
#endif
  size_t cut = exe.find_last_of(separators);
  if (cut == std::string::npos) return kPluginFileName;
  return exe.substr(0, cut + 1) + kPluginFileName;
}

}  // namespace extio_host
