// LAN link values shared between discovery, the LAN tasks and the reply-record parser.
#pragma once

#include <atomic>
#include <cstdint>

namespace lan {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

struct LanState {
  std::atomic<Socket> tcp_socket{kNoSocket};  // TCP connection to the receiver, -1 = none
  std::atomic<Socket> udp_socket{kNoSocket};  // UDP stream socket, -1 = none
  std::atomic<uint32_t> packets{
      0};                         // LAN frame number of the last counted frame + 1 (frame service)
  std::atomic<uint32_t> lost{0};  // LAN frames and packets counted as lost; B_CLRL resets it
};
extern LanState g_lan;

}  // namespace lan
