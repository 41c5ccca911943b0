#include "lan/frame_service.h"

#include <cstring>

#include "lan/lan_state.h"
#include "lan/lan_transmit.h"
#include "usb/Usbtask1.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace lan {

namespace {

// Below this packet counter (as after a reset) a gap in frame numbers counts nothing.
constexpr uint32_t kCountingFrom = 6;
constexpr int kSendCancelWaitMs = 1000;

constexpr uint32_t kSampleBytes24 = 6;  // I, Q of 24 bits
constexpr uint32_t kSampleBytes16 = 4;  // I, Q of 16 bits
constexpr uint32_t kPairBytes16 = 8;    // LAN1 I, Q, LAN2 I, Q of 16 bits
constexpr uint32_t kWidenedSample = 6;  // one widened complex sample

}  // namespace

void convert_frame(const control::LanGeometry& g, const uint8_t* samples, uint8_t* a, uint8_t* b) {
  if (!g.sixteen_bit) return;
  uint32_t count = g.sample_bytes / (g.dual ? kPairBytes16 : kSampleBytes16);
  if (g.dual) {
    usb::widen16_dual(samples, count, a, b);
  } else {
    usb::widen16(samples, count, a);
  }
}

uint32_t packet_sample_bytes(const control::LanGeometry& g, uint32_t i) {
  if (i + 1 < g.packets) return control::kLanPacketBytes;
  return g.sample_bytes - (g.packets - 1) * control::kLanPacketBytes;
}

void store_packet(const control::LanGeometry& g, uint32_t i, const uint8_t* payload, uint8_t* a,
                  uint8_t* b) {
  if (i >= g.packets) return;
  uint32_t c = packet_sample_bytes(g, i);
  constexpr uint32_t kPacket = control::kLanPacketBytes;
  if (!g.sixteen_bit) {
    std::memcpy(a + i * kPacket, payload, c);
  } else if (!g.dual) {
    usb::widen16(payload, c / kSampleBytes16, a + i * (kPacket / kSampleBytes16 * kWidenedSample));
  } else {
    uint32_t at = i * (kPacket / kPairBytes16 * kWidenedSample);
    usb::widen16_dual(payload, c / kPairBytes16, a + at, b + at);
  }
  static_assert(control::kLanPacketBytes % kPairBytes16 == 0);
  static_assert(kHostBlockBytes == control::kHostBlockSamples * kSampleBytes24);
}

FrameService::FrameService() : slot_(net::send_slot_create()) {}

FrameService::~FrameService() {
  if (!slot_) return;
  SocketCell::Lease l = g_lan.tcp_socket.lease_if(send_token_);
  if (net::send_slot_cancel(slot_, l ? l.get() : kNoSocket, kSendCancelWaitMs)) {
    net::send_slot_destroy(slot_);
  }
  // Otherwise the system still owns the slot: it is left alive rather than freed under it.
}

void FrameService::reset() {
  if (slot_ && status_ != 0) {
    SocketCell::Lease l = g_lan.tcp_socket.lease_if(send_token_);
    net::send_slot_cancel(slot_, l ? l.get() : kNoSocket, kSendCancelWaitMs);
  }
  g_lan_tx.send_idle.store(1);
  status_ = 0;
  wait_ = 0;
  send_token_ = 0;
}

void FrameService::service(const uint8_t* trailer, size_t size) {
  if (size < kTrailerBatch) return;

  // 1. Frame counting: one loss per break in the receiver's frame numbers.
  uint32_t n = le32(trailer + kTrailerFrameNumber);
  uint32_t packets = g_lan.packets.load(std::memory_order_relaxed);
  if (packets >= kCountingFrom && packets != n) g_lan.lost.fetch_add(1);
  g_lan.packets.store(n + 1, std::memory_order_relaxed);

  // 2. A reply batch under a new tag is taken once.
  uint32_t tag = le32(trailer + kTrailerTag);
  if (tag != 0 && tag != g_lan.last_reply_tag.load(std::memory_order_relaxed)) {
    g_lan.last_reply_tag.store(tag, std::memory_order_relaxed);
    usb::parse_reply_bytes(trailer + kTrailerBatch, size - kTrailerBatch, usb::Link::kLan);
  }

  // 3. Completion of the send in progress, polled without waiting.
  if (g_lan.tcp_socket.load() != kNoSocket &&
      (status_ == net::kIncomplete || status_ == net::kPending)) {
    finish_send();
  }

  // 4. The next command.
  send_next();
}

void FrameService::finish_send() {
  status_ = 0;
  int r;
  {
    // Only the connection the send went out on: a send on a closed one has failed.
    SocketCell::Lease l = g_lan.tcp_socket.lease_if(send_token_);
    r = net::send_slot_query(slot_, l ? l.get() : kNoSocket);
  }
  if (r == 0) return;  // done; the acknowledgement or the wait lets the next one go
  status_ = r;
  if (r != net::kIncomplete && r != net::kPending) {
    g_lan_tx.send_idle.store(1);
    status_ = 0;
  }
}

void FrameService::send_next() {
  // 4.1 Pacing: without an acknowledgement, give it up after 2 x pacing frames.
  if (g_lan_tx.send_idle.load() != 0) {
    wait_ = 0;
  } else {
    uint32_t waited = wait_++;
    if (waited < 2 * control::g_stream.lan_pacing.load(std::memory_order_relaxed)) return;
    wait_ = 0;
    g_lan_tx.send_idle.store(1);
    // A failed send has now waited as long as an unanswered command: the next turn goes out
    // on whatever connection exists by then, instead of blocking the queue until the next task.
    if (status_ != net::kPending && status_ != net::kIncomplete) status_ = 0;
  }

  // 4.2-4.6 At most one command per frame. A connection whose connect still goes on (the UDP
  // stream task's command connection) is left alone: a send there fails, and closing it for
  // that would abort the connect. The command waits for a frame after it is up.
  if (status_ != 0 || !slot_) return;
  SocketCell::Lease l = g_lan.tcp_socket.lease();
  if (l && !net::connected(l.get())) return;
  size_t n = 0;
  uint32_t sequence = 0;
  if (usb::take_front(usb::lan_queue(), usb::g_command_sequence, buffer_ + 4, &n, &sequence) !=
      usb::FrontAction::kSend)
    return;
  buffer_[0] = uint8_t(sequence);
  buffer_[1] = uint8_t(sequence >> 8);
  buffer_[2] = uint8_t(sequence >> 16);
  buffer_[3] = uint8_t(sequence >> 24);
  g_lan_tx.send_idle.store(0);

  send_token_ = l.token();
  status_ = net::send_slot_start(slot_, l ? l.get() : kNoSocket, buffer_, n + 4);
  if (status_ != 0 && status_ != net::kPending && l) {
    l.release();
    g_lan.tcp_socket.close_if(send_token_);  // the receive task notices and reconnects
  }
  static_assert(4 + usb::kMaxCommandBytes <= net::kSendSlotBytes);
}

}  // namespace lan
