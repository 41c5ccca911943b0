// A socket handle that several threads use and close.
//
// The LAN sockets are closed by whichever thread notices first (a stream task, the reply-record
// parser, the frame service, the entry points, discovery) while another thread may be about to
// use them. A plain handle copy would then reach whatever socket the system hands the same
// number to next. Here every use goes through a lease that pins the handle: a close takes the
// socket out of the cell at once and shuts it down (ending calls in progress), and the
// descriptor itself is closed by the last lease. A handle number is never reused while anyone
// may still use it.
//
// Each socket stored gets a token; a thread that owns a socket (the one that connected it, the
// stream task that took it) acts on it only while the cell still holds that token.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"

namespace lan {

using Socket = net::Socket;
constexpr Socket kNoSocket = net::kNoSocket;

class SocketCell {
 public:
  using Token = uint64_t;  // 0 = none

  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept { *this = static_cast<Lease&&>(other); }
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { release(); }
    explicit operator bool() const { return cell_ != nullptr; }
    Socket get() const { return socket_; }
    Token token() const { return token_; }
    void release();

   private:
    friend class SocketCell;
    const SocketCell* cell_ = nullptr;
    Socket socket_ = kNoSocket;
    Token token_ = 0;
  };

  // The open socket, or -1 (none, or being closed). For "is there one" checks only: I/O goes
  // through a lease.
  Socket load() const;
  Token token() const;
  bool holds(Token t) const { return t != 0 && token() == t; }

  // Pin the open socket (empty lease when there is none), or only the one with token t.
  Lease lease() const;
  Lease lease_if(Token t) const;

  // Store a new socket; one already there is closed. Its token, or 0 when s is -1 or the cell
  // could not take it (s is then closed).
  Token install(Socket s);
  // Take the socket out and close it (shut down now, closed by the last lease). False when
  // there was none, or (close_if) when the cell holds another one.
  bool close();
  bool close_if(Token t);

  // Replace the handle without closing the old one: start-up values and tests.
  void store(Socket s);
  SocketCell& operator=(Socket s) {
    store(s);
    return *this;
  }

 private:
  bool close_leased(Lease& lease);
  void unpin() const;

  mutable std::atomic<uint64_t> word_{0};
  std::atomic<uint32_t> serial_{0};
};

}  // namespace lan
