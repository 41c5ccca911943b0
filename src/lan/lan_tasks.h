// Starting and stopping the LAN tasks from the entry points and the panel.
#pragma once

#include <cstdint>

namespace lan {

constexpr uint8_t kLinkUdp = 0;
constexpr uint8_t kLinkTcp = 1;

// Start TUDPTask / TReTask on the worker pool unless one runs (user-interface thread).
void start_udp_task();
void start_tcp_receive_task();
// The 7-byte stop message for the TCP (link 1) or UDP (link 0) stream, when the TCP socket is open.
void send_stop_message(uint8_t link);
// Shut the TCP connection down in both directions and close it.
void close_tcp_socket();
void close_udp_socket();

}  // namespace lan
