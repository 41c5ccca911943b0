// Starting and stopping the LAN tasks.
#include "lan/lan_tasks.h"

#include "lan/lan_state.h"
#include "platform/net.h"

namespace lan {

LanState g_lan;

void start_udp_task() {}
void start_tcp_receive_task() {}
void send_stop_message(uint8_t) {}

void close_tcp_socket() {
  Socket s = g_lan.tcp_socket.exchange(kNoSocket);
  if (s == kNoSocket) return;
  net::shutdown_both(s);
  net::close(s);
}

void close_udp_socket() {
  Socket s = g_lan.udp_socket.exchange(kNoSocket);
  if (s != kNoSocket) net::close(s);
}

}  // namespace lan
