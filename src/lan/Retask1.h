// TReTask: the TCP receive task. It keeps the connection to the receiver up (reconnecting
// through TConTask), starts the TCP stream, receives whole LAN frames into eight ring slots,
// widens and delivers them, and runs the LAN frame service once per good frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "lan/stream_task.h"

namespace lan {

constexpr int kTcpRingSlots = 8;

// A good TCP frame: delivered while streaming (16-bit samples widened into a and b first, and
// `*widened` set), then run through the frame service unless `generation` went stale during
// delivery. False when it did.
bool take_tcp_frame(FrameService& service, const control::LanGeometry& geo, uint8_t* frame,
                    uint8_t* a, uint8_t* b, uint32_t generation, bool* widened);

class TReTask : private StreamTask {
 public:
  // `pool` runs the connect tasks this task starts; `leaving` is raised once it has decided to
  // end (see start_tcp_receive_task).
  TReTask(uint32_t generation, tasks::Pool* pool, std::shared_ptr<std::atomic<bool>> leaving);
  void run();

 private:
  bool leave();
  bool allocate();
  bool wait_connect();
  bool connect();
  bool start_stream(SocketCell::Token token);
  bool drain_inherited();
  void post_all();
  void handle_frame(int k, const control::LanGeometry& geo);
  bool repost(int k);
  void drop_connection(int pause_ms);
  void end();

  // Ring slots of the largest frame; two output blocks per stream that alternate in 16-bit
  // mode.
  std::unique_ptr<uint8_t[]> out_[2][2];  // [stream A/B][toggle g]
  int g_ = 0;                             // output block toggle
  std::shared_ptr<std::atomic<bool>> leaving_;
};

}  // namespace lan
