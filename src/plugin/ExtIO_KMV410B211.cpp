// The 21 entry points and the lifecycle they drive.
//
// Every export runs on the user-interface thread (marshalled there on POSIX), and nothing thrown
// below may cross it: each body is guarded and falls back to the interface's failure value.
#include "plugin/ExtIO_KMV410B211.h"

#include <cstring>
#include <vector>

#include "control/Form1.h"
#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "mix/Coord1.h"
#include "platform/bridge.h"
#include "platform/library.h"
#include "platform/net.h"
#include "platform/ui.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace plugin {

State g_plugin;

namespace {

constexpr int kLanTaskWaitMs = 1000;
constexpr int kStartTcpWaitMs = 1500;
constexpr int kUsbTaskWaitMs = 2000;
constexpr const char* kCloseCaption = "Close USB";

// Pools retired while one of their tasks had not confirmed its end: kept so that an abandoned
// task never runs on freed memory.
std::vector<tasks::Pool*>& retired_pools() {
  static std::vector<tasks::Pool*> pools;
  return pools;
}

// Entry points running on the user-interface thread (a host may call one from inside a
// callback of another). User-interface thread only.
int g_export_depth = 0;

template <class R, class F>
R guarded(R fallback, F&& body) {
  R result = fallback;
  ui::run_on_ui([&] {
    ++g_export_depth;
    try {
      result = body();
    } catch (...) {
      result = fallback;
    }
    --g_export_depth;
  });
  return result;
}

template <class F>
void guarded_void(F&& body) {
  guarded(0, [&] {
    body();
    return 0;
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

void apply_settings() {
  TF_RDR1& f = *F_RDR1;
  f.TB_Pos1Change(f.TB_Pos1);
  f.TB_Pos1Change(f.TB_Pos2);
  f.TB_Pos1Change(f.TB_Att1);
  f.TB_Pos1Change(f.TB_Att2);
  if (F_Coord) F_Coord->mix_send();
  f.C_Ant1Change(f.C_Ant1);
  f.C_Ant2Change(f.C_Ant2);
  f.E_Freq0->read_only = true;
  f.E_Freq1->read_only = true;
  f.E_Freq0Change(f.E_Freq0);
  if (f.RB_Csep->checked()) {
    if (!f.CB_Locked->checked()) f.E_Freq1->enabled = true;
    f.E_Freq0Change(f.E_Freq1);
  }
  if (f.CB_Locked->checked()) f.CB_LockedClick(f.CB_Locked);
  f.lan_stream_setup();
  f.usb_stream_setup();
  f.RB_CparClick(f.RB_Cpar);
  f.TB_Att2->enabled = !f.RB_C1->checked();
  f.B_CLKSetClick(f.B_CLKSet);
}

bool open_first() {
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

    apply_settings();
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
  if (usb_task.running()) {
    if (!wait_task(usb_task, kUsbTaskWaitMs)) {
      ui::message_box("USB-Task didn't stop!", kCloseCaption);
      if (bridge::Handle h = usb::g_link.handle.load()) bridge::device_abort(h);
      if (!g_plugin.detaching.load()) pump_twice();
      if (!wait_task(usb_task, kUsbTaskWaitMs)) {
        ui::message_box("Can't close USB-Task!", kCloseCaption);
      } else {
        usb_task.drop();
      }
    } else {
      usb_task.drop();
    }
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
  net::cleanup();

  if (bridge::Handle h = usb::g_link.handle.exchange(nullptr)) {
    try {
      if (bridge::close(h) != bridge::kOk) ui::message_box("Error on release USB!", kCloseCaption);
    } catch (...) {
      ui::message_box("Error on close USB!", kCloseCaption);
    }
  }

  if (g_plugin.pool) {
    // Tasks given up earlier leave as soon as they notice: a moment for them lets the pool go
    // instead of being kept for ever.
    if (!g_plugin.detaching.load()) g_plugin.pool->wait_idle(kLanTaskWaitMs);
    if (g_plugin.pool->live() > 0 || !usb_task.empty()) {
      retired_pools().push_back(g_plugin.pool);
    } else {
      delete g_plugin.pool;
    }
    g_plugin.pool = nullptr;
  }
  g_plugin.open_count = 0;
}

int64_t set_hw_lo(int64_t f) {
  bool ch2 = false;
  if (F_RDR1) {
    TF_RDR1& p = *F_RDR1;
    ch2 = (p.CB_USB2->checked() || p.CB_LAN2->checked()) &&
          !(p.CB_USB1->checked() || p.CB_LAN1->checked());
  }
  std::atomic<int64_t>& target = ch2 ? g_plugin.lo2 : g_plugin.lo1;
  std::atomic<int64_t>& other = ch2 ? g_plugin.lo1 : g_plugin.lo2;
  g_plugin.lo_selector = ch2 ? kChannel2Lo : kChannel1Lo;

  if (F_RDR1 && F_RDR1->CB_Locked->checked()) {
    int64_t c = target.load();
    if (f < c) return -c;
    if (f > c) return c;
  }
  int64_t result = 0;
  if (f < kLoMin) {
    f = kLoMin;
    result = -kLoMin;
  } else if (f > kLoMax) {
    f = kLoMax;
    result = kLoMax;
  }
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
  return task.wait(g_plugin.detaching.load() ? 0 : ms);
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
  return guarded(false, [] { return open_hw(); });
}

int32_t EXTIO_CALL StartHW64(int64_t lo_freq) {
  return guarded(int32_t{-1}, [&] { return start_hw(lo_freq); });
}

int32_t EXTIO_CALL StartHW(int32_t lo_freq) {
  return StartHW64(lo_freq);
}

void EXTIO_CALL StopHW() {
  guarded_void([] { stop_hw(); });
}

void EXTIO_CALL CloseHW() {
  bool deferred = false;
  guarded_void([&] {
    // Tearing the panel down under a handler or entry point that is still running would pull it
    // from under that code: end its waits now and tear down once it has returned.
    bool nested = ui::pump_depth() > 0 || g_export_depth > 1;
    if (g_plugin.open_count.load() <= 1 && nested && !g_plugin.detaching.load()) {
      deferred = true;
      if (!g_plugin.close_pending.exchange(true)) {
        ui::post_idle([] {
          close_hw();
          g_plugin.close_pending = false;
        });
      }
      return;
    }
    close_hw();
  });
  // A host on another thread gets its CloseHW back only once the teardown has happened.
  if (deferred && !ui::on_ui_thread()) {
    long long end = tasks::now_ms() + 5000;
    while (g_plugin.close_pending.load() && tasks::now_ms() < end) tasks::sleep_ms(5);
  }
}

int64_t EXTIO_CALL SetHWLO64(int64_t lo_freq) {
  return guarded(int64_t{0}, [&] { return set_hw_lo(lo_freq); });
}

int32_t EXTIO_CALL SetHWLO(int32_t lo_freq) {
  return static_cast<int32_t>(SetHWLO64(lo_freq));
}

int64_t EXTIO_CALL GetHWLO64() {
  return guarded(int64_t{0}, [] {
    int32_t ack = g_plugin.lo_ack.load();
    if (ack != 0) g_plugin.lo_ack = ack - 1;
    return reported_lo();
  });
}

int32_t EXTIO_CALL GetHWLO() {
  return static_cast<int32_t>(GetHWLO64());
}

int32_t EXTIO_CALL GetHWSR() {
  return guarded(int32_t{kMinReportedRate}, [] {
    int32_t ack = g_plugin.sr_ack.load();
    if (ack != 0) g_plugin.sr_ack = ack - 1;
    uint32_t rate = static_cast<uint32_t>(reported_rate());
    return rate <= static_cast<uint32_t>(kMinReportedRate) ? kMinReportedRate
                                                           : static_cast<int32_t>(rate);
  });
}

int32_t EXTIO_CALL GetStatus() {
  return 0;
}

void EXTIO_CALL TuneChanged(int32_t freq) {
  guarded_void([&] {
    if (F_RDR1) F_RDR1->antenna_tuning_follow_up(freq, 3, false);
  });
}

void EXTIO_CALL SetCallback(ExtIOCallback callback) {
  guarded_void([&] {
    if (!callback) return;
    if (store_callback(callback) && F_RDR1) bind_streams();
  });
}

void EXTIO_CALL ShowGUI() {
  guarded_void([] {
    if (!F_RDR1) return;
    F_RDR1->show();
    F_RDR1->bring_to_front();
    if (F_RDR1->RB_Cdiv->checked() && F_Coord) {
      F_Coord->show();
      F_Coord->bring_to_front();
    }
  });
}

void EXTIO_CALL HideGUI() {
  guarded_void([] {
    if (F_RDR1) F_RDR1->hide();
    if (F_Coord) F_Coord->hide();
  });
}

void EXTIO_CALL VersionInfo(const char* progname, int32_t, int32_t) {
  if (!progname) return;
  // Read at most 32 bytes: a longer name is ignored without reading past it.
  size_t n = strnlen(progname, sizeof(g_plugin.host_name));
  if (n >= sizeof(g_plugin.host_name)) return;
  guarded_void([&] { std::memcpy(g_plugin.host_name, progname, n + 1); });
}

void EXTIO_CALL ExtIoSDRInfo(int32_t, int32_t, void*) {}

int32_t EXTIO_CALL GetAttenuators(int32_t index, float* attenuation) {
  if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(kAttenuatorSteps)) return -1;
  if (attenuation) *attenuation = static_cast<float>(7 - index);
  return 0;
}

int32_t EXTIO_CALL GetActualAttIdx() {
  return guarded(int32_t{-1}, [] {
    if (!F_RDR1) return -1;
    return static_cast<int32_t>(g_plugin.host_att.load());
  });
}

int32_t EXTIO_CALL SetAttenuators(int32_t index) {
  return guarded(int32_t{-1}, [&] {
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(kAttenuatorSteps)) return -1;
    if (!F_RDR1) return -1;
    F_RDR1->TB_Att1->set_position(index);
    return 0;
  });
}

// Library unload. Under the Windows loader lock nothing may join threads, wait on tasks or show a
// message box; when the process is terminating there is nothing worth doing at all.
void plugin_library_detach(bool process_terminating) {
  if (process_terminating) return;
  if (g_plugin.open_count.load() == 1) {
    g_plugin.detaching = true;
    ui::suppress_message_boxes(true);
    CloseHW();
    ui::suppress_message_boxes(false);
    g_plugin.detaching = false;
  }
  // What the plug-in kept for its tasks goes with the library, unless a task that never ended
  // could still reach it.
  bool tasks_left = g_plugin.pool || !g_plugin.usb_task.empty();
  for (tasks::Pool* p : retired_pools()) tasks_left = tasks_left || p->live() > 0;
  if (!tasks_left) {
    for (tasks::Pool* p : retired_pools()) delete p;
    retired_pools().clear();
    usb::release_storage_at_unload();
  }
}
