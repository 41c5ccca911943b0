// TReTask: the TCP receive task.
#include "lan/Retask1.h"

#include "control/commands.h"
#include "lan/Sytask1.h"
#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/device_link.h"

namespace lan {

namespace {

constexpr int kConnectWaitMs = 500;
constexpr int kConnectWaitStepMs = 20;
constexpr int kNotConnectedPauseMs = 300;
constexpr int kBadFramePauseMs = 200;
constexpr int kPostFailurePauseMs = 300;
constexpr int kBadFrameCost = 10;
constexpr int kCancelWaitMs = 1000;
constexpr size_t kSlotBytes = kMaxFrameBytes;
constexpr size_t kBlockBytes = kHostBlockBytes + kBlockSlack;
// A connection left by the task before: what of its stream is still on the way is read away in
// chunks until none has come for kQuietMs.
constexpr uint32_t kDrainChunk = 4096;
constexpr int kQuietMs = 30;
constexpr int kDrainLimitMs = 300;

}  // namespace

bool take_tcp_frame(FrameService& service, const control::LanGeometry& geo, uint8_t* frame,
                    uint8_t* a, uint8_t* b, uint32_t generation, bool* widened) {
  if (plugin::g_plugin.lan_streaming.load() != 0) {
    if (!geo.sixteen_bit) {
      // The frame's samples are a host block.
      plugin::deliver_lan(frame, frame, false);
    } else {
      convert_frame(geo, frame, a, b);
      plugin::deliver_lan(a, b, geo.dual);
      *widened = true;
    }
    if (g_generation.load() != generation) return false;
  }
  service.service(frame + geo.sample_bytes, geo.frame_bytes() - geo.sample_bytes);
  return true;
}

TReTask::TReTask(uint32_t generation, tasks::Pool* pool, std::shared_ptr<std::atomic<bool>> leaving)
    : StreamTask(generation, pool, g_lan.tcp_socket), leaving_(std::move(leaving)) {}

// Whether the task ends now. A stop request ends it only if it is still raised once the task has
// said it is leaving: StopHW raises it for a moment and then keeps a running task, or waits for
// one that has said so. The order (say, then look again) closes the gap between the two.
bool TReTask::leave() {
  if (!stop_requested()) return false;
  if (stale()) return true;
  leaving_->store(true);
  if (plugin::g_plugin.lan_stop.load() != 0 || stale()) return true;
  leaving_->store(false);
  return false;
}

bool TReTask::allocate() {
  ring_ = net::ring_create(kTcpRingSlots, false);
  slots_.reset(new (std::nothrow) uint8_t[kSlotBytes * kTcpRingSlots]);
  for (auto& stream : out_) {
    for (auto& block : stream) block.reset(new (std::nothrow) uint8_t[kBlockBytes]());
  }
  bool ok = ring_ && slots_ && service_.ready();
  for (auto& stream : out_) {
    for (auto& block : stream) ok = ok && block;
  }
  return ok;
}

// Wait up to 500 ms for the connect task, in short steps so that a task given up meanwhile
// leaves at once. True when it has ended.
bool TReTask::wait_connect() {
  long long end = tasks::now_ms() + kConnectWaitMs;
  while (!connect_task_.task.wait(kConnectWaitStepMs)) {
    if (stop_requested() || tasks::now_ms() >= end) return false;
  }
  return true;
}

// Main loop step 1: a new connection through a connect task. True when connected.
bool TReTask::connect() {
  // 1.1-1.3
  if (!connect_task_.running()) {
    connect_task_.drop();
    connect_task_ = start_connect_task(pool_);
  }
  if (!wait_connect()) {
    if (!stale()) g_lan.tcp_socket.close();  // aborts the connect
    if (stale() || !wait_connect()) {
      // Given up: it leaves within a slice of its own wait.
      connect_task_.cancel();
      connect_task_.task.wait(kConnectWaitMs);
      if (stale()) return false;  // the socket may be a newer task's by now
      g_lan.tcp_socket.close();
    }
  }
  connect_task_.drop();
  if (stale()) return false;

  // 1.4
  SocketCell::Token token = g_lan.tcp_socket.token();
  if (token == 0) {
    pause(kNotConnectedPauseMs);
    return false;
  }
  return start_stream(token);
}

// Steps 1.5-1.7 on connection `token`: the receives posted and the stream asked for.
bool TReTask::start_stream(SocketCell::Token token) {
  token_ = token;

  // 1.5 Receives left from the last connection must have ended before their slots are reused.
  if (!released_) {
    released_ = net::ring_cancel(ring_, kNoSocket, kCancelWaitMs);
    if (!released_) {
      drop_connection(kNotConnectedPauseMs);
      return false;
    }
  }
  post_all();

  // 1.6 The stream starts with the geometry of now.
  control::LanGeometry geo = control::lan_geometry();
  {
    SocketCell::Lease l = g_lan.tcp_socket.lease_if(token_);
    if (l) {
      auto msg = commands::start_message(usb::next_sequence(), kLinkTcp, geo.size_code());
      net::send(l.get(), msg.data(), msg.size());
    }
  }

  // 1.7
  g_lan.packets = 0;
  g_lan.lost = 0;
  service_.reset();
  r_ = 0;
  return true;
}

// A connection left open by the task before us (a format change) or by a probe: that task's stop
// message has ended its stream, and what of it is still on the way is read away before the
// stream is asked for again, so that the first frame received is the first of the new stream.
// False when it did not go quiet in time (a stream nobody stopped); a new connection is then
// in step from its start.
bool TReTask::drain_inherited() {
  long long end = tasks::now_ms() + kDrainLimitMs;
  long long last = tasks::now_ms();
  bool posted = false;
  for (;;) {
    if (stop_requested()) break;
    SocketCell::Lease l = g_lan.tcp_socket.lease_if(token_);
    if (!l) break;
    if (!posted) {
      int p = net::ring_post(ring_, l.get(), 0, slots_.get(), kDrainChunk);
      if (p != 0 && p != net::kPending) break;
      posted = true;
      released_ = false;
    }
    uint32_t bytes = 0;
    int q = net::ring_query(ring_, l.get(), 0, &bytes);
    long long now = tasks::now_ms();
    if (now >= end) break;
    if (q == 0) {
      last = now;
      posted = false;
      continue;
    }
    if (q != net::kIncomplete) break;
    if (now - last >= kQuietMs) {
      // The chunk begun is dropped with the receive.
      released_ = net::ring_cancel(ring_, l.get(), kCancelWaitMs);
      return released_;
    }
    net::ring_wait(ring_, l.get(), 0, kPollMs);
  }
  if (!released_) {
    SocketCell::Lease l = g_lan.tcp_socket.lease_if(token_);
    released_ = net::ring_cancel(ring_, l ? l.get() : kNoSocket, kCancelWaitMs);
  }
  return false;
}

void TReTask::post_all() {
  uint32_t len = control::lan_geometry().frame_bytes();
  SocketCell::Lease l = g_lan.tcp_socket.lease_if(token_);
  for (int k = 0; k < kTcpRingSlots; ++k) {
    net::ring_post(ring_, l ? l.get() : kNoSocket, k, slots_.get() + k * kSlotBytes, len);
  }
  released_ = false;
}

// Steps 4-5 for a good frame in slot k.
void TReTask::handle_frame(int k, const control::LanGeometry& geo) {
  bool widened = false;
  if (!take_tcp_frame(service_, geo, slots_.get() + k * kSlotBytes, out_[0][g_].get(),
                      out_[1][g_].get(), generation_, &widened))
    return;
  if (widened) g_ ^= 1;
  t_ = 0;
  waited_us_ = 0;
}

// Step 7. False when the post failed.
bool TReTask::repost(int k) {
  uint32_t len = control::lan_geometry().frame_bytes();
  SocketCell::Lease l = g_lan.tcp_socket.lease_if(token_);
  int p = net::ring_post(ring_, l ? l.get() : kNoSocket, k, slots_.get() + k * kSlotBytes, len);
  return p == 0 || p == net::kPending;
}

// Close our connection and pause; the loop then reconnects.
void TReTask::drop_connection(int pause_ms) {
  g_lan.tcp_socket.close_if(token_);
  pause(pause_ms);
  t_ = 0;
  waited_us_ = 0;
}

void TReTask::run() {
  // Start.
  if (stale()) return;
  g_lan.lost = 0;
  if (!allocate()) return;
  service_.reset();
  token_ = g_lan.tcp_socket.token();
  r_ = t_ = g_ = 0;
  if (token_ != 0) {
    if (drain_inherited()) {
      start_stream(token_);
    } else if (!stop_requested()) {
      drop_connection(0);
    }
  }

  while (!leave()) {
    // 1. Not connected, or the connection is not the one we use.
    SocketCell::Token current = g_lan.tcp_socket.token();
    if (current == 0) {
      connect();
      continue;
    }
    if (current != token_) {
      // Another connection than ours (one left open by an earlier task or a probe): it is used
      // as it is, and what was posted on the old one has ended with it.
      if (!released_) released_ = net::ring_cancel(ring_, kNoSocket, kCancelWaitMs);
      token_ = current;
    }

    // 2.
    uint32_t bytes = 0;
    int q = wait_slot(r_, &bytes);
    if (stop_requested()) continue;  // the loop's test tells a stop from a brief one

    // 3. One geometry snapshot per frame.
    control::LanGeometry geo = control::lan_geometry();
    bool good =
        q == 0 && t_ < kPollBudget && whole_frame(geo, slots_.get() + r_ * kSlotBytes, bytes);
    if (good) {
      handle_frame(r_, geo);
      if (stale()) return end();
    } else {
      // A frame cut short because our connection was closed under it (StopHW closes it) is no
      // loss on the link: step 1 takes the next connection once the close is through.
      if (!g_lan.tcp_socket.lease_if(token_)) {
        pause(kPollMs);
        continue;
      }
      // 6.
      g_lan.lost.fetch_add(1);
      t_ += kBadFrameCost;
      if (t_ >= kPollBudget) {
        drop_connection(kBadFramePauseMs);
        continue;
      }
    }

    // 7.
    bool posted = repost(r_);
    r_ = (r_ + 1) % kTcpRingSlots;
    if (!posted) drop_connection(kPostFailurePauseMs);
  }
  end();
}

void TReTask::end() {
  // A connect of ours ends with us (within a slice of its wait), so that a stopper that saw
  // this task end sees nothing of it left running.
  connect_task_.cancel();
  connect_task_.task.wait(kConnectWaitMs);
  // The receives go before anything of ours does; the connection itself stays open.
  if (!released_) {
    SocketCell::Lease l = g_lan.tcp_socket.lease_if(token_);
    released_ = net::ring_cancel(ring_, l ? l.get() : kNoSocket, kCancelWaitMs);
  }
  if (stale()) return;
  send_stop_message(kLinkTcp);
}

}  // namespace lan
