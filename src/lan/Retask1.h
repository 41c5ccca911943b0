// TReTask: the TCP receive task. It keeps the connection to the receiver up (reconnecting
// through TConTask), starts the TCP stream, receives whole LAN frames into eight ring slots,
// widens and delivers them, and runs the LAN frame service once per good frame.
#pragma once

#include <cstdint>
#include <memory>

#include "lan/stream_task.h"

namespace lan {

constexpr int kTcpRingSlots = 8;

class TReTask : private StreamTask {
 public:
  // `pool` runs the connect tasks this task starts.
  TReTask(uint32_t generation, tasks::Pool* pool);
  void run();

 private:
  bool allocate();
  bool wait_connect();
  bool connect();
  void post_all();
  void handle_frame(int k, const control::LanGeometry& geo);
  bool repost(int k);
  void drop_connection(int pause_ms);
  void end();

  // Ring slots of the largest frame; two output blocks per stream that alternate in 16-bit
  // mode.
  std::unique_ptr<uint8_t[]> out_[2][2];  // [stream A/B][toggle g]
  int g_ = 0;                             // output block toggle
};

}  // namespace lan
