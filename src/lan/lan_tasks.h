// Starting and stopping the LAN tasks from the entry points and the panel, and the direct
// messages that go outside the command queue.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"
#include "platform/tasks.h"

namespace lan {

constexpr uint8_t kLinkUdp = 0;
constexpr uint8_t kLinkTcp = 1;

// Advanced whenever a stopper gives up on a LAN stream task (the TCP receive task or the UDP
// stream task); a task whose generation is stale leaves at once and touches nothing shared.
extern std::atomic<uint32_t> g_generation;
// The same for the connect tasks.
extern std::atomic<uint32_t> g_connect_generation;

// Start TUDPTask / TReTask on the worker pool unless one runs; an ended one counts as not
// running (user-interface thread).
void start_udp_task();
void start_tcp_receive_task();
// Start a TConTask on `pool` (empty handle without a pool).
tasks::Task start_connect_task(tasks::Pool* pool);

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

// Where the receiver listens.
net::Endpoint device_tcp_address();
net::Endpoint device_udp_address();

}  // namespace lan
