// Process-wide plug-in state of the host interface: lifecycle, workers and the values reported
// to the host. Written on the user-interface thread unless a field says otherwise; every field a
// task reads is atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/tasks.h"

namespace plugin {

enum RateSelector : int32_t { kUsbRate = 0, kLanRate = 1 };
enum LoSelector : int32_t { kChannel1Lo = 0, kChannel2Lo = 1 };

constexpr int32_t kDesignRate = 7812500;   // Hz, both links until the first stream set-up
constexpr int64_t kDesignLo = 20000000;    // Hz, both channels
constexpr int32_t kBlockSamples = 130560;  // complex samples per host block
constexpr int32_t kMinReportedRate = 41000;
constexpr int64_t kLoMin = 100000;
constexpr int64_t kLoMax = 250000000;
constexpr int kAttenuatorSteps = 36;  // positions 0..35 give +7 .. -28 dB
constexpr int kOfferedRates = 6;      // one per decimation item

struct State {
  // Lifecycle.
  std::atomic<int32_t> open_count{0};  // 0 closed, 1..4 host views
  char host_name[32] = {};             // VersionInfo's program name

  // Workers. Task handles are used on the user-interface thread only.
  tasks::Pool* pool = nullptr;
  tasks::Task usb_task, udp_task, tcp_task;
  std::atomic<uint8_t> usb_stop{0}, lan_stop{0};            // ask the tasks to end
  std::atomic<uint8_t> usb_streaming{0}, lan_streaming{0};  // deliver blocks to the host

  // Values reported to the host.
  std::atomic<int32_t> usb_rate{kDesignRate}, lan_rate{kDesignRate};  // Hz per stream
  std::atomic<int32_t> rate_selector{kUsbRate};
  std::atomic<int64_t> lo1{kDesignLo}, lo2{kDesignLo};  // Hz; written on the UI thread only
  std::atomic<int32_t> lo_selector{kChannel1Lo};
  std::atomic<int32_t> sr_ack{0}, lo_ack{0};  // host has not read the notified rate / LO yet
  std::atomic<float> host_att{0.0f};          // TB_Att1 position after its last command
  // The rates offered to the host (Hz) and the index of the current one, -1 when none are
  // offered. Written with the panel mirror, and before every rate notification.
  std::atomic<int32_t> offered_rates[kOfferedRates] = {};
  std::atomic<int32_t> offered_rate_index{-1};

  // Set while the library is being unloaded: no thread joins, no waits, no message boxes.
  std::atomic<bool> detaching{false};
  // A host closed the plug-in while a handler was pumping the loop: the teardown waits until
  // that handler has returned, and every wait ends early meanwhile.
  std::atomic<bool> close_pending{false};
  // CloseHW from inside a sample callback: the teardown is requested once the callback returned.
  std::atomic<bool> close_after_callback{false};
  // A stream task is inside a host's sample callback (USB, LAN): slow, not stuck.
  std::atomic<uint8_t> usb_in_callback{0}, lan_in_callback{0};
  // What other threads may read of the panel (PanelBits), mirrored on the user-interface thread
  // after every event and export.
  std::atomic<uint32_t> panel{0};
};

enum PanelBits : uint32_t {
  kPanelExists = 1u << 0,
  kBoxUsb1 = 1u << 1,
  kBoxUsb2 = 1u << 2,
  kBoxLan1 = 1u << 3,
  kBoxLan2 = 1u << 4,
  kBoxLocked = 1u << 5,
  kModeSeparate = 1u << 6,
};

extern State g_plugin;

inline int32_t reported_rate() {
  return g_plugin.rate_selector.load() == kLanRate ? g_plugin.lan_rate.load()
                                                   : g_plugin.usb_rate.load();
}
inline int64_t reported_lo() {
  return g_plugin.lo_selector.load() == kChannel2Lo ? g_plugin.lo2.load() : g_plugin.lo1.load();
}

// Refresh what other threads may read of the panel (user-interface thread).
void mirror_panel();

// True when a pumping wait should end at once (teardown pending or library unloading).
inline bool waits_cancelled() {
  return g_plugin.close_pending.load() || g_plugin.detaching.load();
}

// Wait for a task with a time limit; true when it has finished. On the user-interface thread
// nothing of ours runs nested meanwhile, and a host calling in cannot block it.
bool wait_task(const tasks::Task& task, int ms);
// Tear the plug-in down on the user-interface thread once no handler is on the stack (any
// thread may ask; asking twice tears down once).
void request_deferred_close();
// A thread of ours was given up and may run our code later: the library stays loaded.
void keep_library_loaded();

}  // namespace plugin
