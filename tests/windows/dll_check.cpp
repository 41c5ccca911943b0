// Loads the plug-in DLL the way a Windows SDR host does and checks what every host relies on
// first: all 21 names and the extensions, InitHW, GetAttenuators, GetHWSR and what the
// extensions answer before an open; with --unload, that unloading it leaves nothing behind that
// calls into it. Opens nothing. Exit 0 = all good.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/ExtIO_KMV410B211.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

std::string beside_this_program(const char* file) {
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  size_t cut = s.find_last_of("\\/");
  return (cut == std::string::npos ? std::string() : s.substr(0, cut + 1)) + file;
}

template <typename Fn>
Fn lookup(HMODULE dll, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

std::vector<HWND> message_only_windows_of_this_thread() {
  std::vector<HWND> found;
  HWND w = nullptr;
  for (int i = 0; i < 256 && (w = FindWindowExA(HWND_MESSAGE, w, nullptr, nullptr)); ++i) {
    if (GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) found.push_back(w);
  }
  return found;
}

// A host unloads the plug-in and goes on running its message loop: no window may be left whose
// procedure lies in the unloaded DLL (the next message to it would crash the host).
int check_unload(const std::string& path) {
  auto before = message_only_windows_of_this_thread();
  HMODULE dll = LoadLibraryA(path.c_str());
  if (!dll) {
    std::printf("FAIL: LoadLibraryA(%s): error %lu\n", path.c_str(), GetLastError());
    return 1;
  }
  auto get_sr = lookup<decltype(&GetHWSR)>(dll, "GetHWSR");
  check(get_sr && get_sr() == 7812500, "GetHWSR (the plug-in now runs on this thread)");
  std::vector<HWND> created;
  for (HWND w : message_only_windows_of_this_thread()) {
    if (std::find(before.begin(), before.end(), w) == before.end()) created.push_back(w);
  }
  check(FreeLibrary(dll) != 0, "FreeLibrary");
  int left = 0;
  for (HWND w : created) left += IsWindow(w) ? 1 : 0;
  check(left == 0, "no window of the plug-in is left after FreeLibrary");
  MSG msg;
  for (int i = 0; i < 100 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    DispatchMessageA(&msg);
  }
  std::printf("%s\n", failures == 0 ? "PASS" : "FAILED");
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool unload = argc > 1 && std::strcmp(argv[1], "--unload") == 0;
  int path_arg = unload ? 2 : 1;
  std::string path = argc > path_arg ? argv[path_arg] : beside_this_program("ExtIO_KMV410B211.dll");
  if (unload) return check_unload(path);
  HMODULE dll = LoadLibraryA(path.c_str());
  if (!dll) {
    std::printf("FAIL: LoadLibraryA(%s): error %lu\n", path.c_str(), GetLastError());
    return 1;
  }

  int found = 0;
  for (const char* name : kExtIONames) {
    bool present = GetProcAddress(dll, name) != nullptr;
    if (!present) std::printf("FAIL: %s not exported\n", name);
    found += present ? 1 : 0;
  }
  check(found == 21, "all 21 entry points found by name");
  found = 0;
  for (const char* name : kExtIOExtensionNames) {
    bool present = GetProcAddress(dll, name) != nullptr;
    if (!present) std::printf("FAIL: %s not exported\n", name);
    found += present ? 1 : 0;
  }
  check(found == 5, "all 5 extensions found by name");
  // A decorated __stdcall name would mean the host's by-name lookup only works by luck.
  check(GetProcAddress(dll, "InitHW@12") == nullptr && GetProcAddress(dll, "_InitHW@12") == nullptr,
        "no decorated names");
  check(GetProcAddress(dll, "ExtIoGetFreqRanges@12") == nullptr &&
            GetProcAddress(dll, "_ExtIoGetFreqRanges@12") == nullptr,
        "no decorated extension names");

  auto init = lookup<decltype(&InitHW)>(dll, "InitHW");
  auto get_att = lookup<decltype(&GetAttenuators)>(dll, "GetAttenuators");
  auto get_sr = lookup<decltype(&GetHWSR)>(dll, "GetHWSR");
  if (!init || !get_att || !get_sr) {
    std::printf("FAIL: cannot go on without InitHW, GetAttenuators and GetHWSR\n");
    return 1;
  }

  char name[32];
  char model[32];
  std::memset(name, 'x', sizeof name);
  std::memset(model, 'x', sizeof model);
  int32_t type = 0;
  bool ok = init(name, model, &type);
  check(ok, "InitHW returns true");
  check(std::strcmp(name, "KMV410") == 0, "InitHW name \"KMV410\"");
  check(std::strcmp(model, "KMV410B2") == 0, "InitHW model \"KMV410B2\"");
  check(name[7] == 'x' && model[9] == 'x', "InitHW writes nothing past the terminators");
  check(type == 5, "InitHW type 5");

  const float untouched = 123.5f;
  float att = untouched;
  check(get_att(0, &att) == 0 && att == 7.0f, "GetAttenuators(0) gives +7.0");
  att = untouched;
  check(get_att(35, &att) == 0 && att == -28.0f, "GetAttenuators(35) gives -28.0");
  att = untouched;
  check(get_att(36, &att) == -1 && att == untouched, "GetAttenuators(36) is -1, writes nothing");
  att = untouched;
  check(get_att(-1, &att) == -1 && att == untouched, "GetAttenuators(-1) is -1, writes nothing");

  check(get_sr() == 7812500, "GetHWSR gives 7812500");

  // Before an open: no rates to offer, nothing to pick; the LO range needs no receiver.
  auto get_srates = lookup<decltype(&ExtIoGetSrates)>(dll, "ExtIoGetSrates");
  auto get_index = lookup<decltype(&ExtIoGetActualSrateIdx)>(dll, "ExtIoGetActualSrateIdx");
  auto set_srate = lookup<decltype(&ExtIoSetSrate)>(dll, "ExtIoSetSrate");
  auto get_ranges = lookup<decltype(&ExtIoGetFreqRanges)>(dll, "ExtIoGetFreqRanges");
  if (get_srates && get_index && set_srate && get_ranges) {
    double rate = -7;
    check(get_srates(0, &rate) == -1 && rate == -7, "ExtIoGetSrates(0) is -1 before an open");
    check(get_index() == -1 && set_srate(0) == -1, "no current rate and no pick before an open");
    int32_t low = -1, high = -1;
    check(get_ranges(0, &low, &high) == 0 && low == 100000 && high == 250000000,
          "ExtIoGetFreqRanges(0) gives 100000 .. 250000000");
    low = high = -1;
    check(get_ranges(1, &low, &high) == -1 && get_ranges(0, nullptr, &high) == -1 && low == -1 &&
              high == -1,
          "ExtIoGetFreqRanges: one range only, no null pointers, nothing written");
  }

  FreeLibrary(dll);
  std::printf("%s\n", failures == 0 ? "PASS" : "FAILED");
  return failures == 0 ? 0 : 1;
}
