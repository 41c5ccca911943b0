// LAN link values shared between discovery, the LAN tasks and the reply-record parser.
#pragma once

#include <atomic>
#include <cstdint>

#include "lan/socket_cell.h"

namespace lan {

constexpr uint16_t kTcpPort = 55557;  // commands, identify, TCP stream
constexpr uint16_t kUdpPort = 55558;  // identify probe, datagram stream

struct LanState {
  SocketCell tcp_socket;  // TCP connection to the receiver (connect task, closed by many)
  SocketCell udp_socket;  // discovery's probe, then the UDP stream task's socket
  std::atomic<uint32_t> packets{
      0};                         // LAN frame number of the last counted frame + 1 (frame service)
  std::atomic<uint32_t> lost{0};  // LAN frames and packets counted as lost; B_CLRL resets it
  std::atomic<uint32_t> last_reply_tag{0};  // tag of the last reply batch taken (frame service)

  // Where the receiver listens: IPv4 address in network byte order and the two ports. Written
  // by discovery (user-interface thread); read by the connect, UDP and probe code.
  std::atomic<uint32_t> device_ip{0};
  std::atomic<uint16_t> tcp_port{kTcpPort};
  std::atomic<uint16_t> udp_port{kUdpPort};

  // A receiver was identified by the last discovery (cleared when a discovery starts and at
  // CloseHW). While it is set and a LAN stream task runs, commands wait in the LAN queue for
  // the connection instead of being dropped.
  std::atomic<uint8_t> receiver_found{0};
};
extern LanState g_lan;

}  // namespace lan
