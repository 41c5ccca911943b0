#include "plugin/callbacks.h"

#include "control/Form1.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/plugin_state.h"

namespace plugin {

Slot g_slots[kSlots];

bool store_callback(ExtIOCallback cb) {
  for (auto& slot : g_slots) {
    if (slot.callback.load() == cb) return false;
  }
  for (auto& slot : g_slots) {
    if (slot.callback.load() == nullptr) {
      slot.callback.store(cb);
      return true;
    }
  }
  return false;
}

void bind_streams() {
  if (!F_RDR1) return;
  int32_t k[kSlots] = {kNone, kNone, kNone, kNone};
  auto raise = [](std::atomic<uint8_t>& flag, const std::atomic<uint8_t>& other) {
    if (other.load()) flag.store(1);
  };
  if (F_RDR1->CB_USB1->checked()) {
    k[0] = k[1] = k[2] = k[3] = kUsb1;
    raise(g_plugin.usb_streaming, g_plugin.lan_streaming);
  }
  if (F_RDR1->CB_LAN1->checked()) {
    if (k[0] == kNone) k[0] = kLan1;
    k[1] = k[2] = k[3] = kLan1;
    raise(g_plugin.lan_streaming, g_plugin.usb_streaming);
  }
  if (F_RDR1->CB_USB2->checked()) {
    if (k[0] == kNone) k[0] = kUsb2;
    if (!(k[1] > k[0])) k[1] = kUsb2;
    k[2] = k[3] = kUsb2;
    raise(g_plugin.usb_streaming, g_plugin.lan_streaming);
  }
  if (F_RDR1->CB_LAN2->checked()) {
    if (k[0] == kNone) k[0] = kLan2;
    if (!(k[1] > k[0])) k[1] = kLan2;
    if (!(k[2] > k[1])) k[2] = kLan2;
    k[3] = kLan2;
    raise(g_plugin.lan_streaming, g_plugin.usb_streaming);
  }
  for (int i = 0; i < kSlots; ++i) g_slots[i].kind.store(k[i]);
}

namespace {

thread_local int t_in_sample_callback = 0;

// `streaming` is checked before every call: a StopHW or CloseHW from inside one callback means
// that no further callback starts. `busy` tells the panel that the task is in the host's code.
void deliver(std::atomic<uint8_t>& streaming, std::atomic<uint8_t>& busy, int32_t kind1,
             int32_t kind2, void* a, void* b, bool dual) {
  for (auto& slot : g_slots) {
    ExtIOCallback cb = slot.callback.load(std::memory_order_acquire);
    if (!cb) continue;
    int32_t kind = slot.kind.load(std::memory_order_relaxed);
    if (kind != kind1 && kind != kind2) continue;
    if (streaming.load() == 0) break;
    busy.store(1);
    ++t_in_sample_callback;
    cb(kBlockSamples, 0, 0.0f, kind == kind2 && dual ? b : a);
    --t_in_sample_callback;
    busy.store(0);
  }
  if (g_plugin.close_after_callback.load(std::memory_order_relaxed) &&
      g_plugin.close_after_callback.exchange(false)) {
    request_deferred_close();
  }
}

// Pump the loop until the host has read the last notified value; Timer3 ends the wait after
// 500 ms. The deadline guards against a panel whose Timer3 was stopped underneath us.
void wait_for_ack(std::atomic<int32_t>& flag) {
  if (flag.load() == 0) return;
  if (F_RDR1) F_RDR1->Timer3->set_enabled(true);
  long long deadline = tasks::now_ms() + 1000;
  while (flag.load() != 0 && tasks::now_ms() < deadline && !waits_cancelled()) {
    ui::handle_message();
  }
}

void notify_acknowledged(int slot, std::atomic<int32_t>& flag, std::atomic<int32_t>& selector,
                         int32_t value, int32_t code) {
  ExtIOCallback cb = g_slots[slot].callback.load();
  if (!cb) return;
  wait_for_ack(flag);
  flag.store(1);
  selector.store(value);
  // A host answering a new rate asks for the rate list too: it must follow the selector.
  if (code == kSampleRateChanged) mirror_panel();
  cb(-1, code, 0.0f, nullptr);
}

}  // namespace

void deliver_usb(void* a, void* b, bool dual) {
  deliver(g_plugin.usb_streaming, g_plugin.usb_in_callback, kUsb1, kUsb2, a, b, dual);
}
void deliver_lan(void* a, void* b, bool dual) {
  deliver(g_plugin.lan_streaming, g_plugin.lan_in_callback, kLan1, kLan2, a, b, dual);
}

bool in_sample_callback() {
  return t_in_sample_callback > 0;
}

void notify_rate(int slot, int32_t selector) {
  notify_acknowledged(slot, g_plugin.sr_ack, g_plugin.rate_selector, selector, kSampleRateChanged);
}

void notify_lo(int slot, int32_t selector) {
  notify_acknowledged(slot, g_plugin.lo_ack, g_plugin.lo_selector, selector, kLoChanged);
}

void notify_lo_all() {
  for (int i = 0; i < kSlots; ++i) {
    int32_t kind = g_slots[i].kind.load();
    if (kind == kUsb1 || kind == kLan1) notify_lo(i, kChannel1Lo);
    if (kind == kUsb2 || kind == kLan2) notify_lo(i, kChannel2Lo);
  }
}

void notify_all(int32_t code) {
  for (auto& slot : g_slots) {
    if (ExtIOCallback cb = slot.callback.load()) cb(-1, code, 0.0f, nullptr);
  }
}

void notify_attenuator() {
  for (auto& slot : g_slots) {
    ExtIOCallback cb = slot.callback.load();
    int32_t kind = slot.kind.load();
    if (cb && (kind == kUsb1 || kind == kLan1)) cb(-1, kAttenuatorChanged, 0.0f, nullptr);
  }
}

}  // namespace plugin
