// What the two LAN stream tasks (TReTask over TCP, TUDPTask over UDP) have in common: their
// generation and stop test, the ring of posted receives over their own socket with its slot
// buffers, the poll budget, the frame service and the connect task that keeps the command
// connection.
#pragma once

#include <cstdint>
#include <memory>

#include "lan/frame_service.h"
#include "lan/lan_tasks.h"
#include "lan/socket_cell.h"
#include "platform/net.h"
#include "platform/tasks.h"

namespace lan {

constexpr int kPollMs = 2;
constexpr int kPollBudget = 100;  // 100 polls of 2 ms: about 200 ms without a frame

class StreamTask {
 public:
  StreamTask(const StreamTask&) = delete;
  StreamTask& operator=(const StreamTask&) = delete;

 protected:
  // `cell` holds the socket the ring receives on; `pool` runs the connect tasks.
  StreamTask(uint32_t generation, tasks::Pool* pool, SocketCell& cell)
      : generation_(generation), pool_(pool), cell_(cell) {}
  ~StreamTask();

  bool stale() const;
  bool stop_requested() const;
  void pause(int ms) const;
  // 0 with the byte count when slot k has completed; otherwise t_ tells why not (over budget,
  // or kPollBudget after a failure).
  int wait_slot(int k, uint32_t* bytes);

  uint32_t generation_;
  tasks::Pool* pool_;
  SocketCell& cell_;
  ConnectTask connect_task_;
  SocketCell::Token token_ = 0;  // the socket in cell_ this task uses
  bool released_ = true;         // nothing of the ring in flight: the slots may be freed

  // The task's own buffers, shared with no other task.
  net::RecvRing* ring_ = nullptr;
  std::unique_ptr<uint8_t[]> slots_;
  FrameService service_;

  int r_ = 0;                // ring slot awaited
  int t_ = 0;                // poll budget spent: 2 ms waits, and bad frames or datagrams
  long long waited_us_ = 0;  // waiting not yet counted in t_
};

}  // namespace lan
