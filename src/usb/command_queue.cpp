#include "usb/command_queue.h"

#include <algorithm>
#include <cstring>

#include "lan/lan_tasks.h"
#include "lan/lan_transmit.h"
#include "platform/net.h"
#include "usb/device_link.h"

namespace usb {

std::atomic<int32_t> g_command_outcome{0};
ReceiverStatus g_status;
UsbTransmit g_usb_tx;

namespace {

constexpr uint8_t kCodeStatus = 0xF1;
constexpr uint8_t kCodeClock = 0xF2;
constexpr uint8_t kCodeFrontEnd = 0xF5;
constexpr uint8_t kCodeFirmwareControl = 0x0C;
constexpr uint8_t kCodeFirmwareData = 0x0D;
constexpr uint8_t kCodeRegister = 0xB0;
constexpr uint8_t kCodeStreamSetup = 0xB4;
constexpr uint8_t kCodeAccepted = 0x00;
constexpr uint32_t kAddressRegister = 0x0A;
constexpr uint32_t kEchoEntries = 5;

uint32_t read_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void write_le32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// The receiver ended a LAN stream: close the socket that carries it (taken out at once; a
// thread still using it finishes its call first).
void close_stream_socket() {
  if (!lan::close_udp_socket()) lan::close_tcp_socket();
}

void acknowledge(Link link, uint32_t sequence) {
  CommandQueue& q = link == Link::kUsb ? usb_queue() : lan_queue();
  std::lock_guard<std::mutex> guard(q.lock);
  // Only the echo of the front entry's last transmission counts: an older echo, or a late one
  // for a command already given up, must not remove an entry that was never sent.
  if (!q.exists || q.entries.empty() || !q.in_flight || q.in_flight_sequence != sequence) return;
  q.entries.pop_front();
  q.in_flight = false;
  if (link == Link::kUsb) {
    g_usb_tx.last_acknowledged.store(sequence);
    g_usb_tx.send_ready.store(1);
  } else {
    lan::g_lan_tx.last_acknowledged.store(sequence);
    lan::g_lan_tx.send_idle.store(1);
  }
}

void apply_record(uint32_t w, uint32_t v, Link link) {
  switch (w & 0xFF) {
    case kCodeStatus:
      g_status.device_status.store(w);
      return;  // status only, acknowledges nothing
    case kCodeClock:
      g_status.clock_echo.store((w >> 8) & 0xFF);
      break;
    case kCodeFrontEnd: {
      uint32_t item = (w >> 8) & 7;
      if (item < kEchoEntries) g_status.settings_echo[item].store(w >> 16);
      break;
    }
    case kCodeFirmwareControl:
    case kCodeFirmwareData:
      set_command_outcome(static_cast<int32_t>(w >> 8));
      break;
    case kCodeRegister:
      if (((w >> 8) & 0xFF) == kAddressRegister && ((w >> 16) & 0xFF) != 0)
        g_status.ip_error.store(1);
      break;
    case kCodeStreamSetup:
      if (((w >> 8) & 0xFF) != 0) close_stream_socket();
      break;
    case kCodeAccepted:
      break;
    default:
      return;
  }
  acknowledge(link, v);
}

}  // namespace

namespace {
// Created on first use and kept until the library is unloaded, whatever CloseHW does (see
// CommandQueue); freed at unload only when no task is left that could touch it.
struct Storage {
  CommandQueue usb, lan;
  std::mutex outcome;
};
// Made again after a release (the library may stay loaded and be opened once more).
std::atomic<Storage*> g_storage{nullptr};
Storage& storage() {
  Storage* s = g_storage.load(std::memory_order_acquire);
  if (s) return *s;
  auto* made = new Storage;
  if (g_storage.compare_exchange_strong(s, made, std::memory_order_acq_rel)) return *made;
  delete made;
  return *s;
}
}  // namespace

CommandQueue& usb_queue() {
  return storage().usb;
}
CommandQueue& lan_queue() {
  return storage().lan;
}
std::mutex& outcome_lock() {
  return storage().outcome;
}

void release_storage_at_unload() {
  delete g_storage.exchange(nullptr);
}

void set_command_outcome(int32_t value) {
  std::lock_guard<std::mutex> guard(outcome_lock());
  g_command_outcome.store(value);
}

void create_queues() {
  for (CommandQueue* q : {&usb_queue(), &lan_queue()}) {
    std::lock_guard<std::mutex> guard(q->lock);
    q->exists = true;
  }
}

void destroy_queues() {
  for (CommandQueue* q : {&lan_queue(), &usb_queue()}) {
    std::lock_guard<std::mutex> guard(q->lock);
    q->exists = false;
    q->entries.clear();
    q->in_flight = false;
  }
}

size_t queue_length(CommandQueue& q) {
  std::lock_guard<std::mutex> guard(q.lock);
  return q.exists ? q.entries.size() : 0;
}

bool append(CommandQueue& q, CommandEntry entry) {
  std::lock_guard<std::mutex> guard(q.lock);
  if (!q.exists) return false;
  q.entries.push_back(std::move(entry));
  return true;
}

FrontAction take_front(CommandQueue& q, std::atomic<uint32_t>& counter, uint8_t* out, size_t* n,
                       uint32_t* sequence) {
  std::lock_guard<std::mutex> guard(q.lock);
  if (!q.exists || q.entries.empty()) return FrontAction::kNothing;
  CommandEntry& front = q.entries.front();
  if (front.empty()) {  // nothing to send; producers never queue one
    q.entries.pop_front();
    q.in_flight = false;
    return FrontAction::kNothing;
  }
  size_t len = std::min(front.size(), kMaxCommandBytes);
  uint8_t count = front[len - 1];
  if (count >= kMaxTransmissions) {
    set_command_outcome(2);  // outcome lock inside a queue lock: the agreed order
    q.entries.pop_front();
    q.in_flight = false;
    return FrontAction::kGivenUp;
  }
  std::memcpy(out, front.data(), len);
  front[len - 1] = uint8_t(count + 1);
  *n = len;
  *sequence = counter.fetch_add(1) + 1;
  q.in_flight = true;
  q.in_flight_sequence = *sequence;
  return FrontAction::kSend;
}

size_t frame_usb_message(uint32_t sequence, const uint8_t* bytes, size_t n, uint8_t* out) {
  n = std::min(n, kMaxCommandBytes);
  size_t len = (4 + n + 3) / 4 * 4;
  write_le32(out, sequence);
  if (out + 4 != bytes) std::memmove(out + 4, bytes, n);
  std::memset(out + 4 + n, 0, len - 4 - n);
  return len;
}

void parse_replies(const ReplyRecord* records, uint32_t count, Link link) {
  if (records == nullptr || count < 1 || count > kMaxBatchApplied) return;
  for (uint32_t i = 0; i < count; ++i) apply_record(records[i].word, records[i].value, link);
}

void parse_reply_bytes(const uint8_t* bytes, size_t size, Link link) {
  if (bytes == nullptr || size < 4) return;
  uint32_t count = read_le32(bytes);
  if (count < 1 || count > kMaxBatchApplied || (size - 4) / 8 < count) return;
  ReplyRecord records[kMaxBatchApplied];
  for (uint32_t i = 0; i < count; ++i) {
    records[i].word = read_le32(bytes + 4 + 8 * i);
    records[i].value = read_le32(bytes + 8 + 8 * i);
  }
  parse_replies(records, count, link);
}

namespace {
// 24 and 25 (I/O incomplete, what a poll of a write still in flight may answer) both mean the
// driver may still read the message buffer and the write record: neither may be reused yet.
bool write_in_flight(uint32_t status) {
  return status == kWritePending || status == kWriteMayBePending;
}
}  // namespace

void usb_drain(const ReplyBatch& batch) {
  UsbTransmit& tx = g_usb_tx;
  // 1. Replies first: an acknowledgement in this batch lets the next command go in this call.
  if (batch.count >= 1)
    parse_replies(batch.records, std::min(batch.count, kMaxReplyRecords), Link::kUsb);

  // 2. No device, no transmit.
  bridge::Handle h = g_link.handle.load();
  if (h == nullptr) return;

  // 3. Poll an outstanding write without waiting.
  uint32_t status = tx.write_status.load();
  if (write_in_flight(status)) {
    status = bridge::transfer_result(h, &tx.write_record, &tx.write_transferred, false);
    tx.write_status.store(status);
    if (status != kWriteIdle && !write_in_flight(status)) {
      tx.send_ready.store(1);
      tx.write_status.store(kWriteIdle);
    }
  }

  // 4. Pacing: without an acknowledgement, give it up after 2P calls.
  if (tx.send_ready.load() != 0) {
    tx.wait_counter.store(0);
  } else {
    uint32_t waited = tx.wait_counter.load() + 1;
    tx.wait_counter.store(waited);
    if (waited <= 2 * tx.pacing.load()) return;
    tx.wait_counter.store(0);
    tx.send_ready.store(1);
  }

  // 5. A write outstanding (or the link down) holds everything back.
  if (tx.write_status.load() != kWriteIdle) return;

  // 6. At most one command per call.
  size_t n = 0;
  uint32_t sequence = 0;
  if (take_front(usb_queue(), tx.queue_sequence, tx.message + 4, &n, &sequence) !=
      FrontAction::kSend)
    return;
  size_t len = frame_usb_message(sequence, tx.message + 4, n, tx.message);
  tx.send_ready.store(0);
  tx.write_transferred = 0;
  status = bridge::write_pipe(h, bridge::kPipeOut, tx.message, static_cast<uint32_t>(len),
                              &tx.write_transferred, &tx.write_record);
  tx.write_status.store(status);
  if (status != kWriteIdle && !write_in_flight(status)) {
    // A rejected write still counts as a transmission; the entry goes again after the wait.
    tx.send_ready.store(1);
    tx.write_status.store(kWriteIdle);
  }
}

}  // namespace usb
