#include "lan/stream_task.h"

#include <chrono>

#include "plugin/plugin_state.h"

namespace lan {

namespace {

long long now_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

StreamTask::~StreamTask() {
  if (!released_) {
    // Receives are still in flight into these buffers: they are left to the system.
    (void)slots_.release();
    ring_ = nullptr;
  }
  net::ring_destroy(ring_);
}

bool StreamTask::stale() const {
  return g_generation.load() != generation_;
}

bool StreamTask::stop_requested() const {
  return plugin::g_plugin.lan_stop.load() != 0 || stale();
}

void StreamTask::pause(int ms) const {
  pause_unless(ms, [this] { return stop_requested(); });
}

int StreamTask::wait_slot(int k, uint32_t* bytes) {
  for (;;) {
    SocketCell::Lease l = cell_.lease_if(token_);
    net::Socket s = l ? l.get() : net::kNoSocket;
    int q = net::ring_query(ring_, s, k, bytes);
    if (q == 0) return 0;
    if (q != net::kIncomplete) {
      t_ = kPollBudget;
      return q;
    }
    if (t_ >= kPollBudget || stop_requested()) return q;
    long long start = now_us();
    net::ring_wait(ring_, s, k, kPollMs);
    waited_us_ += now_us() - start;
    // The budget counts waiting time in 2 ms steps, however often a wait ends early.
    t_ += static_cast<int>(waited_us_ / (kPollMs * 1000));
    waited_us_ %= kPollMs * 1000;
  }
}

}  // namespace lan
