// The rate-list extensions through the real dynamic loader, against the simulated receiver over
// USB: the rates a host offers, a pick reaching the receiver and the host told of it, and bad
// input changing nothing. The simulator's bridge library is loaded first, so the plug-in's
// loader finds it by name.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

#include "kmvsim.h"
#include "plugin/ExtIO_KMV410B211.h"

namespace {

// What the host saw of the last notification 100.
std::atomic<int> g_rate_notifications{0};
std::atomic<int32_t> g_notified_rate{0};
std::atomic<int32_t> g_notified_index{-2};
decltype(&GetHWSR) g_get_sr = nullptr;
decltype(&ExtIoGetActualSrateIdx) g_get_index = nullptr;

// A pick from inside a sample callback, once, and how long the call took.
decltype(&ExtIoSetSrate) g_set_srate = nullptr;
std::atomic<int32_t> g_pick_from_block{-1};
std::atomic<int32_t> g_pick_result{-2};
std::atomic<long long> g_pick_took_ms{-1};

void host_callback(int32_t count, int32_t status, float, void*) {
  if (count > 0) {
    int32_t pick = g_pick_from_block.exchange(-1);
    if (pick < 0) return;
    auto start = std::chrono::steady_clock::now();
    g_pick_result = g_set_srate(pick);
    g_pick_took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
    return;
  }
  if (status != 100) return;
  g_notified_rate = g_get_sr();
  g_notified_index = g_get_index();
  ++g_rate_notifications;
}

template <class F>
bool eventually(F cond, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

class ExtensionsLoaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto dir = std::filesystem::temp_directory_path() / ("kmv-ext-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    bridge_ = dlopen(KMV_SIM_BRIDGE, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(bridge_, nullptr) << dlerror();
  }
  void SetUp() override {
    ASSERT_NE(bridge_, nullptr);
    sim<decltype(&KMVSIM_Reset)>("KMVSIM_Reset")();
    sim<decltype(&KMVSIM_SetPresent)>("KMVSIM_SetPresent")(1);
    lib_ = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    get_srates = sym<decltype(&ExtIoGetSrates)>("ExtIoGetSrates");
    get_index = sym<decltype(&ExtIoGetActualSrateIdx)>("ExtIoGetActualSrateIdx");
    set_srate = sym<decltype(&ExtIoSetSrate)>("ExtIoSetSrate");
    get_bandwidth = sym<decltype(&ExtIoGetBandwidth)>("ExtIoGetBandwidth");
    get_ranges = sym<decltype(&ExtIoGetFreqRanges)>("ExtIoGetFreqRanges");
    ASSERT_TRUE(get_srates && get_index && set_srate && get_bandwidth && get_ranges);
    g_get_sr = sym<decltype(&GetHWSR)>("GetHWSR");
    g_get_index = get_index;
    g_set_srate = set_srate;
    g_rate_notifications = 0;
  }
  void TearDown() override {
    if (lib_) {
      sym<decltype(&CloseHW)>("CloseHW")();
      dlclose(lib_);
    }
    std::filesystem::remove("KMV410V2.11");
  }
  template <class F>
  F sym(const char* name) {
    return reinterpret_cast<F>(dlsym(lib_, name));
  }
  template <class F>
  static F sim(const char* name) {
    return reinterpret_cast<F>(dlsym(bridge_, name));
  }
  static KMVSIM_State sim_state() {
    KMVSIM_State s{};
    s.size = sizeof s;
    sim<decltype(&KMVSIM_GetState)>("KMVSIM_GetState")(&s);
    return s;
  }
  // Open, and wait until the receiver has confirmed the clock (its set-ups notify the host once
  // more): no notification for 600 ms.
  void open() {
    sym<decltype(&SetCallback)>("SetCallback")(host_callback);
    ASSERT_TRUE(sym<decltype(&OpenHW)>("OpenHW")());
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int seen = -1;
         seen != g_rate_notifications.load() && std::chrono::steady_clock::now() < end;) {
      seen = g_rate_notifications.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
    }
  }
  std::vector<double> rates() {
    std::vector<double> list;
    double r = 0;
    for (int32_t i = 0; i < 16 && get_srates(i, &r) == 0; ++i) list.push_back(r);
    return list;
  }

  static inline void* bridge_ = nullptr;
  void* lib_ = nullptr;
  decltype(&ExtIoGetSrates) get_srates = nullptr;
  decltype(&ExtIoGetActualSrateIdx) get_index = nullptr;
  decltype(&ExtIoSetSrate) set_srate = nullptr;
  decltype(&ExtIoGetBandwidth) get_bandwidth = nullptr;
  decltype(&ExtIoGetFreqRanges) get_ranges = nullptr;
};

TEST_F(ExtensionsLoaderTest, EachPickReachesTheReceiverAndTheHostHearsTheNewRate) {
  open();
  ASSERT_EQ(sim_state().open, 1u);  // over USB
  // 125 MHz over 2 .. 64; "2" gives 62.5 MS/s, which the USB link carries only at 16 bits.
  std::vector<double> list = rates();
  EXPECT_EQ(list, (std::vector<double>{62500000, 31250000, 15625000, 7812500, 3906250, 1953125}));
  EXPECT_EQ(get_index(), 3);  // the design decimation 16
  EXPECT_EQ(g_get_sr(), 7812500);

  for (int32_t pick : {1, 0, 5}) {
    SCOPED_TRACE(pick);
    int before = g_rate_notifications.load();
    ASSERT_EQ(set_srate(pick), 0);
    // Marshalled: the notification has reached the host by the time the call returns.
    EXPECT_GT(g_rate_notifications.load(), before);
    EXPECT_EQ(g_notified_rate.load(), static_cast<int32_t>(list[pick]));
    EXPECT_EQ(g_notified_index.load(), pick);
    EXPECT_EQ(get_index(), pick);
    EXPECT_EQ(g_get_sr(), static_cast<int32_t>(list[pick]));
    EXPECT_TRUE(eventually([&] {
      KMVSIM_State s = sim_state();
      return (s.usb_format & 0x07) == uint32_t(pick) && s.stream_rate == list[pick];
    })) << std::hex
        << sim_state().usb_format;
    EXPECT_EQ(sim_state().stream_bits, pick == 0 ? 16u : 24u);
    EXPECT_EQ(get_bandwidth(pick), std::lround(list[pick] * 0.8));
  }
  EXPECT_EQ(rates(), list);  // a pick moves the selector, not the list
}

// Handed over like the other setters: the stream task never waits for the user-interface thread.
TEST_F(ExtensionsLoaderTest, PickFromTheSampleCallbackReturnsAtOnceAndStillArrives) {
  open();
  ASSERT_EQ(sym<decltype(&StartHW64)>("StartHW64")(7000000), 130560);
  int before = g_rate_notifications.load();
  g_pick_from_block = 4;
  ASSERT_TRUE(eventually([] { return g_pick_took_ms.load() >= 0; }));
  EXPECT_EQ(g_pick_result.load(), 0);
  EXPECT_LT(g_pick_took_ms.load(), 100);
  EXPECT_TRUE(eventually([] { return sim_state().stream_rate == 3906250u; }));
  EXPECT_TRUE(eventually([&] { return g_rate_notifications.load() > before; }));
  EXPECT_EQ(g_notified_rate.load(), 3906250);
  EXPECT_EQ(g_notified_index.load(), 4);
  sym<decltype(&StopHW)>("StopHW")();
}

TEST_F(ExtensionsLoaderTest, BadInputGivesMinusOneAndChangesNothing) {
  // Before the open there is no panel to offer rates from; the LO range needs none.
  double r = -7;
  EXPECT_EQ(get_srates(0, &r), -1);
  EXPECT_EQ(r, -7);
  EXPECT_EQ(get_index(), -1);
  EXPECT_EQ(set_srate(0), -1);
  EXPECT_EQ(get_bandwidth(0), -1);
  int32_t low = -1, high = -1;
  EXPECT_EQ(get_ranges(0, &low, &high), 0);
  EXPECT_EQ(low, 100000);
  EXPECT_EQ(high, 250000000);

  open();
  KMVSIM_State before = sim_state();
  int notifications = g_rate_notifications.load();
  for (int32_t idx : {-1, 6, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(idx);
    r = -7;
    EXPECT_EQ(get_srates(idx, &r), -1);
    EXPECT_EQ(r, -7);
    EXPECT_EQ(set_srate(idx), -1);
    EXPECT_EQ(get_bandwidth(idx), -1);
    low = high = -1;
    EXPECT_EQ(get_ranges(idx, &low, &high), -1);
    EXPECT_EQ(low, -1);
    EXPECT_EQ(high, -1);
  }
  EXPECT_EQ(get_ranges(1, &low, &high), -1);  // one range only
  EXPECT_EQ(get_srates(0, nullptr), -1);
  EXPECT_EQ(get_ranges(0, nullptr, &high), -1);
  EXPECT_EQ(get_ranges(0, &low, nullptr), -1);
  EXPECT_EQ(high, -1);
  EXPECT_EQ(low, -1);

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(g_rate_notifications.load(), notifications);  // every set-up tells the USB1 view
  EXPECT_EQ(get_index(), 3);
  EXPECT_EQ(sim_state().usb_format, before.usb_format);
}

}  // namespace
