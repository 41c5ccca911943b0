// The USB link end to end against the simulated receiver: the plug-in's modules linked in (the
// panel sets the clock and decimation, which the exports do not reach), the simulator's bridge
// library loaded by path so that the plug-in's bridge loader finds it by name, and a host
// callback that counts blocks and, on request, sleeps.
//
// Per case it reports delivered / nominal, lost (the plug-in's gap count and the blocks the
// receiver dropped) and the CPU seconds per second of the plug-in's USB stream task. With
// --stall it then looks for the longest single callback stall and the longest steady per-block
// callback time that lose nothing.
//
// Usage: usb_bench [SECONDS] [--stall] [--case NAME]   (default 20 s per case)
// On POSIX it runs itself inside a private network namespace (netns-run.sh); under Wine,
// scripts/wine-tests gives it one. The settings file points the plug-in at loopback anyway.
#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "control/Form1.h"
#include "control/stream_config.h"
#include "linked_plugin.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "session.h"
#include "simulator.h"
#include "usb/Usbtask1.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBlockSamples = 130560;

std::atomic<long long> g_blocks{0};
std::atomic<long long> g_stall_once_us{0};  // the next callback sleeps this long, once
std::atomic<long long> g_steady_us{0};      // every callback sleeps this long
std::atomic<long long> g_busy_ns{0};        // time spent in block callbacks
std::atomic<bool> g_have_thread{false};

// CPU time of the thread that delivers USB blocks (the stream task).
#if defined(_WIN32)
HANDLE g_task_thread = nullptr;
void remember_thread() {
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_task_thread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
}
double task_cpu_seconds() {
  FILETIME c, e, k, u;
  if (!g_task_thread || !GetThreadTimes(g_task_thread, &c, &e, &k, &u)) return 0;
  auto t = [](FILETIME f) { return double(uint64_t(f.dwHighDateTime) << 32 | f.dwLowDateTime); };
  return (t(k) + t(u)) * 1e-7;
}
#else
clockid_t g_task_clock;
void remember_thread() {
  pthread_getcpuclockid(pthread_self(), &g_task_clock);
}
double task_cpu_seconds() {
  timespec t{};
  clock_gettime(g_task_clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
#endif

void host_callback(int32_t count, int32_t status, float, void* data) {
  if (count == kBlockSamples && data) {
    auto t0 = Clock::now();
    if (!g_have_thread.load(std::memory_order_acquire)) {
      remember_thread();
      g_have_thread.store(true, std::memory_order_release);
    }
    g_blocks.fetch_add(1, std::memory_order_relaxed);
    long long once = g_stall_once_us.exchange(0);
    long long us = once + g_steady_us.load(std::memory_order_relaxed);
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
    g_busy_ns.fetch_add(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
    return;
  }
  if (status == plugin::kSampleRateChanged) GetHWSR();
  if (status == plugin::kLoChanged) GetHWLO64();
}

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Case {
  const char* name;
  int clock_mhz;
  int decimation_index;  // 0..5 for 2..64
  int bits;
};

extio_host::Simulator g_sim;

uint64_t lost_now() {
  return usb::g_usb_counters.lost.load() + g_sim.dropped_blocks();
}

bool wait_until(bool (*cond)(), int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (cond()) return true;
    extio_host::wait_pumping(10);
  }
  return cond();
}

bool open_case(const Case& c) {
  g_sim.Reset();
  g_sim.SetTestPattern(1);
  g_sim.SetRealTime(1);
  if (!OpenHW() || !extio_host::wait_for_link(false, 10000)) {
    std::fprintf(stderr, "usb_bench: no USB receiver\n");
    return false;
  }
  ui::run_on_ui([&] {
    F_RDR1->SB_CLK->set_value(c.clock_mhz);
    F_RDR1->B_CLKSetClick(F_RDR1->B_CLKSet);
  });
  wait_until(
      [] {
        bool set = false;
        ui::run_on_ui([&] { set = F_RDR1->B_Set->enabled; });
        return set;
      },
      5000);
  ui::run_on_ui([&] {
    F_RDR1->C_USB1->set_item_index(c.decimation_index);
    F_RDR1->C_USB1Change(F_RDR1->C_USB1);
  });
  const double nominal = double(c.clock_mhz) * 1e6 / double(2 << c.decimation_index);
  const control::UsbGeometry geo = control::usb_geometry();
  if ((geo.sixteen_bit ? 16 : 24) != c.bits || plugin::g_plugin.usb_rate.load() != int(nominal)) {
    std::fprintf(stderr, "usb_bench: %s: set-up gave %d bit at %d Hz\n", c.name,
                 geo.sixteen_bit ? 16 : 24, plugin::g_plugin.usb_rate.load());
    CloseHW();
    return false;
  }
  g_have_thread = false;
  g_stall_once_us = 0;
  g_steady_us = 0;
  if (StartHW64(7000000) != kBlockSamples) {
    CloseHW();
    return false;
  }
  // Settled: the stream started and its first blocks arrived.
  long long b0 = g_blocks.load();
  bool started = wait_until([] { return g_have_thread.load(); }, 10000);
  extio_host::wait_pumping(500);
  if (!started || g_blocks.load() - b0 < 10) {
    std::fprintf(stderr, "usb_bench: %s: no blocks\n", c.name);
    CloseHW();
    return false;
  }
  return true;
}

void close_case() {
  StopHW();
  CloseHW();
}

// Full speed for `seconds`: one line of figures.
bool throughput(const Case& c, int seconds) {
  if (!open_case(c)) return false;
  const double nominal = double(c.clock_mhz) * 1e6 / double(2 << c.decimation_index);
  uint64_t lost0 = usb::g_usb_counters.lost.load(), dropped0 = g_sim.dropped_blocks();
  long long blocks0 = g_blocks.load();
  double cpu0 = task_cpu_seconds();
  auto t0 = Clock::now();
  extio_host::wait_pumping(seconds * 1000);
  long long blocks = g_blocks.load() - blocks0;
  double wall = since(t0), cpu = task_cpu_seconds() - cpu0;
  uint64_t lost = usb::g_usb_counters.lost.load() - lost0;
  uint64_t dropped = g_sim.dropped_blocks() - dropped0;
  close_case();
  std::printf(
      "result usb %s %.4f MS/s %d-bit %.0f s: delivered/nominal %.4f lost %llu (plug-in gaps, "
      "receiver dropped %llu blocks) cpu %.3f s/s\n",
      c.name, nominal / 1e6, c.bits, wall, double(blocks) * kBlockSamples / wall / nominal,
      static_cast<unsigned long long>(lost), static_cast<unsigned long long>(dropped), cpu / wall);
  std::fflush(stdout);
  return true;
}

// True when a callback stall of `us` loses nothing, three times running.
bool stall_passes(long long us) {
  for (int i = 0; i < 3; ++i) {
    extio_host::wait_pumping(150);
    uint64_t lost0 = lost_now();
    g_stall_once_us = us;
    extio_host::wait_pumping(int(us / 1000) + 250);
    if (lost_now() != lost0) return false;
  }
  return true;
}

bool stalls(const Case& c) {
  if (!open_case(c)) return false;
  const double nominal = double(c.clock_mhz) * 1e6 / double(2 << c.decimation_index);
  const double period_ms = kBlockSamples / nominal * 1e3;
  // Longest single stall: coarse steps up to the first loss, then halving between.
  long long good = 0, bad = 0;
  for (long long us = 2000; us <= 2000000; us = us * 3 / 2) {
    if (!stall_passes(us)) {
      bad = us;
      break;
    }
    good = us;
  }
  while (bad && bad - good > 250) {
    long long mid = (good + bad) / 2;
    (stall_passes(mid) ? good : bad) = mid;
  }
  // Longest steady per-block time: fractions of the block period.
  double steady_ok = 0, busy_ok = 0;
  for (double f : {0.3, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9, 0.95, 1.0, 1.05}) {
    g_steady_us = (long long)(f * period_ms * 1e3);
    extio_host::wait_pumping(300);
    uint64_t lost0 = lost_now();
    long long b0 = g_blocks.load(), busy0 = g_busy_ns.load();
    extio_host::wait_pumping(2000);
    long long n = g_blocks.load() - b0;
    double busy = n ? double(g_busy_ns.load() - busy0) / double(n) / 1e6 : 0;
    std::fprintf(stderr, "%s steady %.3f ms: callback %.3f ms, lost %llu\n", c.name, f * period_ms,
                 busy, static_cast<unsigned long long>(lost_now() - lost0));
    if (lost_now() != lost0) break;
    steady_ok = f * period_ms;
    busy_ok = busy;
  }
  g_steady_us = 0;
  close_case();
  std::printf(
      "result stall %s %.4f MS/s %d-bit: block period %.3f ms; longest single stall without loss "
      "%.1f ms (%.1f periods; lost at %.1f ms); longest steady callback %.3f ms asked, %.3f ms "
      "measured (%.2f of the period)\n",
      c.name, nominal / 1e6, c.bits, period_ms, good / 1e3, good / 1e3 / period_ms, bad / 1e3,
      steady_ok, busy_ok, busy_ok / period_ms);
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  if (const char* in = std::getenv("KMV_IN_NETNS"); !in || std::strcmp(in, "1") != 0) {
    // Never let the plug-in near the design address from the machine's own namespace.
    std::string self = std::filesystem::canonical("/proc/self/exe").string();
    std::vector<char*> args = {const_cast<char*>(KMV_NETNS_RUN), self.data()};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(KMV_NETNS_RUN, args.data());
    std::perror("usb_bench: netns-run.sh");
    return 1;
  }
#endif
  int seconds = 20;
  bool stall = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--stall") {
      stall = true;
    } else if (a == "--case" && i + 1 < argc) {
      only = argv[++i];
    } else if (std::atoi(a.c_str()) > 0) {
      seconds = std::atoi(a.c_str());
    }
  }

  std::string error;
  if (!g_sim.load(extio_host::default_simulator_path(), error)) {
    std::fprintf(stderr, "usb_bench: %s\n", error.c_str());
    return 1;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path dir = fs::temp_directory_path(ec) /
                 ("kmv-usbbench-" + std::to_string(Clock::now().time_since_epoch().count()));
  fs::create_directories(dir, ec);
  fs::current_path(dir, ec);
  if (ec) return 1;
  extio_host::write_loopback_settings();
  SetCallback(host_callback);

  const Case cases[] = {
      {"design", 125, 3, 24},  // 125 MHz / 16 = 7.8125 MS/s
      {"usb24", 120, 0, 24},   // 120 MHz / 2 = 60 MS/s, the fastest 24-bit rate
      {"usb16", 180, 0, 16},   // 180 MHz / 2 = 90 MS/s, the fastest 16-bit rate
  };
  int failed = 0;
  for (const Case& c : cases) {
    if (!only.empty() && only != c.name) continue;
    if (!throughput(c, seconds)) ++failed;
    if (stall && c.clock_mhz != 125 && !stalls(c)) ++failed;
  }
  fs::current_path(dir.parent_path(), ec);
  fs::remove_all(dir, ec);
  return failed ? 1 : 0;
}
