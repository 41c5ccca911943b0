// TConTask: the connect task. It opens the TCP socket, stores it as the LAN link's TCP socket at
// once (so that a waiter can abort the connect by closing it) and connects it to the receiver.
// The outcome is read from the TCP socket: none means not connected.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace lan {

constexpr int kSocketBufferBytes = 16 * 1024 * 1024;  // absorbs frames while the task is busy
constexpr int kSocketTimeoutMs = 200;                 // blocking calls on the LAN sockets

class TConTask {
 public:
  // `cancelled` is raised by a starter that gives the task up.
  explicit TConTask(std::shared_ptr<std::atomic<bool>> cancelled)
      : cancelled_(std::move(cancelled)) {}
  void run();

 private:
  bool stale() const { return cancelled_->load(); }
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

}  // namespace lan
