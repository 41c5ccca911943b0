// TUDPTask: the UDP stream task. It opens the UDP socket, asks the receiver to start the
// datagram stream, keeps a ring of receives outstanding, reassembles each LAN frame from its
// datagrams straight into the host blocks, checks and delivers it and runs the LAN frame
// service. Silence or errors restart the socket and the stream.
#pragma once

#include <cstdint>
#include <memory>

#include "lan/frame_service.h"
#include "lan/lan_tasks.h"
#include "lan/socket_cell.h"
#include "platform/net.h"
#include "platform/tasks.h"

namespace lan {

constexpr int kUdpRingSlots = 718;         // the largest N
constexpr uint32_t kDatagramBytes = 1458;  // packet index + 1456 frame bytes

class TUDPTask {
 public:
  // `pool` runs the connect tasks that keep the command connection.
  TUDPTask(uint32_t generation, tasks::Pool* pool) : generation_(generation), pool_(pool) {}
  ~TUDPTask();
  TUDPTask(const TUDPTask&) = delete;
  TUDPTask& operator=(const TUDPTask&) = delete;
  void run();

 private:
  bool stale() const;
  bool stop_requested() const;
  void pause(int ms) const;
  bool allocate();
  void open_socket();
  int wait_slot(int k, uint32_t* bytes);
  bool take_datagram(int k, uint32_t bytes, const control::LanGeometry& geo, bool* frame_done);
  bool repost(int k);
  void restart();
  void keep_command_connection();
  void end();

  uint32_t generation_;
  tasks::Pool* pool_;
  ConnectTask connect_task_;
  long long next_connect_ms_ = 0;
  SocketCell::Token token_ = 0;  // our UDP socket
  bool released_ = true;         // nothing of the ring in flight

  // The task's own buffers: the datagram ring and one output block per stream.
  net::RecvRing* ring_ = nullptr;
  std::unique_ptr<uint8_t[]> slots_;
  std::unique_ptr<uint8_t[]> out_a_, out_b_;
  FrameService service_;

  int r_ = 0;  // ring slot awaited, 0 .. N-1
  int t_ = 0;  // poll budget: 2 ms waits and bad datagrams since the last good frame
  long long waited_us_ = 0;
  uint16_t e_ = 0;  // expected packet index
};

}  // namespace lan
