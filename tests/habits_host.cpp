// A host that leaves without CloseHW: it loads the plug-in and the simulator's bridge library
// through the dynamic loader, opens the plug-in (once or twice), streams, and then returns from
// main or unloads the library with the plug-in still open. Exit status 0 when it got that far;
// a crash of the plug-in shows as a signal.
// Usage: habits_host PLUGIN BRIDGE exit1|exit2|unload|unload-stalled
//        habits_host PLUGIN BRIDGE cycles N W (N loads, each opened, streaming, then unloaded;
//                                              one line with what the process held after the
//                                              first, the W-th and the last, and the slowest)
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "plugin/ExtIO_KMV410B211.h"
#include "proc_resources.h"

namespace {

std::atomic<int> g_blocks{0};
std::atomic<int> g_stall_ms{0};
std::atomic<bool> g_in_stall{false};

void host_callback(int32_t count, int32_t, float, void*) {
  if (count < 0) return;
  ++g_blocks;
  if (int ms = g_stall_ms.exchange(0)) {
    g_in_stall = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    g_in_stall = false;
  }
}

template <class F>
bool within(int ms, F cond) {
  for (int i = 0; i < ms / 10; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

struct Plugin {
  void* lib = nullptr;
  decltype(&OpenHW) open = nullptr;
  decltype(&StartHW64) start = nullptr;
  decltype(&CloseHW) close = nullptr;
  decltype(&SetCallback) set_callback = nullptr;

  bool load(const char* path) {
    lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return false;
    open = reinterpret_cast<decltype(open)>(dlsym(lib, "OpenHW"));
    start = reinterpret_cast<decltype(start)>(dlsym(lib, "StartHW64"));
    close = reinterpret_cast<decltype(close)>(dlsym(lib, "CloseHW"));
    set_callback = reinterpret_cast<decltype(set_callback)>(dlsym(lib, "SetCallback"));
    return open && start && close && set_callback;
  }
  // Open (count times) and stream until blocks arrive.
  bool stream(int count) {
    set_callback(host_callback);
    for (int i = 0; i < count; ++i)
      if (!open()) return false;
    if (start(7000000) != 130560) return false;
    int seen = g_blocks.load();
    return within(5000, [&] { return g_blocks.load() >= seen + 3; });
  }
};

int fail(const char* what) {
  std::fprintf(stderr, "habits_host: %s\n", what);
  return 1;
}

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int cycles(const char* plugin, int n, int warm_up) {
  harness::Resources first, settled, last;
  long long slowest = 0;
  for (int c = 0; c < n; ++c) {
    const long long start = now_ms();
    Plugin p;
    if (!p.load(plugin)) return fail("cannot load the plug-in");
    if (!p.stream(1)) return fail("no blocks");
    dlclose(p.lib);
    const long long took = now_ms() - start;
    if (took > slowest) slowest = took;
    (c == 0 ? first : last) = harness::resources();
    if (c + 1 == warm_up) settled = harness::resources();
  }
  if (n == 1) last = first;
  std::printf(
      "dlopen cycles=%d fds=%d->%d threads=%d->%d rss_pages=%ld->%ld->%ld slowest_ms=%lld\n", n,
      first.fds, last.fds, first.threads, last.threads, first.rss_pages, settled.rss_pages,
      last.rss_pages, slowest);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 6 && !std::strcmp(argv[3], "cycles")))
    return fail("usage: habits_host PLUGIN BRIDGE MODE [N W]");
  const char* mode = argv[3];
  if (!dlopen(argv[2], RTLD_NOW | RTLD_GLOBAL)) return fail(dlerror());
  if (argc == 6) return cycles(argv[1], std::atoi(argv[4]), std::atoi(argv[5]));
  Plugin p;
  if (!p.load(argv[1])) return fail("cannot load the plug-in");

  if (!std::strcmp(mode, "exit1") || !std::strcmp(mode, "exit2")) {
    if (!p.stream(mode[4] - '0')) return fail("no blocks");
    std::puts("returning from main with the plug-in open");
    return 0;
  }
  if (!std::strcmp(mode, "unload") || !std::strcmp(mode, "unload-stalled")) {
    if (!p.stream(1)) return fail("no blocks");
    if (mode[6] == '-') {
      g_stall_ms = 2500;
      if (!within(3000, [] { return g_in_stall.load(); })) return fail("no stall");
    }
    dlclose(p.lib);
    // Whatever of ours still runs must find its code: a second here, the stalled callback
    // returning into it meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    int after = g_blocks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (g_blocks.load() != after) return fail("blocks after the unload");
    if (mode[6] == '-') {
      std::puts("unloaded while stalled");
      return 0;
    }
    // Loaded again, it is a new plug-in that opens and streams as usual.
    if (!p.load(argv[1])) return fail("cannot load the plug-in again");
    if (!p.stream(1)) return fail("no blocks after loading again");
    p.close();
    dlclose(p.lib);
    std::puts("unloaded and loaded again");
    return 0;
  }
  return fail("unknown mode");
}
