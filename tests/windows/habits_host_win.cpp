// A Windows host with habits the plug-in must survive, against the simulator's FTD3XX.dll (in
// sim\ beside this program, loaded first so that the plug-in's loader finds that copy). Like a
// host, this thread is the plug-in's user-interface thread and runs its message loop while it
// waits. Exit status 0 when all went as expected; a crash shows as a failing status.
//   callback  exports and then CloseHW from inside the sample callback
//   unload    FreeLibrary while streaming, without CloseHW, then load and stream again
//   exit      return from main while streaming, without CloseHW (the settings file is written)
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "plugin/ExtIO_KMV410B211.h"

namespace {

std::atomic<int> g_blocks{0};
std::atomic<bool> g_close_from_callback{false};
std::atomic<long long> g_slowest_ms{0};
std::atomic<bool> g_closed{false};
std::atomic<int> g_after_close{0};
decltype(&CloseHW) g_close = nullptr;
decltype(&GetHWLO64) g_get_lo = nullptr;
decltype(&GetHWSR) g_get_sr = nullptr;

std::string beside_this_program(const char* file) {
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  size_t cut = s.find_last_of("\\/");
  return (cut == std::string::npos ? std::string() : s.substr(0, cut + 1)) + file;
}

void host_callback(int32_t count, int32_t, float, void*) {
  if (count < 0) return;
  ++g_blocks;
  if (g_closed.load()) ++g_after_close;
  if (g_get_lo) {
    ULONGLONG start = GetTickCount64();
    g_get_lo();
    g_get_sr();
    long long took = static_cast<long long>(GetTickCount64() - start);
    if (took > g_slowest_ms.load()) g_slowest_ms = took;
  }
  if (g_close_from_callback.exchange(false)) {
    g_close();
    g_closed = true;
  }
}

// The host's message loop, for ms or until cond() holds.
template <class F>
bool pump_until(int ms, F cond) {
  ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
  while (!cond() && GetTickCount64() < end) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return cond();
}

struct Plugin {
  HMODULE dll = nullptr;
  decltype(&OpenHW) open = nullptr;
  decltype(&StartHW64) start = nullptr;
  decltype(&SetCallback) set_callback = nullptr;
  decltype(&GetActualAttIdx) att_index = nullptr;

  template <class Fn>
  Fn get(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
  }
  bool load() {
    dll = LoadLibraryA(beside_this_program("ExtIO_KMV410B211.dll").c_str());
    if (!dll) return false;
    open = get<decltype(open)>("OpenHW");
    start = get<decltype(start)>("StartHW64");
    set_callback = get<decltype(set_callback)>("SetCallback");
    att_index = get<decltype(att_index)>("GetActualAttIdx");
    g_close = get<decltype(g_close)>("CloseHW");
    return open && start && set_callback && att_index && g_close;
  }
  bool stream() {
    set_callback(&host_callback);
    if (!open() || start(7000000) != 130560) return false;
    int seen = g_blocks.load();
    return pump_until(8000, [&] { return g_blocks.load() >= seen + 3; });
  }
};

int fail(const char* what) {
  std::printf("FAIL: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 2) return fail("usage: habits_host_win callback|unload|exit");
  std::string mode = argv[1];
  if (!LoadLibraryA(beside_this_program("sim\\FTD3XX.dll").c_str())) return fail("no simulator");
  Plugin p;
  if (!p.load()) return fail("cannot load the plug-in");
  if (!p.stream()) return fail("no blocks");

  if (mode == "callback") {
    g_get_lo = p.get<decltype(g_get_lo)>("GetHWLO64");
    g_get_sr = p.get<decltype(g_get_sr)>("GetHWSR");
    g_close_from_callback = true;
    if (!pump_until(3000, [] { return g_closed.load(); }))
      return fail("no CloseHW from the callback");
    // The teardown follows on this thread's loop: the panel is gone.
    if (!pump_until(5000, [&] { return p.att_index() == -1; })) return fail("still open");
    pump_until(300, [] { return false; });
    std::printf("slowest export from the callback: %lld ms; callbacks after CloseHW: %d\n",
                g_slowest_ms.load(), g_after_close.load());
    if (g_slowest_ms.load() > 100) return fail("an export waited");
    if (g_after_close.load() != 0) return fail("a callback after CloseHW");
    g_get_lo = nullptr;
    if (!p.stream()) return fail("no blocks after opening again");
    g_close();
    FreeLibrary(p.dll);
    std::printf("PASS\n");
    return 0;
  }
  if (mode == "unload") {
    std::printf("streaming; FreeLibrary without CloseHW\n");
    if (!FreeLibrary(p.dll)) return fail("FreeLibrary");
    std::printf("unloaded\n");
    pump_until(1500, [] { return false; });  // anything of ours left running would crash now
    int after = g_blocks.load();
    pump_until(300, [] { return false; });
    if (g_blocks.load() != after) return fail("blocks after the unload");
    if (!p.load()) return fail("cannot load the plug-in again");
    if (!p.stream()) return fail("no blocks after loading again");
    g_close();
    FreeLibrary(p.dll);
    std::printf("PASS\n");
    return 0;
  }
  if (mode == "exit") {
    std::printf("returning from main with the plug-in open\n");
    return 0;
  }
  return fail("unknown mode");
}
