// Starting and stopping the LAN tasks from the entry points and the panel, and the direct
// messages that go outside the command queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/net.h"
#include "platform/tasks.h"

namespace lan {

constexpr uint8_t kLinkUdp = 0;
constexpr uint8_t kLinkTcp = 1;

// Advanced whenever a stopper gives up on a LAN stream task (the TCP receive task or the UDP
// stream task); a task whose generation is stale leaves at once and touches nothing shared.
extern std::atomic<uint32_t> g_generation;

// Start TUDPTask / TReTask on the worker pool unless one runs; an ended one counts as not
// running (user-interface thread).
void start_udp_task();
void start_tcp_receive_task();
// A connect task and the means to call it off: one that is given up ends its connect at once
// and leaves nothing of its own behind.
struct ConnectTask {
  tasks::Task task;
  std::shared_ptr<std::atomic<bool>> cancelled;
  bool running() const { return task.running(); }
  void cancel() {
    if (cancelled) cancelled->store(true);
  }
  void drop() {
    task.drop();
    cancelled.reset();
  }
};
// Start a TConTask on `pool` (an empty handle without a pool).
ConnectTask start_connect_task(tasks::Pool* pool);

// Stop a LAN stream task whose stop request is raised: wait up to ms. A task that has not ended
// is given up (its generation goes stale) and, with send_stop and the TCP socket open, the
// receiver is told to stop that link's stream. The handle is dropped. True when it ended.
bool stop_task(tasks::Task& task, int ms, bool send_stop, uint8_t link);

// The 7-byte stop message for the TCP (link 1) or UDP (link 0) stream, when the TCP socket is
// open.
void send_stop_message(uint8_t link);
// Shut the TCP connection down in both directions and close it; close the UDP socket. False
// when there was none.
bool close_tcp_socket();
bool close_udp_socket();

// Whether a command may be queued for the LAN (user-interface thread): a TCP connection is open,
// or a receiver has been identified and a LAN stream task runs or connects (it will send them
// once frames flow).
bool commands_routable();

// Sleep up to ms, in short steps, ending early once `stop` says so: a stream task's pauses end
// at its stop request or when it has been given up.
template <class Stop>
void pause_unless(int ms, Stop stop) {
  constexpr int kStepMs = 10;
  long long end = tasks::now_ms() + ms;
  for (long long now = tasks::now_ms(); now < end && !stop(); now = tasks::now_ms()) {
    tasks::sleep_ms(static_cast<int>(end - now < kStepMs ? end - now : kStepMs));
  }
}

// Where the receiver listens.
net::Endpoint device_tcp_address();
net::Endpoint device_udp_address();

}  // namespace lan
