// USB device link: open, identify and reopen the receiver.
#include "usb/device_link.h"

#include <cstdio>

#include "control/Form1.h"
#include "control/commands.h"
#include "mix/Coord1.h"
#include "platform/ui.h"
#include "plugin/plugin_state.h"
#include "update/Update1.h"
#include "usb/Usbtask1.h"

namespace usb {

LinkState g_link;
std::atomic<uint32_t> g_command_sequence{0};

namespace {

constexpr uint32_t kPipeTimeoutMs = 1900;
constexpr int kOpenAttempts = 50;
constexpr int kClearAttempts = 100;
constexpr uint8_t kIdentifyCode = 0x12;
constexpr int kTaskWaitMs = 2000;
constexpr int kTaskExtraWaitMs = 1000;
constexpr int kRecoveryIntervalMs = 4000;
// Between the handshake's reads the panel's events run, but the next read does not wait for one:
// a receiver that never gives the identify answer costs its attempts times this, not minutes.
constexpr int kIdentifyPaceMs = 20;

inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t tag_of(const uint8_t* block) {
  return le32(block + 4084);
}
inline uint8_t code_of(const uint8_t* block) {
  return block[4088];
}

void pump() {
  ui::process_messages();
  ui::handle_message();
}

// Device setting, pipe time-outs and one read of whatever block the receiver had ready.
bool configure(bridge::Handle h) {
  bridge::device_setting(h, 0);
  bridge::pipe_timeout(h, bridge::kPipeOut, kPipeTimeoutMs);
  bridge::pipe_timeout(h, bridge::kPipeIn, kPipeTimeoutMs);
  uint32_t n = 0;
  bridge::Status s =
      bridge::read_pipe(h, bridge::kPipeIn, read_buffer(0), kBlockBytes, &n, nullptr);
  return s == bridge::kOk && n == kBlockBytes;
}

bridge::Status write_identify(bridge::Handle h, uint32_t* written) {
  auto msg = commands::identify_usb(next_sequence());
  return bridge::write_pipe(h, bridge::kPipeOut, msg.data(), uint32_t(msg.size()), written,
                            nullptr);
}

// The identify handshake with `attempts` reads; true when the receiver answered with code 18.
bool identify(bridge::Handle h, int attempts) {
  uint8_t* reply = read_buffer(0);
  g_link.last_reply_tag = tag_of(reply);
  uint32_t written = 0;
  bridge::Status s = write_identify(h, &written);
  g_link.bridge_status = s;
  if (s != bridge::kOk || written != 8 || tag_of(reply) != g_link.last_reply_tag.load())
    return false;

  bridge::Status last = 1;
  uint32_t n = 0;
  while (attempts > 0) {
    n = 0;
    last = bridge::read_pipe(h, bridge::kPipeIn, reply, kBlockBytes, &n, nullptr);
    g_link.bridge_status = last;
    if (last != bridge::kOk) {
      // Three failed reads in a row end it; the second is followed by one more identify.
      if (attempts == 1) {
        attempts = 0;
      } else if (attempts == 2) {
        uint32_t ignored = 0;
        write_identify(h, &ignored);
        attempts = 1;
      } else {
        attempts = 2;
      }
    } else {
      --attempts;
      if (n == kBlockBytes && code_of(reply) == kIdentifyCode) break;
      if (n == kBlockBytes) g_link.last_reply_tag = tag_of(reply);
    }
    ui::process_messages();
    ui::handle_message(kIdentifyPaceMs);
    if (plugin::waits_cancelled()) return false;
    if (tag_of(reply) != g_link.last_reply_tag.load()) break;
  }
  return last == bridge::kOk && take_identify_reply(reply, n);
}

void set_firmware_label(TF_RDR1& f) {
  f.L_Firm->caption = firmware_label(g_link.firmware_version.load(), g_link.serial_number.load());
}

// The panel's side of a link that came up.
void link_up(TF_RDR1& f) {
  f.CB_USB->set_checked(true);
  f.CB_USB1->enabled = true;
  f.CB_USB1->set_checked(true);
  if (f.RB_Csep->checked()) f.CB_USB2->enabled = true;
  f.B_Update->enabled = true;
  f.B_Set->enabled = true;
}

void close_handle() {
  if (bridge::Handle h = g_link.handle.exchange(nullptr)) bridge::close(h);
}

// Stop the stream task before the device is closed or reopened. True when the device is the
// caller's to close. A task that does not end even after its transfers were aborted is abandoned
// and keeps the device (it closes it when it leaves): it is never closed under it.
bool stop_task_for_reopen(bool abort_pipes) {
  if (stop_usb_task(kTaskWaitMs)) {
    plugin::g_plugin.usb_task.drop();
    return true;
  }
  if (bridge::Handle h = g_link.handle.load(); h && abort_pipes) {
    bridge::stream_off(h, bridge::kPipeIn);
    bridge::abort_pipe(h, bridge::kPipeOut);
    bridge::abort_pipe(h, bridge::kPipeIn);
  } else if (h) {
    bridge::device_abort(h);
  }
  if (plugin::wait_task(plugin::g_plugin.usb_task, kTaskExtraWaitMs)) {
    plugin::g_plugin.usb_task.drop();
    return true;
  }
  return !abandon_usb_task();
}

}  // namespace

bool take_identify_reply(const uint8_t* block, uint32_t n) {
  if (n != kBlockBytes || code_of(block) != kIdentifyCode) return false;
  g_link.last_reply_tag = tag_of(block);
  g_link.serial_number = block[4089];
  g_link.firmware_version = le32(block + 4092);
  return true;
}

std::string firmware_label(uint32_t version, uint32_t serial) {
  char text[64];
  std::snprintf(text, sizeof(text), "KMV410 V%03X S/N %04u", version, serial);
  return text;
}

void count_devices() {
  uint32_t count = 0;
  if (bridge::device_count(&count) != bridge::kOk) count = 0;
  g_link.device_count = count;
}

void open_sequence() {
  TF_RDR1& f = *F_RDR1;
  g_link.bridge_status = bridge::kOk;
  if (g_link.device_count.load() != 0 && !g_link.handle.load()) {
    bridge::Handle h = nullptr;
    g_link.bridge_status = bridge::open_by_description(&h);
    g_link.handle = h;
  }
  // With the link down there is nothing to configure or identify.
  if (g_link.bridge_status.load() != bridge::kOk || g_link.device_count.load() == 0 ||
      !g_link.handle.load()) {
    close_handle();
    return;
  }
  bridge::Handle h = g_link.handle.load();
  configure(h);
  if (identify(h, kOpenAttempts)) {
    set_firmware_label(f);
    start_usb_task();
    link_up(f);
  }
  if (!f.CB_USB->checked()) {
    pump();
    close_handle();
  }
}

}  // namespace usb

using namespace usb;

void TF_RDR1::B_CLRUClick(ui::Control*) {
  Timer2->set_enabled(false);
  g_usb_counters.lost = 0;

  if (!g_link.handle.load()) {
    // Reopen.
    plugin::g_plugin.usb_stop = 1;
    bool ended = plugin::g_plugin.usb_task.empty() || stop_task_for_reopen(false);
    if (ended) {
      close_handle();
    } else {
      g_link.handle = nullptr;  // the abandoned task keeps its device
    }

    if (g_link.device_count.load() == 0) {
      count_devices();
      if (g_link.device_count.load() == 0) {
        CB_USB->set_checked(false);
        return;
      }
    }
    bridge::Handle h = nullptr;
    if (bridge::open_by_description(&h) != bridge::kOk || !h) {
      if (h) bridge::close(h);
      CB_USB->set_checked(false);
      return;
    }
    g_link.handle = h;

    if (configure(h) && identify(h, kClearAttempts)) {
      set_firmware_label(*this);
      plugin::g_plugin.usb_stop = 0;
      start_usb_task();
      link_up(*this);
      // The receiver may have lost its settings with the link: give it the panel's again.
      restore_receiver();
      Timer2->set_interval(kRecoveryIntervalMs);
      Timer2->set_enabled(true);
    } else {
      // A failed reopen leaves no link: without this the tail would keep a dead handle open.
      CB_USB->set_checked(false);
    }
  }

  // Tail.
  if (bridge::Handle h = g_link.handle.load(); h && !CB_USB->checked()) {
    bridge::abort_pipe(h, bridge::kPipeIn);
    bridge::stream_off(h, bridge::kPipeIn);
    close_handle();
  }
}

void TF_RDR1::Timer2Timer(ui::Control*) {
  Timer2->set_enabled(false);
  if (F_Update && !F_Update->B_Start->enabled) return;  // a firmware update is running
  // No blocks because the host is still busy with the last one: the link is not lost, and the
  // task goes on by itself once the host returns.
  if (plugin::g_plugin.usb_in_callback.load() && plugin::g_plugin.usb_task.running()) {
    Timer2->set_interval(kRecoveryIntervalMs);
    Timer2->set_enabled(true);
    return;
  }

  plugin::g_plugin.usb_stop = 1;
  bool ended = plugin::g_plugin.usb_task.empty() || stop_task_for_reopen(true);
  if (ended) {
    close_handle();
  } else {
    g_link.handle = nullptr;  // the abandoned task keeps its device
  }
  plugin::g_plugin.usb_task.drop();

  if (g_link.device_count.load() == 0) {
    uint32_t count = 0;
    if (bridge::device_count(&count) != bridge::kOk) {
      g_link.device_count = 0;
      return;
    }
    g_link.device_count = count;
    if (count == 0) return;
  }
  bridge::Handle h = nullptr;
  if (bridge::open_by_description(&h) != bridge::kOk || !h) {
    if (h) bridge::close(h);
    return;
  }
  g_link.handle = h;
  plugin::g_plugin.usb_stop = 0;
  bridge::pipe_timeout(h, bridge::kPipeOut, kPipeTimeoutMs);
  bridge::pipe_timeout(h, bridge::kPipeIn, kPipeTimeoutMs);
  start_usb_task();
  CB_USB->set_checked(true);
  // A receiver that was unplugged or power-cycled starts from its own defaults.
  restore_receiver();
  Timer2->set_interval(kRecoveryIntervalMs);
  Timer2->set_enabled(true);
}
