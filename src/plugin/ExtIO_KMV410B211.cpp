// The 21 entry points and the lifecycle they drive, and the optional extensions.
//
// Exports that change anything run on the user-interface thread (marshalled there from other
// host threads); the read-only ones answer on the calling thread. A call from one of our own
// stream tasks (a host calling in from a sample callback) is handed to the user-interface thread
// and answered at once: a task never waits for that thread. Nothing thrown below may cross an
// export: each body is guarded and falls back to the interface's failure value.
#include "plugin/ExtIO_KMV410B211.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "control/Form1.h"
#include "control/settings_file.h"
#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "mix/Coord1.h"
#include "platform/bridge.h"
#include "platform/library.h"
#include "platform/net.h"
#include "platform/ui.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/Usbtask1.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace plugin {

State g_plugin;

// Mirror of the panel for the answers given off the user-interface thread.
void mirror_panel() {
  uint32_t bits = 0;
  TF_RDR1::RateChoices rates{};
  if (TF_RDR1* f = F_RDR1) {
    bits |= kPanelExists;
    if (f->CB_USB1->checked()) bits |= kBoxUsb1;
    if (f->CB_USB2->checked()) bits |= kBoxUsb2;
    if (f->CB_LAN1->checked()) bits |= kBoxLan1;
    if (f->CB_LAN2->checked()) bits |= kBoxLan2;
    if (f->CB_Locked->checked()) bits |= kBoxLocked;
    if (f->RB_Csep->checked()) bits |= kModeSeparate;
    rates = f->rate_choices();
  }
  static_assert(kOfferedRates == control::kDecimationItems);
  for (int i = 0; i < kOfferedRates; ++i) {
    g_plugin.offered_rates[i].store(i < rates.count ? rates.rates[i] : 0);
  }
  g_plugin.offered_rate_index.store(rates.count > 0 ? rates.current : -1);
  g_plugin.panel.store(bits);
}

namespace {

constexpr int kLanTaskWaitMs = 1000;
constexpr int kStartTcpWaitMs = 1500;
constexpr int kUsbTaskWaitMs = 2000;
constexpr const char* kCloseCaption = "Close USB";

// The body on the user-interface thread: directly when already there, else marshalled.
template <class R, class F>
R on_ui(R fallback, F&& body) {
  R result = fallback;
  ui::run_on_ui([&] {
    try {
      result = body();
    } catch (...) {
      result = fallback;
    }
    mirror_panel();
  });
  return result;
}

template <class F>
void on_ui_void(F&& body) {
  on_ui(0, [&] {
    body();
    return 0;
  });
}

// From a stream task: the body goes to the user-interface thread, which runs it as soon as it
// can; the caller does not wait.
template <class F>
void hand_over(F body) {
  ui::post([body]() mutable {
    try {
      body();
    } catch (...) {
    }
    mirror_panel();
  });
}

void pump_twice() {
  ui::process_messages();
  ui::handle_message();
}

// Stop a LAN task: wait, then tell the receiver to stop that stream if the task is stuck (the
// task is given up and leaves without touching anything).
void stop_lan_task(tasks::Task& task, int wait_ms, uint8_t link) {
  lan::stop_task(task, wait_ms, true, link);
}

bool open_first() {
  // Panel events (the user ticking a stream box) keep the mirror current for other threads.
  ui::set_after_event(&mirror_panel);
  g_plugin.usb_stop = 0;
  g_plugin.lan_stop = 0;
  g_plugin.usb_streaming = 0;
  g_plugin.lan_streaming = 0;
  // After an earlier failed open these may still exist.
  if (!g_plugin.pool) g_plugin.pool = new tasks::Pool;
  usb::create_queues();

  if (!F_RDR1) {
    try {
      net::startup();
      F_RDR1 = new TF_RDR1();
      usb::count_devices();
    } catch (...) {
      usb::g_link.handle = nullptr;
      usb::g_link.device_count = 0;
    }
    if (!F_RDR1) return false;
  }

  try {
    TF_RDR1& f = *F_RDR1;
    f.show();
    pump_twice();
    f.bring_to_front();
    pump_twice();

    f.CB_USB->set_checked(false);
    f.CB_USB1->set_checked(false);

    usb::open_sequence();

    if (!f.CB_USB->checked()) {
      if (bridge::Handle h = usb::g_link.handle.exchange(nullptr)) bridge::close(h);
      f.B_ConnClick(nullptr);
    }

    f.apply_settings();
    g_plugin.open_count = 1;

    f.E_GPSExit(f.E_GPS);
    f.CB_SontopClick(f.CB_Sontop);
    if (F_Coord) F_Coord->mix_send();
    return true;
  } catch (...) {
    if (bridge::Handle h = usb::g_link.handle.exchange(nullptr)) bridge::close(h);
    g_plugin.open_count = 0;
    return g_plugin.open_count != 0;
  }
}

bool open_hw() {
  int32_t count = g_plugin.open_count.load();
  if (count == 0) return open_first();
  if (count == 1) {
    if (!F_RDR1) return false;
    g_plugin.open_count = 2;
    bind_streams();
    return true;
  }
  if (count == 2 || count == 3) {
    if (!F_RDR1 || !F_RDR1->RB_Csep->checked()) return false;
    g_plugin.open_count = count + 1;
    bind_streams();
    return true;
  }
  return false;
}

int32_t start_hw(int64_t lo) {
  g_plugin.usb_streaming = 0;
  g_plugin.lan_streaming = 0;
  if (g_plugin.open_count.load() == 0 || !F_RDR1) return -1;
  TF_RDR1& f = *F_RDR1;

  if (f.RB_UDP->checked()) {
    g_plugin.lan_stop = 1;
    stop_lan_task(g_plugin.tcp_task, kStartTcpWaitMs, lan::kLinkTcp);
    g_plugin.lan_stop = 0;
    lan::start_udp_task();
  } else if (f.CB_LAN->checked()) {
    lan::start_tcp_receive_task();
  }

  int32_t result = -1;
  if (f.CB_USB1->checked() || f.CB_USB2->checked()) {
    g_plugin.usb_streaming = 1;
    result = kBlockSamples;
  }
  if (f.CB_LAN1->checked() || f.CB_LAN2->checked()) {
    g_plugin.lan_streaming = 1;
    result = kBlockSamples;
  }
  if (result == kBlockSamples) {
    SetHWLO64(lo);
    f.RG_LAN->enabled = false;
    f.RG_LAN->color = ui::kSilver;
  }
  return result;
}

void stop_hw() {
  g_plugin.usb_streaming = 0;
  g_plugin.lan_streaming = 0;
  g_plugin.lan_stop = 1;
  if (F_RDR1) {
    F_RDR1->RG_LAN->enabled = true;
    F_RDR1->RG_LAN->color = F_RDR1->Panel1->color;
    F_RDR1->B_Conn->enabled = true;
  }
  if (g_plugin.open_count.load() == 0) return;
  stop_lan_task(g_plugin.udp_task, kLanTaskWaitMs, lan::kLinkUdp);
  lan::close_tcp_socket();
  g_plugin.lan_stop = 0;
  if (F_RDR1 && F_RDR1->CB_LAN->checked()) lan::start_tcp_receive_task();
}

void close_hw() {
  int32_t count = g_plugin.open_count.load();
  if (count >= 2) {
    g_plugin.open_count = count - 1;
    return;
  }
  g_plugin.usb_streaming = 0;
  g_plugin.lan_streaming = 0;
  g_plugin.usb_stop = 1;
  g_plugin.lan_stop = 1;

  stop_lan_task(g_plugin.udp_task, kLanTaskWaitMs, lan::kLinkUdp);
  lan::close_udp_socket();
  stop_lan_task(g_plugin.tcp_task, kLanTaskWaitMs, lan::kLinkTcp);
  lan::close_tcp_socket();
  lan::g_lan.receiver_found = 0;

  tasks::Task& usb_task = g_plugin.usb_task;
  bool usb_given_up = false;
  if (usb_task.running() && !wait_task(usb_task, kUsbTaskWaitMs)) {
    if (g_plugin.usb_in_callback.load()) {
      // Still in the host's callback: slow, not stuck. It ends when the host returns.
      usb_given_up = true;
    } else {
      ui::message_box("USB-Task didn't stop!", kCloseCaption);
      if (bridge::Handle h = usb::g_link.handle.load()) bridge::device_abort(h);
      if (!g_plugin.detaching.load()) pump_twice();
      if (!wait_task(usb_task, kUsbTaskWaitMs)) {
        ui::message_box("Can't close USB-Task!", kCloseCaption);
        usb_given_up = true;
      }
    }
  }
  // A task given up keeps its device and closes it when it leaves; nobody else may.
  if (usb_given_up) {
    usb::abandon_usb_task();
  } else {
    usb_task.drop();
  }

  if (F_RDR1) {
    TF_RDR1* panel = F_RDR1;
    panel->hide();
    F_RDR1 = nullptr;
    delete panel;
  }

  usb::destroy_queues();
  // Never from the loader's callback: Winsock may not be called there.
  if (!g_plugin.detaching.load()) net::cleanup();

  if (bridge::Handle h = usb::g_link.handle.exchange(nullptr)) {
    try {
      if (g_plugin.detaching.load()) {
        bridge::close_detached(h);
      } else if (bridge::close(h) != bridge::kOk) {
        ui::message_box("Error on release USB!", kCloseCaption);
      }
    } catch (...) {
      ui::message_box("Error on close USB!", kCloseCaption);
    }
  }

  if (tasks::Pool* pool = g_plugin.pool) {
    g_plugin.pool = nullptr;
    // Tasks given up run on by themselves (their bookkeeping is shared with them) and keep the
    // library loaded; the rest is joined, except under the loader lock, where a thread cannot
    // end until the lock is released.
    bool live = pool->live() > 0;
    if (live || g_plugin.detaching.load()) pool->abandon();
    if (live) keep_library_loaded();
    delete pool;
  }
  g_plugin.open_count = 0;
  mirror_panel();
}

// Channel 2 is tuned when only channel-2 streams are on.
bool lo_targets_channel2(uint32_t panel) {
  return (panel & (kBoxUsb2 | kBoxLan2)) && !(panel & (kBoxUsb1 | kBoxLan1));
}

// What SetHWLO64(f) returns, and the frequency it stores (unchanged while locked).
int64_t lo_answer(int64_t& f, uint32_t panel) {
  const std::atomic<int64_t>& target = lo_targets_channel2(panel) ? g_plugin.lo2 : g_plugin.lo1;
  if (panel & kBoxLocked) {
    int64_t c = target.load();
    if (f < c) return -c;
    if (f > c) return c;
  }
  if (f < kLoMin) {
    f = kLoMin;
    return -kLoMin;
  }
  if (f > kLoMax) {
    f = kLoMax;
    return kLoMax;
  }
  return 0;
}

int64_t set_hw_lo(int64_t f) {
  mirror_panel();
  uint32_t panel = g_plugin.panel.load();
  bool ch2 = lo_targets_channel2(panel);
  std::atomic<int64_t>& target = ch2 ? g_plugin.lo2 : g_plugin.lo1;
  std::atomic<int64_t>& other = ch2 ? g_plugin.lo1 : g_plugin.lo2;
  g_plugin.lo_selector = ch2 ? kChannel2Lo : kChannel1Lo;

  int64_t result = lo_answer(f, panel);
  if ((panel & kBoxLocked) && result != 0) return result;
  target = f;
  bool separate = F_RDR1 && F_RDR1->RB_Csep->checked();
  if (!separate) other = f;

  if (F_RDR1) {
    TF_RDR1& p = *F_RDR1;
    if (!ch2) {
      p.E_Freq0->read_only = true;
      p.E_Freq0->set_text(std::to_string(g_plugin.lo1.load()));
      if (!separate) {
        p.E_Freq1->read_only = true;
        p.E_Freq1->set_text(std::to_string(g_plugin.lo2.load()));
      }
    } else {
      p.E_Freq1->read_only = true;
      p.E_Freq1->set_text(std::to_string(g_plugin.lo2.load()));
    }
  }
  return result;
}

}  // namespace

bool wait_task(const tasks::Task& task, int ms) {
  // Task::wait is bounded by ms; under the loader lock nothing may be served meanwhile.
  if (g_plugin.detaching.load() || !ui::on_ui_thread()) return task.wait(ms);
  return ui::wait_until(ms, [&] { return !task.running(); });
}

void request_deferred_close() {
  if (g_plugin.close_pending.exchange(true)) return;
  ui::post_idle([] {
    close_hw();
    g_plugin.close_pending = false;
  });
}

namespace {
// While the library is being unloaded the loader's lock is held by the unloading thread: only
// that thread may pin the library, once the teardown is over.
std::atomic<bool> g_unloading{false}, g_pin_wanted{false};
}  // namespace

void keep_library_loaded() {
  if (g_unloading.load()) {
    g_pin_wanted = true;
    return;
  }
  platform::pin_library();
}

}  // namespace plugin

using namespace plugin;

bool EXTIO_CALL InitHW(char* name, char* model, int32_t* type) {
  if (name) std::memcpy(name, "KMV410", 7);
  if (model) std::memcpy(model, "KMV410B2", 9);
  if (type) *type = 5;
  return true;
}

bool EXTIO_CALL OpenHW() {
  if (tasks::on_worker_thread()) {
    int32_t count = g_plugin.open_count.load();
    uint32_t panel = g_plugin.panel.load();
    bool ok = (panel & kPanelExists) &&
              (count == 1 || ((count == 2 || count == 3) && (panel & kModeSeparate)));
    if (ok) hand_over([] { open_hw(); });
    return ok;
  }
  return on_ui(false, [] { return open_hw(); });
}

int32_t EXTIO_CALL StartHW64(int64_t lo_freq) {
  if (tasks::on_worker_thread()) {
    uint32_t panel = g_plugin.panel.load();
    if (g_plugin.open_count.load() == 0 || !(panel & kPanelExists)) return -1;
    hand_over([lo_freq] { start_hw(lo_freq); });
    return panel & (kBoxUsb1 | kBoxUsb2 | kBoxLan1 | kBoxLan2) ? kBlockSamples : -1;
  }
  return on_ui(int32_t{-1}, [&] { return start_hw(lo_freq); });
}

int32_t EXTIO_CALL StartHW(int32_t lo_freq) {
  return StartHW64(lo_freq);
}

void EXTIO_CALL StopHW() {
  if (tasks::on_worker_thread()) {
    // Delivery ends before this returns; the tasks are stopped on the user-interface thread.
    g_plugin.usb_streaming = 0;
    g_plugin.lan_streaming = 0;
    hand_over([] { stop_hw(); });
    return;
  }
  on_ui_void([] { stop_hw(); });
}

namespace {

// On the user-interface thread: the teardown at once, or, under a handler, pump or callback that
// is still running, once it has returned.
bool close_or_defer() {
  bool nested = ui::handler_depth() > 1;
  if (g_plugin.open_count.load() <= 1 && nested && !g_plugin.detaching.load()) {
    request_deferred_close();
    return true;
  }
  close_hw();
  return false;
}

// close_or_defer from any thread. A caller off the user-interface thread gets back only once a
// deferred teardown has happened, or wait_ms have passed; false while it is still pending.
bool close_and_wait(int wait_ms) {
  bool deferred = false;
  on_ui_void([&] { deferred = close_or_defer(); });
  if (deferred && !ui::on_ui_thread()) {
    long long end = tasks::now_ms() + wait_ms;
    while (g_plugin.close_pending.load() && tasks::now_ms() < end) tasks::sleep_ms(5);
  }
  return !g_plugin.close_pending.load();
}

}  // namespace

void EXTIO_CALL CloseHW() {
  if (tasks::on_worker_thread()) {
    if (g_plugin.open_count.load() <= 1) {
      // No sample callback starts after this returns; the teardown waits for the callback.
      g_plugin.usb_streaming = 0;
      g_plugin.lan_streaming = 0;
      if (in_sample_callback()) {
        g_plugin.close_after_callback = true;
      } else {
        request_deferred_close();
      }
    } else {
      hand_over([] { close_or_defer(); });
    }
    return;
  }
  // A host on another thread gets its CloseHW back only once the teardown has happened.
  close_and_wait(5000);
}

int64_t EXTIO_CALL SetHWLO64(int64_t lo_freq) {
  if (tasks::on_worker_thread()) {
    int64_t f = lo_freq;
    int64_t result = lo_answer(f, g_plugin.panel.load());
    hand_over([lo_freq] { set_hw_lo(lo_freq); });
    return result;
  }
  return on_ui(int64_t{0}, [&] { return set_hw_lo(lo_freq); });
}

int32_t EXTIO_CALL SetHWLO(int32_t lo_freq) {
  return static_cast<int32_t>(SetHWLO64(lo_freq));
}

namespace {

// Lower an acknowledgement flag by one, never below 0 (any thread).
void acknowledge(std::atomic<int32_t>& flag) {
  int32_t v = flag.load();
  while (v > 0 && !flag.compare_exchange_weak(v, v - 1)) {
  }
}

}  // namespace

// The getters read the plug-in state where they are called: a host may ask from any thread, also
// while the user-interface thread is busy.
int64_t EXTIO_CALL GetHWLO64() {
  acknowledge(g_plugin.lo_ack);
  return reported_lo();
}

int32_t EXTIO_CALL GetHWLO() {
  return static_cast<int32_t>(GetHWLO64());
}

int32_t EXTIO_CALL GetHWSR() {
  acknowledge(g_plugin.sr_ack);
  uint32_t rate = static_cast<uint32_t>(reported_rate());
  return rate <= static_cast<uint32_t>(kMinReportedRate) ? kMinReportedRate
                                                         : static_cast<int32_t>(rate);
}

int32_t EXTIO_CALL GetStatus() {
  return 0;
}

void EXTIO_CALL TuneChanged(int32_t freq) {
  auto body = [freq] {
    if (F_RDR1) F_RDR1->antenna_tuning_follow_up(freq, 3, false);
  };
  if (tasks::on_worker_thread()) return hand_over(body);
  on_ui_void(body);
}

void EXTIO_CALL SetCallback(ExtIOCallback callback) {
  auto body = [callback] {
    if (!callback) return;
    if (store_callback(callback) && F_RDR1) bind_streams();
  };
  if (tasks::on_worker_thread()) return hand_over(body);
  on_ui_void(body);
}

void EXTIO_CALL ShowGUI() {
  auto body = [] {
    if (!F_RDR1) return;
    F_RDR1->show();
    F_RDR1->bring_to_front();
    if (F_RDR1->RB_Cdiv->checked() && F_Coord) {
      F_Coord->show();
      F_Coord->bring_to_front();
    }
  };
  if (tasks::on_worker_thread()) return hand_over(body);
  on_ui_void(body);
}

void EXTIO_CALL HideGUI() {
  auto body = [] {
    if (F_RDR1) F_RDR1->hide();
    if (F_Coord) F_Coord->hide();
  };
  if (tasks::on_worker_thread()) return hand_over(body);
  on_ui_void(body);
}

void EXTIO_CALL VersionInfo(const char* progname, int32_t, int32_t) {
  if (!progname) return;
  // Read at most 32 bytes: a longer name is ignored without reading past it.
  size_t n = strnlen(progname, sizeof(g_plugin.host_name));
  if (n >= sizeof(g_plugin.host_name)) return;
  char name[sizeof(g_plugin.host_name)] = {};
  std::memcpy(name, progname, n);
  auto body = [name]() { std::memcpy(g_plugin.host_name, name, sizeof(name)); };
  if (tasks::on_worker_thread()) return hand_over(body);
  on_ui_void(body);
}

void EXTIO_CALL ExtIoSDRInfo(int32_t, int32_t, void*) {}

int32_t EXTIO_CALL GetAttenuators(int32_t index, float* attenuation) {
  if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(kAttenuatorSteps)) return -1;
  if (attenuation) *attenuation = static_cast<float>(7 - index);
  return 0;
}

int32_t EXTIO_CALL GetActualAttIdx() {
  bool panel = ui::on_ui_thread() ? F_RDR1 != nullptr : (g_plugin.panel.load() & kPanelExists);
  if (!panel) return -1;
  return static_cast<int32_t>(g_plugin.host_att.load());
}

int32_t EXTIO_CALL SetAttenuators(int32_t index) {
  if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(kAttenuatorSteps)) return -1;
  auto body = [index] {
    if (!F_RDR1) return -1;
    F_RDR1->TB_Att1->set_position(index);
    return 0;
  };
  if (tasks::on_worker_thread()) {
    if (!(g_plugin.panel.load() & kPanelExists)) return -1;
    hand_over(body);
    return 0;
  }
  return on_ui(int32_t{-1}, body);
}

// ---- Extensions ----

namespace {

// The share of a rate a host should treat as clean: the decimation filters roll off towards the
// band edges.
constexpr double kUsableBandwidth = 0.8;

bool valid_rate_index(int32_t idx) {
  return static_cast<uint32_t>(idx) < static_cast<uint32_t>(kOfferedRates);
}

// Rates are offered only with a panel whose set-up can deliver them.
bool rates_offered() {
  return (g_plugin.panel.load() & kPanelExists) && g_plugin.offered_rate_index.load() >= 0;
}

// As the user picks a decimation: the selector's index, then its change handler, whose set-up
// notifies the host of the new rate.
int32_t set_srate(int32_t idx) {
  if (!F_RDR1 || g_plugin.open_count.load() == 0 || !rates_offered()) return -1;
  ui::Control* selector = F_RDR1->reported_rate_selector();
  if (!selector->enabled || idx >= static_cast<int32_t>(selector->items.size())) return -1;
  selector->user_select(idx);
  return 0;
}

}  // namespace

// The rate getters answer from the mirror, on the calling thread.
int32_t EXTIO_CALL ExtIoGetSrates(int32_t idx, double* samplerate) {
  if (!samplerate || !valid_rate_index(idx) || !rates_offered()) return -1;
  *samplerate = static_cast<double>(g_plugin.offered_rates[idx].load());
  return 0;
}

int32_t EXTIO_CALL ExtIoGetActualSrateIdx() {
  return rates_offered() ? g_plugin.offered_rate_index.load() : -1;
}

int32_t EXTIO_CALL ExtIoSetSrate(int32_t idx) {
  if (!valid_rate_index(idx)) return -1;
  if (tasks::on_worker_thread()) {
    if (g_plugin.open_count.load() == 0 || !rates_offered()) return -1;
    hand_over([idx] { set_srate(idx); });
    return 0;
  }
  return on_ui(int32_t{-1}, [idx] { return set_srate(idx); });
}

int32_t EXTIO_CALL ExtIoGetBandwidth(int32_t srate_idx) {
  if (!valid_rate_index(srate_idx) || !rates_offered()) return -1;
  return static_cast<int32_t>(
      std::lround(g_plugin.offered_rates[srate_idx].load() * kUsableBandwidth));
}

// One range: the LO limits of SetHWLO64.
int32_t EXTIO_CALL ExtIoGetFreqRanges(int32_t idx, int32_t* freq_low, int32_t* freq_high) {
  if (idx != 0 || !freq_low || !freq_high) return -1;
  *freq_low = static_cast<int32_t>(kLoMin);
  *freq_high = static_cast<int32_t>(kLoMax);
  return 0;
}

// Library unload, or the end of the process. The library is going away: whatever the open count,
// nothing of ours may run on afterwards, so everything is stopped (the settings file is written
// as CloseHW writes it). Under the Windows loader lock nothing may join threads, pump, call
// Winsock or show a message box; the tasks' own ends are still waited for, within their limits.
// When a Windows process terminates, the other threads are already gone: only the settings file
// is written, without waiting for anyone.
bool plugin_library_detach(bool process_terminating, bool under_loader_lock) {
  if (process_terminating) {
    if (F_RDR1 && g_plugin.open_count.load() != 0) {
      ui::suppress_message_boxes(true);
      try {
        settings::save(*F_RDR1);
      } catch (...) {
      }
    }
    return false;
  }
  if (g_plugin.open_count.load() != 0 || F_RDR1 || g_plugin.pool) {
    g_unloading = true;
    g_plugin.detaching = under_loader_lock;
    ui::suppress_message_boxes(true);
    if (g_plugin.open_count.load() > 1) g_plugin.open_count = 1;
    if (under_loader_lock) {
      close_hw();  // on this thread: the loader holds the one the host uses
    } else {
      // Never inside a handler that is pumping: it would return into a panel that is gone. Its
      // waits end at once meanwhile, and the teardown follows once it has returned.
      if (!close_and_wait(5 * kUsbTaskWaitMs)) keep_library_loaded();
    }
    ui::suppress_message_boxes(false);
    g_plugin.detaching = false;
  }
  g_unloading = false;
  // Tasks that were told to stop get a moment to leave (their count drops before their thread
  // ends, so this works under the loader lock too). What the queues kept goes with the library,
  // unless a task that was given up could reach it.
  long long end = tasks::now_ms() + kLanTaskWaitMs;
  while (tasks::threads_alive() > 0 && tasks::now_ms() < end) tasks::sleep_ms(5);
  if (tasks::threads_alive() == 0) usb::release_storage_at_unload();
  return g_pin_wanted.exchange(false) || tasks::threads_alive() > 0;
}
