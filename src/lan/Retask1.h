// TReTask: the TCP receive task. It keeps the connection to the receiver up (reconnecting
// through TConTask), starts the TCP stream, receives whole LAN frames into eight ring slots,
// widens and delivers them, and runs the LAN frame service once per good frame.
#pragma once

#include <cstdint>
#include <memory>

#include "lan/frame_service.h"
#include "lan/lan_tasks.h"
#include "lan/socket_cell.h"
#include "platform/net.h"
#include "platform/tasks.h"

namespace lan {

constexpr int kTcpRingSlots = 8;

class TReTask {
 public:
  // `pool` runs the connect tasks this task starts.
  TReTask(uint32_t generation, tasks::Pool* pool) : generation_(generation), pool_(pool) {}
  ~TReTask();
  TReTask(const TReTask&) = delete;
  TReTask& operator=(const TReTask&) = delete;
  void run();

 private:
  bool stale() const;
  bool stop_requested() const;
  void pause(int ms) const;
  bool allocate();
  bool wait_connect();
  bool connect();
  void post_all();
  int wait_slot(int k, uint32_t* bytes);
  void handle_frame(int k, const control::LanGeometry& geo);
  bool repost(int k);
  void drop_connection(int pause_ms);
  void end();

  uint32_t generation_;
  tasks::Pool* pool_;
  ConnectTask connect_task_;
  SocketCell::Token token_ = 0;  // the connection this task uses
  bool released_ = true;         // nothing of the ring in flight: buffers may be freed

  // The task's own buffers (not shared with any other task): ring slots of the largest frame,
  // and two output blocks per stream that alternate in 16-bit mode.
  net::RecvRing* ring_ = nullptr;
  std::unique_ptr<uint8_t[]> slots_;
  std::unique_ptr<uint8_t[]> out_[2][2];  // [stream A/B][toggle g]
  FrameService service_;

  int r_ = 0;                // ring slot awaited
  int t_ = 0;                // poll budget: 2 ms waits, and 10 per bad frame
  long long waited_us_ = 0;  // waiting not yet counted in t_
  int g_ = 0;                // output block toggle
};

}  // namespace lan
