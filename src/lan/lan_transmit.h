// LAN command transmit values shared by the LAN frame service and the reply-record parser.
// Both run on the thread of the LAN stream task that received the frame.
#pragma once

#include <atomic>
#include <cstdint>

namespace lan {

struct LanTransmit {
  std::atomic<uint32_t> last_acknowledged{0};  // sequence whose acknowledgement last removed one
  std::atomic<uint8_t> send_idle{0};           // 1: the next LAN command may go
};
extern LanTransmit g_lan_tx;

}  // namespace lan
