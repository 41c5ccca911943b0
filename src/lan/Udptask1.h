// TUDPTask: the UDP stream task. It opens the UDP socket, asks the receiver to start the
// datagram stream, keeps a ring of receives outstanding, reassembles each LAN frame from its
// datagrams straight into the host blocks, checks and delivers it and runs the LAN frame
// service. Silence or errors restart the socket and the stream.
#pragma once

#include <cstdint>
#include <memory>

#include "lan/stream_task.h"

namespace lan {

constexpr int kUdpRingSlots = 718;         // the largest N
constexpr uint32_t kDatagramBytes = 1458;  // packet index + 1456 frame bytes

class TUDPTask : private StreamTask {
 public:
  // `pool` runs the connect tasks that keep the command connection.
  TUDPTask(uint32_t generation, tasks::Pool* pool);
  void run();

 private:
  friend struct UdpFuzzAccess;  // the fuzz target drives the reassembly directly

  bool allocate();
  void open_socket();
  bool take_datagram(const uint8_t* d, uint32_t bytes, const control::LanGeometry& geo,
                     bool* frame_done);
  bool repost(int k);
  void restart();
  void keep_command_connection();
  void end();

  long long next_connect_ms_ = 0;
  std::unique_ptr<uint8_t[]> out_a_, out_b_;  // one output block per stream
  uint16_t e_ = 0;                            // expected packet index
};

}  // namespace lan
