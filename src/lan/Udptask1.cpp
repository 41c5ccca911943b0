// TUDPTask: the UDP stream task.
#include "lan/Udptask1.h"

#include "control/commands.h"
#include "lan/Sytask1.h"
#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "platform/tasks.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/device_link.h"

namespace lan {

namespace {

constexpr int kOldSocketPauseMs = 300;
constexpr int kNoSocketPauseMs = 250;
constexpr int kStartFailedPauseMs = 10;
constexpr int kRestartPauseMs = 250;
constexpr int kCancelWaitMs = 1000;
constexpr size_t kBlockBytes = kHostBlockBytes + kBlockSlack;
constexpr int kCommandReconnectMs = 1000;

}  // namespace

TUDPTask::TUDPTask(uint32_t generation, tasks::Pool* pool)
    : StreamTask(generation, pool, g_lan.udp_socket) {}

bool TUDPTask::allocate() {
  ring_ = net::ring_create(kUdpRingSlots, true);
  slots_.reset(new (std::nothrow) uint8_t[size_t(kDatagramBytes) * kUdpRingSlots]);
  out_a_.reset(new (std::nothrow) uint8_t[kBlockBytes]());
  out_b_.reset(new (std::nothrow) uint8_t[kBlockBytes]());
  return ring_ && slots_ && out_a_ && out_b_ && service_.ready();
}

// Main loop step 1: a new socket, the start message and every slot posted.
void TUDPTask::open_socket() {
  Socket s = net::open_udp();
  token_ = s == kNoSocket ? 0 : g_lan.udp_socket.install(s);
  if (token_ == 0) {
    pause(kNoSocketPauseMs);
    return;
  }
  if (stale()) return;
  g_lan.lost = 0;
  g_lan.packets = 0;

  SocketCell::Lease l = g_lan.udp_socket.lease_if(token_);
  // The buffer is made large before the stream is asked for: the first frame's datagrams arrive
  // at once, and the system's default buffer holds only a part of one.
  if (l) {
    net::set_receive_buffer(l.get(), kSocketBufferBytes);
    net::set_timeouts(l.get(), kSocketTimeoutMs);
  }
  control::LanGeometry geo = control::lan_geometry();
  auto msg = commands::start_message(usb::next_sequence(), kLinkUdp, geo.size_code());
  if (!l || net::send_to(l.get(), msg.data(), msg.size(), device_udp_address()) !=
                static_cast<long>(msg.size())) {
    l.release();
    g_lan.udp_socket.close_if(token_);
    e_ = 0;
    pause(kStartFailedPauseMs);
    r_ = 0;
    return;
  }

  // Receives on the last socket must have ended before their slots are reused.
  if (!released_) released_ = net::ring_cancel(ring_, kNoSocket, kCancelWaitMs);
  if (!released_) {
    l.release();
    restart();
    return;
  }
  // The slots the ring reads, 0 .. N-1: a receive posted on a slot that is never read would
  // swallow a datagram of the next frame after every socket creation.
  for (int k = 0; k < static_cast<int>(geo.packets) && k < kUdpRingSlots; ++k) {
    net::ring_post(ring_, l.get(), k, slots_.get() + size_t(k) * kDatagramBytes, kDatagramBytes);
  }
  released_ = false;
  e_ = 0;
  r_ = 0;
}

// Main loop steps 3-6 for the datagram d of a slot. False for a bad datagram or frame (step 7).
bool TUDPTask::take_datagram(const uint8_t* d, uint32_t bytes, const control::LanGeometry& geo,
                             bool* frame_done) {
  // 3.
  if (bytes != kDatagramBytes) return false;
  uint16_t i = uint16_t(d[0] | d[1] << 8);
  if (i >= geo.packets) return false;
  // 4.
  if (i < e_) {
    g_lan.lost.fetch_add(1);
    e_ = i;
  }
  // 5.
  const uint8_t* payload = d + 2;
  store_packet(geo, i, payload, out_a_.get(), out_b_.get());
  // 6.
  if (i + 1u < geo.packets) {
    ++e_;
    return true;
  }
  uint32_t c = packet_sample_bytes(geo, i);
  const uint8_t* trailer = payload + c;
  if (!has_frame_marker(trailer)) {
    e_ = 0;
    return false;
  }
  if (plugin::g_plugin.lan_streaming.load() != 0) {
    plugin::deliver_lan(out_a_.get(), out_b_.get(), geo.dual);
    if (stale()) return true;
  }
  service_.service(trailer, control::kLanPacketBytes - c);
  t_ = 0;
  waited_us_ = 0;
  e_ = 0;
  *frame_done = true;
  return true;
}

// Step 8. False when the post failed.
bool TUDPTask::repost(int k) {
  SocketCell::Lease l = g_lan.udp_socket.lease_if(token_);
  int p = net::ring_post(ring_, l ? l.get() : kNoSocket, k,
                         slots_.get() + size_t(k) * kDatagramBytes, kDatagramBytes);
  return p == 0 || p == net::kPending;
}

// The LAN commands travel on the TCP connection that the last TCP receive task left open. When
// there is none (it never came up, the receiver dropped it, a failed send closed it), nothing
// else would open one while datagrams stream: so this task does, about once a second.
void TUDPTask::keep_command_connection() {
  if (g_lan.tcp_socket.load() != kNoSocket || connect_task_.running()) return;
  connect_task_.drop();
  long long now = tasks::now_ms();
  if (now < next_connect_ms_) return;
  next_connect_ms_ = now + kCommandReconnectMs;
  connect_task_ = start_connect_task(pool_);
}

// Step 9.
void TUDPTask::restart() {
  g_lan.udp_socket.close_if(token_);
  t_ = 0;
  waited_us_ = 0;
  pause(kRestartPauseMs);
}

void TUDPTask::run() {
  // Start.
  if (stale()) return;
  if (g_lan.udp_socket.close()) {
    pause(kOldSocketPauseMs);
    if (stale()) return;
  }
  g_lan.lost = 0;
  if (!allocate()) return;
  service_.reset();
  if (stop_requested()) return end();
  r_ = t_ = 0;
  e_ = 0;

  while (!stop_requested()) {
    // 1.
    if (!g_lan.udp_socket.holds(token_)) {
      open_socket();
      continue;
    }
    // 2.
    uint32_t bytes = 0;
    int q = wait_slot(r_, &bytes);
    if (stop_requested()) break;

    // 3.-6. with one geometry snapshot per datagram.
    control::LanGeometry geo = control::lan_geometry();
    bool frame_done = false;
    bool good = q == 0 && t_ < kPollBudget &&
                take_datagram(slots_.get() + size_t(r_) * kDatagramBytes, bytes, geo, &frame_done);
    if (stale()) return end();
    if (!good) {
      // 7.
      g_lan.lost.fetch_add(1);
      if (++t_ >= kPollBudget) {
        restart();
        continue;
      }
    } else if (!frame_done && t_ >= kPollBudget) {
      restart();
      continue;
    }
    if (frame_done) keep_command_connection();

    // 8.
    bool posted = repost(r_);
    if (++r_ >= static_cast<int>(geo.packets)) r_ = 0;
    if (!posted) restart();
  }
  end();
}

void TUDPTask::end() {
  if (!released_) {
    SocketCell::Lease l = g_lan.udp_socket.lease_if(token_);
    released_ = net::ring_cancel(ring_, l ? l.get() : kNoSocket, kCancelWaitMs);
  }
  connect_task_.cancel();
  connect_task_.task.wait(kCancelWaitMs);
  // Our own socket only: a newer task's is never touched.
  g_lan.udp_socket.close_if(token_);
  if (stale()) return;
  send_stop_message(kLinkUdp);
}

}  // namespace lan
