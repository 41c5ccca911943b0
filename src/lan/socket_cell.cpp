#include "lan/socket_cell.h"

#include <chrono>
#include <thread>

namespace lan {

namespace {

// The cell's word: bits 0-31 handle + 1 (0 = empty), bits 32-47 leases, bit 48 closing,
// bits 49-63 serial of the socket.
constexpr uint64_t kHandleMask = 0xFFFFFFFFull;
constexpr int kLeaseShift = 32;
constexpr uint64_t kLeaseOne = 1ull << kLeaseShift;
constexpr uint64_t kLeaseMask = 0xFFFFull << kLeaseShift;
constexpr uint64_t kClosing = 1ull << 48;
constexpr int kSerialShift = 49;
constexpr uint64_t kSerialMask = ~0ull << kSerialShift;
constexpr uint64_t kSerialValues = 1ull << (64 - kSerialShift);

// A closing socket stays pinned only for single calls; installing waits at most this long.
constexpr int kInstallWaitMs = 2000;

inline bool open(uint64_t w) {
  return (w & kHandleMask) != 0 && (w & kClosing) == 0;
}
inline Socket handle(uint64_t w) {
  return static_cast<Socket>((w & kHandleMask) - 1);
}
inline uint64_t leases(uint64_t w) {
  return (w & kLeaseMask) >> kLeaseShift;
}
inline SocketCell::Token token_of(uint64_t w) {
  return open(w) ? (w & (kHandleMask | kSerialMask)) : 0;
}

}  // namespace

SocketCell::Lease& SocketCell::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    release();
    cell_ = other.cell_;
    socket_ = other.socket_;
    token_ = other.token_;
    other.cell_ = nullptr;
    other.socket_ = kNoSocket;
    other.token_ = 0;
  }
  return *this;
}

void SocketCell::Lease::release() {
  if (cell_) cell_->unpin();
  cell_ = nullptr;
  socket_ = kNoSocket;
  token_ = 0;
}

Socket SocketCell::load() const {
  uint64_t w = word_.load(std::memory_order_acquire);
  return open(w) ? handle(w) : kNoSocket;
}

SocketCell::Token SocketCell::token() const {
  return token_of(word_.load(std::memory_order_acquire));
}

SocketCell::Lease SocketCell::lease() const {
  return lease_if(0);
}

SocketCell::Lease SocketCell::lease_if(Token t) const {
  Lease l;
  uint64_t w = word_.load(std::memory_order_acquire);
  for (;;) {
    if (!open(w) || (t != 0 && token_of(w) != t) || leases(w) == 0xFFFF) return l;
    if (word_.compare_exchange_weak(w, w + kLeaseOne, std::memory_order_acq_rel)) break;
  }
  l.cell_ = this;
  l.socket_ = handle(w);
  l.token_ = token_of(w);
  return l;
}

void SocketCell::unpin() const {
  uint64_t w = word_.load(std::memory_order_acquire);
  for (;;) {
    if (leases(w) == 0) return;  // replaced by store() meanwhile
    uint64_t next = w - kLeaseOne;
    bool last = (w & kClosing) && leases(next) == 0;
    if (last) next = 0;
    if (word_.compare_exchange_weak(w, next, std::memory_order_acq_rel)) {
      if (last) net::close(handle(w));
      return;
    }
  }
}

bool SocketCell::close_leased(Lease& l) {
  // Our own lease keeps the descriptor valid while we shut it down.
  uint64_t w = word_.load(std::memory_order_acquire);
  for (;;) {
    if (!open(w) || token_of(w) != l.token()) {
      l.release();
      return false;  // someone else closed it first
    }
    if (word_.compare_exchange_weak(w, w | kClosing, std::memory_order_acq_rel)) break;
  }
  net::shutdown_both(l.get());
  l.release();  // the last lease closes it
  return true;
}

bool SocketCell::close() {
  Lease l = lease();
  return l ? close_leased(l) : false;
}

bool SocketCell::close_if(Token t) {
  if (t == 0) return false;
  Lease l = lease_if(t);
  return l ? close_leased(l) : false;
}

SocketCell::Token SocketCell::install(Socket s) {
  if (s == kNoSocket) return 0;
  if (static_cast<uint64_t>(s) >= kHandleMask) {
    net::close(s);
    return 0;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kInstallWaitMs);
  uint64_t serial = serial_.fetch_add(1) % (kSerialValues - 1) + 1;
  uint64_t next = (static_cast<uint64_t>(s) + 1) | serial << kSerialShift;
  for (;;) {
    uint64_t w = word_.load(std::memory_order_acquire);
    if (w == 0) {
      if (word_.compare_exchange_strong(w, next, std::memory_order_acq_rel)) return token_of(next);
      continue;
    }
    if (open(w)) {
      close();  // the displaced socket
      continue;
    }
    // Being closed: its last lease is a single call away.
    if (std::chrono::steady_clock::now() > deadline) {
      net::close(s);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void SocketCell::store(Socket s) {
  if (s == kNoSocket || static_cast<uint64_t>(s) >= kHandleMask) {
    word_.store(0, std::memory_order_release);
    return;
  }
  uint64_t serial = serial_.fetch_add(1) % (kSerialValues - 1) + 1;
  word_.store((static_cast<uint64_t>(s) + 1) | serial << kSerialShift, std::memory_order_release);
}

}  // namespace lan
