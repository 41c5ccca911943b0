// Soak: many open/stream/close cycles in one process over USB and over the LAN, many loads and
// unloads of a streaming plug-in through the real loader, and long streams at high rates. After
// the run the process holds what it held after the first cycle; no cycle takes long; every
// block of the streams is complete and in order. The lengths come from the environment, so that
// scripts/soak runs the long version of the same tests:
//   KMV_SOAK_CYCLES (20), KMV_SOAK_DLOPEN_CYCLES (20), KMV_SOAK_STREAM_S (10),
//   KMV_SOAK_USB_CLOCK (125 MHz), KMV_SOAK_USB_DECIMATION (index 0..5 of 2..64; 3),
//   KMV_SOAK_LAN_CLOCK (120 MHz), KMV_SOAK_LAN_DECIMATION (1: 30 MS/s, in 16 bits).
// Each prints one "soak:" line with its figures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "control/Form1.h"
#include "lan/lan_state.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "proc_resources.h"
#include "sim_harness.h"
#include "usb/Usbtask1.h"

namespace {

using harness::eventually;
using harness::on_ui;
using plugin::g_plugin;

// Resident memory: the allocator's free memory is given back before each measurement, but the
// first cycles still fill caches that stay (glibc keeps the stacks of ended threads, code and
// data pages are touched as paths run for the first time): up to kWarmUpPages after the first
// cycle. A leak grows all the time: over the second half of the run (from cycle 10 at least) it
// may grow by kRssMarginPages at most, which over 500 cycles shows a leak of a kilobyte per
// cycle. A worker thread's arena now and then keeps some megabytes for a few dozen cycles and
// gives most of them back later, so the run's end is the least of its last cycles (a tenth, at
// most 20): a leak never shrinks.
// Under the sanitizers resident memory says nothing (quarantine, shadow memory); their own leak
// checks stand in for it there.
constexpr long kWarmUpPages = 1024;   // 4 MiB
constexpr long kRssMarginPages = 64;  // 256 KiB
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KMV_SANITIZED 1
#else
#define KMV_SANITIZED 0
#endif
constexpr long long kCycleLimitMs = 3000;

long env(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

harness::PatternWatch g_watch;

void host_callback(int32_t count, int32_t status, float, void* data) {
  if (count == int32_t(harness::PatternWatch::kSamples) && data) {
    g_watch.block(static_cast<const uint8_t*>(data));
  } else if (status == plugin::kSampleRateChanged) {
    GetHWSR();
  } else if (status == plugin::kLoChanged) {
    GetHWLO64();
  }
}

constexpr char kDesign[] = "192.168.1.10";

long warm_up_cycles(long n) {
  return std::min(n, std::max(10L, n / 2));
}

long tail_cycles(long n) {
  return std::max(1L, std::min(n / 10, 20L));
}

long kib(long pages) {
  return pages * sysconf(_SC_PAGESIZE) / 1024;
}

// After the first cycle, once settled, after the last.
void expect_same_resources(const char* what, const harness::Resources& first,
                           const harness::Resources& settled, const harness::Resources& last) {
  EXPECT_EQ(last.fds, first.fds) << what;
  EXPECT_EQ(last.threads, first.threads) << what;
#if !KMV_SANITIZED
  EXPECT_LE(last.rss_pages, first.rss_pages + kWarmUpPages) << what;
  EXPECT_LE(last.rss_pages, settled.rss_pages + kRssMarginPages) << what;
#else
  (void)first;
  (void)settled;
  (void)last;
#endif
}

class Soak : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(harness::enter_private_dir("kmv-soak-"));
    SetCallback(host_callback);
  }
  void SetUp() override {
    harness::reset_simulator();
    g_watch.reset();
    g_watch.set_bits(24);
  }
  void TearDown() override {
    for (int i = 0; i < 5 && g_plugin.open_count.load() > 0; ++i) CloseHW();
    KMVSIM_LanStop();
    std::filesystem::remove("KMV410V2.11");
  }

  // OpenHW, StartHW64, 100 ms of blocks, StopHW, CloseHW; n times.
  static void cycles(const char* link, long n) {
    harness::Resources first, settled, tail;
    long long slowest = 0, slowest_open = 0, slowest_close = 0;
    int slow = 0;
    for (long c = 0; c < n; ++c) {
      SCOPED_TRACE(c);
      const long long start = tasks::now_ms();
      ASSERT_TRUE(OpenHW());
      const long long opened = tasks::now_ms();
      ASSERT_EQ(StartHW64(7000000), 130560);
      const int seen = g_watch.blocks();
      ASSERT_TRUE(eventually([&] { return g_watch.blocks() > seen; }, 5000));
      tasks::sleep_ms(100);
      StopHW();
      const long long closing = tasks::now_ms();
      CloseHW();
      const long long took = tasks::now_ms() - start;
      slowest_open = std::max(slowest_open, opened - start);
      slowest_close = std::max(slowest_close, tasks::now_ms() - closing);
      slowest = std::max(slowest, took);
      slow += took > kCycleLimitMs;
      // The receiver's own command log is not the plug-in's memory.
      KMVSIM_ClearReceived();
      // The simulator's end of a connection closes when it sees ours go; it is not ours to count.
      eventually([] { return harness::lan_state().connections == 0; }, 2000);
      if (c == 0) first = harness::resources();
      if (c + 1 == warm_up_cycles(n)) settled = harness::resources();
      // A thread's arena may hold megabytes for a while: the run's end is the least of its tail.
      if (c + 1 > n - tail_cycles(n)) {
        const harness::Resources r = harness::resources();
        if (tail.rss_pages == 0 || r.rss_pages < tail.rss_pages) tail = r;
      }
      if (n >= 10 && (c + 1) % (n / 10) == 0) {
        const harness::Resources r = harness::resources();
        std::printf("soak: %s after %ld cycles: fds=%d threads=%d rss_kib=%ld\n", link, c + 1,
                    r.fds, r.threads, kib(r.rss_pages));
      }
    }
    harness::Resources last = harness::resources();
    last.rss_pages = n > 1 ? tail.rss_pages : first.rss_pages;
    std::printf(
        "soak: %s cycles=%ld fds=%d->%d threads=%d->%d rss_kib=%ld->%ld->%ld slowest_ms=%lld "
        "(OpenHW %lld, CloseHW %lld) wrong_blocks=%d\n",
        link, n, first.fds, last.fds, first.threads, last.threads, kib(first.rss_pages),
        kib(settled.rss_pages), kib(last.rss_pages), slowest, slowest_open, slowest_close,
        g_watch.wrong());
    std::fflush(stdout);
    expect_same_resources(link, first, settled, last);
    EXPECT_EQ(slow, 0) << "cycles longer than " << kCycleLimitMs << " ms; slowest " << slowest;
    EXPECT_EQ(g_watch.wrong(), 0);
  }

  static void serve_lan() {
    KMVSIM_SetPresent(0);
    ASSERT_EQ(KMVSIM_LanStart(kDesign, 55557, 55558), 1);
  }

  // The clock and the first stream's decimation, as a user sets them on the panel.
  static void set_rate(int clock, ui::Control* TF_RDR1::*decimation, int index) {
    on_ui([&] {
      F_RDR1->SB_CLK->set_value(clock);
      F_RDR1->SB_CLKChange(F_RDR1->SB_CLK);
      F_RDR1->B_CLKSetClick(F_RDR1->B_CLKSet);
    });
    // The receiver's echo of the clock runs the stream set-ups.
    ASSERT_TRUE(eventually(
        [] {
          bool set = false;
          on_ui([&] { set = F_RDR1->B_Set->enabled; });
          return set;
        },
        8000));
    on_ui([&] { (F_RDR1->*decimation)->user_select(index); });
  }

  // Stream for the given seconds; every block must be whole, and every break in the samples a
  // loss that the plug-in counted and the simulator made.
  static void stream(const char* link, long seconds, const std::atomic<uint32_t>& lost_counter,
                     const std::function<uint64_t()>& sim_dropped) {
    ASSERT_EQ(StartHW64(7000000), 130560);
    const long rate = GetHWSR();
    bool sixteen = false;
    on_ui([&] {
      sixteen =
          link[0] == 'U' ? F_RDR1->L_BitsU->caption == "16" : F_RDR1->L_BitsL->caption == "16";
    });
    g_watch.set_bits(sixteen ? 16 : 24);
    ASSERT_TRUE(eventually([] { return g_watch.blocks() >= 2; }, 8000));
    const uint32_t lost0 = lost_counter.load();
    const uint64_t dropped0 = sim_dropped();
    g_watch.reset();
    const long long start = tasks::now_ms();
    tasks::sleep_ms(int(seconds * 1000));
    const long long took = tasks::now_ms() - start;
    // The figures are taken before StopHW: the receive task it starts again counts from 0. The
    // watch goes first, as a loss is counted before the block that shows it is delivered.
    const int blocks = g_watch.blocks(), good = g_watch.good(), wrong = g_watch.wrong();
    const int gapped = g_watch.gapped(), breaks = g_watch.breaks();
    const uint32_t lost = lost_counter.load() - lost0;
    const uint64_t dropped = sim_dropped() - dropped0;
    StopHW();
    const double expected = double(rate) * double(took) / 1000.0 / harness::PatternWatch::kSamples;
    std::printf(
        "soak: %s stream %lds at %.2f MS/s (%d bit): blocks=%d (%.0f due) good=%d wrong=%d "
        "gapped=%d breaks=%d lost=%u simulator_dropped=%llu\n",
        link, seconds, double(rate) / 1e6, sixteen ? 16 : 24, blocks, expected, good, wrong, gapped,
        breaks, lost, static_cast<unsigned long long>(dropped));
    std::fflush(stdout);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(g_watch.wrong(), 0);
    EXPECT_LE(gapped + breaks, int(lost));
    if (dropped == 0) {
      EXPECT_EQ(lost, 0u);
    }
    // Under the sanitizers the check of every sample alone takes longer than the stream's time.
    if (!KMV_SANITIZED) {
      EXPECT_GT(blocks, int(expected * 0.9));
    }
  }
};

TEST_F(Soak, OpenStreamCloseCyclesOverUsb) {
  cycles("USB", env("KMV_SOAK_CYCLES", 20));
}

TEST_F(Soak, OpenStreamCloseCyclesOverTheLan) {
  serve_lan();
  cycles("LAN", env("KMV_SOAK_CYCLES", 20));
}

// Through the real loader, in a host program of its own: load, open, stream, unload (without
// CloseHW), again and again.
TEST_F(Soak, LoadAndUnloadAStreamingPlugin) {
  const long n = env("KMV_SOAK_DLOPEN_CYCLES", 20);
  const std::string cmd = std::string(KMV_HABITS_HOST) + " " + KMV_PLUGIN + " " + KMV_SIM_BRIDGE +
                          " cycles " + std::to_string(n) + " " + std::to_string(warm_up_cycles(n)) +
                          " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char line[512];
  while (std::fgets(line, sizeof line, p)) out += line;
  const int status = pclose(p);
  std::printf("soak: %s", out.c_str());
  ASSERT_EQ(status, 0) << out;
  int cycles = 0;
  harness::Resources first, settled, last;
  long long slowest = -1;
  ASSERT_EQ(std::sscanf(out.c_str(),
                        "dlopen cycles=%d fds=%d->%d threads=%d->%d rss_pages=%ld->%ld->%ld "
                        "slowest_ms=%lld",
                        &cycles, &first.fds, &last.fds, &first.threads, &last.threads,
                        &first.rss_pages, &settled.rss_pages, &last.rss_pages, &slowest),
            9)
      << out;
  EXPECT_EQ(cycles, n);
  expect_same_resources("dlopen", first, settled, last);
  EXPECT_LT(slowest, kCycleLimitMs);
}

TEST_F(Soak, LongUsbStreamAtTheHighestRate) {
  KMVSIM_SetPresent(1);
  ASSERT_TRUE(OpenHW());
  set_rate(int(env("KMV_SOAK_USB_CLOCK", 125)), &TF_RDR1::C_USB1,
           int(env("KMV_SOAK_USB_DECIMATION", 3)));
  stream("USB", env("KMV_SOAK_STREAM_S", 10), usb::g_usb_counters.lost,
         [] { return harness::sim_state().blocks_dropped; });
}

TEST_F(Soak, LongLanStreamAtThirtyMegasamples) {
  serve_lan();
  ASSERT_TRUE(OpenHW());
  ASSERT_TRUE(eventually([] {
    bool lan = false;
    on_ui([&] { lan = F_RDR1->CB_LAN->checked(); });
    return lan;
  }));
  set_rate(int(env("KMV_SOAK_LAN_CLOCK", 120)), &TF_RDR1::C_LAN1,
           int(env("KMV_SOAK_LAN_DECIMATION", 1)));
  stream("LAN", env("KMV_SOAK_STREAM_S", 10), lan::g_lan.lost,
         [] { return harness::lan_state().frames_dropped; });
}

}  // namespace
