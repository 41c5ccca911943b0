// End to end over the LAN on loopback: the plug-in opened in process streams from the simulated
// receiver at the fastest LAN rates, and a host callback counts the blocks. Reports, per case,
// the delivered samples per second over the nominal rate, the LAN lost count and the CPU seconds
// per second of the plug-in's LAN stream task (the thread that receives, converts and delivers).
//
// Usage: lan_bench [SECONDS]   (default 60 per case)
// It runs itself inside a private network namespace (netns-run.sh), where the receiver's design
// address exists on loopback only.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "control/Form1.h"
#include "control/stream_config.h"
#include "kmvsim.h"
#include "lan/lan_state.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"

namespace {

std::atomic<long long> g_blocks{0};
std::atomic<bool> g_have_clock{false};
clockid_t g_task_clock;  // CPU clock of the thread that delivers LAN blocks

void host_callback(int32_t count, int32_t status, float, void* data) {
  if (count == 130560 && data) {
    if (!g_have_clock.load(std::memory_order_acquire)) {
      pthread_getcpuclockid(pthread_self(), &g_task_clock);
      g_have_clock.store(true, std::memory_order_release);
    }
    g_blocks.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (status == plugin::kSampleRateChanged) GetHWSR();
  if (status == plugin::kLoChanged) GetHWLO64();
}

double seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool eventually(const std::function<bool()>& cond, int ms) {
  long long end = tasks::now_ms() + ms;
  while (tasks::now_ms() < end) {
    if (cond()) return true;
    tasks::sleep_ms(10);
  }
  return cond();
}

struct Case {
  const char* name;
  int clock_mhz;
  int decimation_index;  // 0..5 for 2..64
  bool udp;
  int bits;
};

bool run_case(const Case& c, int duration_s) {
  KMVSIM_Reset();
  KMVSIM_SetPresent(0);
  KMVSIM_SetTestPattern(1);
  KMVSIM_LanReset();
  KMVSIM_LanSetRealTime(1);
  if (!OpenHW()) return false;
  bool lan = false;
  ui::run_on_ui([&] { lan = F_RDR1->CB_LAN->checked(); });
  if (!lan) {
    std::fprintf(stderr, "lan_bench: no LAN receiver found\n");
    CloseHW();
    return false;
  }
  // Clock, then the decimation; the set-ups follow the confirmed clock.
  ui::run_on_ui([&] {
    F_RDR1->SB_CLK->set_value(c.clock_mhz);
    F_RDR1->B_CLKSetClick(F_RDR1->B_CLKSet);
  });
  eventually(
      [] {
        bool set = false;
        ui::run_on_ui([&] { set = F_RDR1->B_Set->enabled; });
        return set;
      },
      5000);
  ui::run_on_ui([&] {
    F_RDR1->C_LAN1->set_item_index(c.decimation_index);
    F_RDR1->C_LAN1Change(F_RDR1->C_LAN1);
    if (c.udp) F_RDR1->RB_UDP->set_checked(true);
  });
  const double nominal = double(c.clock_mhz) * 1e6 / double(2 << c.decimation_index);
  const control::LanGeometry geo = control::lan_geometry();
  if ((geo.sixteen_bit ? 16 : 24) != c.bits || plugin::g_plugin.lan_rate.load() != int(nominal)) {
    std::fprintf(stderr, "lan_bench: %s: set-up gave %d bit at %d Hz\n", c.name,
                 geo.sixteen_bit ? 16 : 24, plugin::g_plugin.lan_rate.load());
    CloseHW();
    return false;
  }

  g_have_clock = false;
  if (StartHW64(7000000) != 130560) {
    CloseHW();
    return false;
  }
  // Settle: the stream started, the first blocks delivered.
  if (!eventually([] { return g_blocks.load() > 10 && g_have_clock.load(); }, 10000)) {
    std::fprintf(stderr, "lan_bench: %s: no blocks\n", c.name);
    CloseHW();
    return false;
  }
  uint32_t lost0 = lan::g_lan.lost.load();
  long long blocks0 = g_blocks.load();
  double cpu0 = seconds(g_task_clock), wall0 = seconds(CLOCK_MONOTONIC);
  tasks::sleep_ms(duration_s * 1000);
  long long blocks = g_blocks.load() - blocks0;
  double cpu = seconds(g_task_clock) - cpu0, wall = seconds(CLOCK_MONOTONIC) - wall0;
  uint32_t lost = lan::g_lan.lost.load() - lost0;
  KMVSIM_LanState s{};
  s.size = sizeof s;
  KMVSIM_LanGetState(&s);
  StopHW();
  CloseHW();

  double delivered = double(blocks) * 130560.0 / wall;
  std::printf(
      "%-6s %5.1f MS/s %2d-bit over %s, %4.0f s: delivered/nominal %.4f, LAN lost %u, "
      "plug-in CPU %.3f s/s (receiver dropped %llu frames)\n",
      c.name, nominal / 1e6, c.bits, c.udp ? "UDP" : "TCP", wall, delivered / nominal, lost,
      cpu / wall, static_cast<unsigned long long>(s.frames_dropped));
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* in = std::getenv("KMV_IN_NETNS"); !in || std::strcmp(in, "1") != 0) {
    // Never probe the design address from the machine's own namespace.
    std::string self = std::filesystem::canonical("/proc/self/exe").string();
    std::vector<char*> args = {const_cast<char*>(KMV_NETNS_RUN), self.data()};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(KMV_NETNS_RUN, args.data());
    std::perror("lan_bench: netns-run.sh");
    return 1;
  }
  int duration = argc > 1 ? std::atoi(argv[1]) : 60;
  if (duration <= 0) duration = 60;

  auto dir = std::filesystem::temp_directory_path() / ("kmv-lanbench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  if (chdir(dir.c_str()) != 0) return 1;
  SetCallback(host_callback);
  if (KMVSIM_LanStart("192.168.1.10", 55557, 55558) != 1) {
    std::fprintf(stderr, "lan_bench: the simulator's LAN side did not start\n");
    return 1;
  }
  const Case cases[] = {
      {"tcp16", 120, 1, false, 16},  // 120 MHz / 4 = 30 MS/s
      {"udp16", 120, 1, true, 16},
      {"tcp24", 160, 2, false, 24},  // 160 MHz / 8 = 20 MS/s
      {"udp24", 160, 2, true, 24},
  };
  int failed = 0;
  for (const Case& c : cases) {
    if (!run_case(c, duration)) ++failed;
  }
  KMVSIM_LanStop();
  std::filesystem::remove_all(dir);
  return failed ? 1 : 0;
}
