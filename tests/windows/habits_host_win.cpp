// A Windows host with habits the plug-in must survive, against the simulator's FTD3XX.dll (in
// sim\ beside this program, loaded first so that the plug-in's loader finds that copy). Like a
// host, this thread is the plug-in's user-interface thread and runs its message loop while it
// waits. Exit status 0 when all went as expected; a crash shows as a failing status.
//   callback  exports and then CloseHW from inside the sample callback
//   unload    FreeLibrary while streaming, without CloseHW, then load and stream again
//   exit      return from main while streaming, without CloseHW (the settings file is written)
//   rates     the rate list, a pick from this thread and one from inside the sample callback,
//             each reaching the simulator and told with 100; bad picks change nothing
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "kmvsim.h"
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

// Mode rates: notifications 100 with the rate read back, and one pick from a sample callback.
decltype(&GetHWSR) g_read_rate = nullptr;
std::atomic<int> g_rate_notes{0};
std::atomic<int32_t> g_noted_rate{0};
decltype(&ExtIoSetSrate) g_pick = nullptr;
std::atomic<int32_t> g_pick_in_block{-1};
std::atomic<long long> g_pick_ms{-1};

void host_callback(int32_t count, int32_t status, float, void*) {
  if (count < 0) {
    if (status == 100 && g_read_rate) {
      g_noted_rate = g_read_rate();
      ++g_rate_notes;
    }
    return;
  }
  ++g_blocks;
  int32_t pick = g_pick_in_block.exchange(-1);
  if (pick >= 0) {
    ULONGLONG start = GetTickCount64();
    g_pick(pick);
    g_pick_ms = static_cast<long long>(GetTickCount64() - start);
  }
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

KMVSIM_State sim_state(HMODULE sim) {
  KMVSIM_State s{};
  s.size = sizeof s;
  auto get = reinterpret_cast<decltype(&KMVSIM_GetState)>(
      reinterpret_cast<void*>(GetProcAddress(sim, "KMVSIM_GetState")));
  if (get) get(&s);
  return s;
}

// The receiver streams at the rate of list entry k.
bool receiver_at(HMODULE sim, int32_t k, double rate) {
  return pump_until(3000, [&] {
    KMVSIM_State s = sim_state(sim);
    return (s.usb_format & 0x07) == uint32_t(k) && s.stream_rate == rate;
  });
}

int check_rates(Plugin& p, HMODULE sim) {
  auto get_srates = p.get<decltype(&ExtIoGetSrates)>("ExtIoGetSrates");
  auto get_index = p.get<decltype(&ExtIoGetActualSrateIdx)>("ExtIoGetActualSrateIdx");
  auto get_bandwidth = p.get<decltype(&ExtIoGetBandwidth)>("ExtIoGetBandwidth");
  auto get_ranges = p.get<decltype(&ExtIoGetFreqRanges)>("ExtIoGetFreqRanges");
  g_pick = p.get<decltype(&ExtIoSetSrate)>("ExtIoSetSrate");
  g_read_rate = p.get<decltype(&GetHWSR)>("GetHWSR");
  if (!get_srates || !get_index || !get_bandwidth || !get_ranges || !g_pick) {
    return fail("extensions missing");
  }
  // The receiver's clock confirmation runs the set-ups once more: let it pass.
  for (int i = 0, seen = -1; i < 10 && seen != g_rate_notes.load(); ++i) {
    seen = g_rate_notes.load();
    pump_until(600, [] { return false; });
  }
  // 125 MHz over 2 .. 64.
  const double want[6] = {62500000, 31250000, 15625000, 7812500, 3906250, 1953125};
  double list[6] = {};
  for (int i = 0; i < 6; ++i) {
    if (get_srates(i, &list[i]) != 0 || list[i] != want[i]) return fail("rate list");
  }
  double r = -7;
  if (get_srates(6, &r) != -1 || r != -7) return fail("a seventh rate");
  if (get_index() != 3) return fail("current rate index");

  // From the host's thread, which is the plug-in's user-interface thread: 100 before it returns.
  int notes = g_rate_notes.load();
  if (g_pick(1) != 0) return fail("ExtIoSetSrate(1)");
  if (g_rate_notes.load() <= notes || g_noted_rate.load() != 31250000) return fail("no 100");
  if (get_index() != 1 || g_read_rate() != 31250000) return fail("index or rate after the pick");
  if (!receiver_at(sim, 1, list[1])) return fail("the receiver did not get decimation 4");
  if (get_bandwidth(1) != 25000000) return fail("bandwidth");

  // Bad input changes nothing.
  notes = g_rate_notes.load();
  int32_t low = -1, high = -1;
  if (g_pick(6) != -1 || g_pick(-1) != -1 || get_srates(0, nullptr) != -1 ||
      get_bandwidth(-1) != -1 || get_ranges(1, &low, &high) != -1 ||
      get_ranges(0, nullptr, &high) != -1 || low != -1 || high != -1) {
    return fail("bad input accepted");
  }
  if (get_ranges(0, &low, &high) != 0 || low != 100000 || high != 250000000) {
    return fail("LO range");
  }
  pump_until(300, [] { return false; });
  if (g_rate_notes.load() != notes || get_index() != 1) return fail("bad input changed things");

  // From inside the sample callback: handed over, the callback does not wait.
  notes = g_rate_notes.load();
  g_pick_in_block = 4;
  if (!pump_until(3000, [] { return g_pick_ms.load() >= 0; })) return fail("no pick from a block");
  std::printf("ExtIoSetSrate from the sample callback: %lld ms\n", g_pick_ms.load());
  if (g_pick_ms.load() > 100) return fail("the pick waited");
  if (!receiver_at(sim, 4, list[4])) return fail("the receiver did not get decimation 32");
  if (!pump_until(3000, [&] { return g_rate_notes.load() > notes; }) ||
      g_noted_rate.load() != 3906250) {
    return fail("no 100 after the pick from a block");
  }
  int seen = g_blocks.load();
  if (!pump_until(5000, [&] { return g_blocks.load() >= seen + 3; })) return fail("no blocks");
  g_close();
  FreeLibrary(p.dll);
  std::printf("PASS\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 2) return fail("usage: habits_host_win callback|unload|exit|rates");
  std::string mode = argv[1];
  HMODULE sim = LoadLibraryA(beside_this_program("sim\\FTD3XX.dll").c_str());
  if (!sim) return fail("no simulator");
  // The rates check expects the design decimation: an earlier run leaves its pick in the file.
  if (mode == "rates") DeleteFileA("KMV410V2.11");
  Plugin p;
  if (!p.load()) return fail("cannot load the plug-in");
  if (!p.stream()) return fail("no blocks");
  if (mode == "rates") return check_rates(p, sim);

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
