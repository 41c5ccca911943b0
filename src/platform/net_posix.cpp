#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "platform/net.h"

namespace net {

namespace {

std::atomic<int> g_starts{0};

inline int fd(Socket s) {
  return static_cast<int>(s);
}

sockaddr_in to_sockaddr(const Endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(e.port);
  a.sin_addr.s_addr = e.ip;
  return a;
}

int set_nonblocking(Socket s, bool on) {
  int flags = ::fcntl(fd(s), F_GETFL, 0);
  if (flags < 0) return errno;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd(s), F_SETFL, flags) < 0 ? errno : 0;
}

inline bool would_block(int e) {
  return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

}  // namespace

int close(Socket s) {
  if (!is_valid(s)) return -1;
  return ::close(fd(s));
}

int shutdown_both(Socket s) {
  if (!is_valid(s)) return -1;
  return ::shutdown(fd(s), SHUT_RDWR);
}

bool startup() {
  g_starts.fetch_add(1);
  return true;
}

void cleanup() {
  int n = g_starts.load();
  while (n > 0 && !g_starts.compare_exchange_weak(n, n - 1)) {
  }
}

int started() {
  return g_starts.load();
}

// ---- Addresses ----

uint32_t inet_addr(const char* text) {
  if (text == nullptr) return kAddressNone;
  return ::inet_addr(text);
}

bool resolve_ipv4(const char* name, const char* service, Endpoint* out) {
  if (name == nullptr || out == nullptr) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, service, &hints, &list) != 0 || list == nullptr) return false;
  bool found = false;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addr == nullptr || a->ai_addrlen < sizeof(sockaddr_in))
      continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    out->ip = in->sin_addr.s_addr;
    out->port = ntohs(in->sin_port);
    found = true;
    break;
  }
  ::freeaddrinfo(list);
  return found;
}

// ---- Sockets ----

Socket open_udp() {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return s < 0 ? kNoSocket : s;
}

Socket open_tcp() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return s < 0 ? kNoSocket : s;
}

int set_timeouts(Socket s, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (::setsockopt(fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return errno;
  if (::setsockopt(fd(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return errno;
  return 0;
}

int set_receive_buffer(Socket s, int bytes) {
  if (::setsockopt(fd(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return errno;
#ifdef SO_RCVBUFFORCE
  // Linux caps SO_RCVBUF at net.core.rmem_max; a privileged process may go past it.
  int got = 0;
  socklen_t len = sizeof got;
  if (::getsockopt(fd(s), SOL_SOCKET, SO_RCVBUF, &got, &len) == 0 && got < bytes) {
    ::setsockopt(fd(s), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
  }
#endif
  return 0;
}

int set_no_delay(Socket s) {
  int one = 1;
  return ::setsockopt(fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ? errno : 0;
}

bool connected(Socket s) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  return ::getpeername(fd(s), reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

int connect_start(Socket s, const Endpoint& to) {
  if (int e = set_nonblocking(s, true)) return e;
  sockaddr_in a = to_sockaddr(to);
  if (::connect(fd(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
    set_nonblocking(s, false);
    return 0;
  }
  int e = errno;
  if (e == EINPROGRESS || e == EINTR) return kPending;
  return e;
}

int connect_wait(Socket s, int ms) {
  pollfd p{fd(s), POLLOUT, 0};
  int n = ::poll(&p, 1, ms);
  if (n < 0) return errno == EINTR ? kPending : errno;
  if (n == 0) return kPending;
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err == 0 && (p.revents & (POLLHUP | POLLNVAL))) err = ECONNABORTED;
  if (err == 0) set_nonblocking(s, false);
  return err;
}

long send(Socket s, const void* data, size_t n) {
  return ::send(fd(s), data, n, MSG_NOSIGNAL);
}

long send_to(Socket s, const void* data, size_t n, const Endpoint& to) {
  sockaddr_in a = to_sockaddr(to);
  return ::sendto(fd(s), data, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

long recv(Socket s, void* buffer, size_t n, bool wait_all) {
  return ::recv(fd(s), buffer, n, wait_all ? MSG_WAITALL : 0);
}

long recv_from(Socket s, void* buffer, size_t n) {
  return ::recvfrom(fd(s), buffer, n, 0, nullptr, nullptr);
}

// ---- Receive ring ----

namespace {

enum class SlotState : uint8_t { kIdle, kPosted, kDone, kFailed };

constexpr int kBatch = 64;  // datagrams per recvmmsg call

}  // namespace

struct RecvRing {
  struct Slot {
    uint8_t* buffer = nullptr;
    uint32_t len = 0;
    uint32_t filled = 0;
    int error = 0;
    SlotState state = SlotState::kIdle;
  };
  int count = 0;
  bool datagrams = false;
  Slot* slots = nullptr;
  // Posted slots in posting order: the next data completes the head first.
  int* queue = nullptr;
  int head = 0, size = 0;
  mmsghdr msgs[kBatch];
  iovec iovs[kBatch];

  int pop() {
    int k = queue[head];
    head = (head + 1) % count;
    --size;
    return k;
  }
  // A socket error ends every receive in flight, as it does for overlapped receives.
  void fail_all(int error) {
    while (size > 0) {
      Slot& slot = slots[pop()];
      slot.state = SlotState::kFailed;
      slot.error = error;
    }
  }
  void pump_stream(Socket s);
  void pump_datagrams(Socket s);
};

void RecvRing::pump_stream(Socket s) {
  while (size > 0) {
    Slot& slot = slots[queue[head]];
    long n = ::recv(fd(s), slot.buffer + slot.filled, slot.len - slot.filled, MSG_DONTWAIT);
    if (n > 0) {
      slot.filled += static_cast<uint32_t>(n);
      if (slot.filled == slot.len) {
        slot.state = SlotState::kDone;
        pop();
      }
      continue;
    }
    if (n == 0) {
      fail_all(ECONNRESET);  // the peer ended the stream
    } else if (!would_block(errno)) {
      fail_all(errno);
    }
    return;
  }
}

void RecvRing::pump_datagrams(Socket s) {
  while (size > 0) {
    int n = std::min(size, kBatch);
    for (int i = 0; i < n; ++i) {
      Slot& slot = slots[queue[(head + i) % count]];
      iovs[i] = {slot.buffer, slot.len};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int got = ::recvmmsg(fd(s), msgs, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
    if (got < 0) {
      if (!would_block(errno)) fail_all(errno);
      return;
    }
    for (int i = 0; i < got; ++i) {
      Slot& slot = slots[pop()];
      if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) {
        slot.state = SlotState::kFailed;  // larger than the buffer, as Winsock reports it
        slot.error = EMSGSIZE;
      } else {
        slot.state = SlotState::kDone;
        slot.filled = msgs[i].msg_len;
      }
    }
    if (got < n) return;
  }
}

RecvRing* ring_create(int slots, bool datagrams) {
  if (slots <= 0) return nullptr;
  RecvRing* ring = new (std::nothrow) RecvRing;
  if (!ring) return nullptr;
  ring->count = slots;
  ring->datagrams = datagrams;
  ring->slots = new (std::nothrow) RecvRing::Slot[slots];
  ring->queue = new (std::nothrow) int[slots];
  if (!ring->slots || !ring->queue) {
    ring_destroy(ring);
    return nullptr;
  }
  return ring;
}

void ring_destroy(RecvRing* ring) {
  if (!ring) return;
  delete[] ring->slots;
  delete[] ring->queue;
  delete ring;
}

int ring_post(RecvRing* ring, Socket s, int k, uint8_t* buffer, uint32_t len) {
  if (!ring || k < 0 || k >= ring->count) return EINVAL;
  RecvRing::Slot& slot = ring->slots[k];
  if (!is_valid(s)) {
    if (slot.state != SlotState::kPosted) slot.state = SlotState::kIdle;
    return EBADF;
  }
  if (slot.state == SlotState::kPosted) return kPending;  // already under way
  slot.buffer = buffer;
  slot.len = len;
  slot.filled = 0;
  slot.error = 0;
  slot.state = len == 0 ? SlotState::kDone : SlotState::kPosted;
  if (len != 0) {
    ring->queue[(ring->head + ring->size) % ring->count] = k;
    ++ring->size;
  }
  return kPending;
}

int ring_query(RecvRing* ring, Socket s, int k, uint32_t* bytes) {
  if (!ring || k < 0 || k >= ring->count) return EINVAL;
  RecvRing::Slot& slot = ring->slots[k];
  if (slot.state == SlotState::kPosted) {
    if (!is_valid(s)) {
      ring->fail_all(EBADF);
    } else if (ring->datagrams) {
      ring->pump_datagrams(s);
    } else {
      ring->pump_stream(s);
    }
  }
  switch (slot.state) {
    case SlotState::kDone:
      if (bytes) *bytes = slot.filled;
      return 0;
    case SlotState::kFailed:
      return slot.error ? slot.error : EIO;
    default:
      return kIncomplete;
  }
}

void ring_wait(RecvRing* ring, Socket s, int, int ms) {
  // With nothing posted, data or the end of the stream waiting on the socket would wake the poll
  // at once, again and again: nothing is read until a receive is posted.
  if (!is_valid(s) || !ring || ring->size == 0) {
    ::usleep(static_cast<useconds_t>(ms) * 1000);
    return;
  }
  pollfd p{fd(s), POLLIN, 0};
  ::poll(&p, 1, ms);
}

bool ring_cancel(RecvRing* ring, Socket, int) {
  if (!ring) return true;
  // Nothing is ever in flight into the buffers: data is only read during a query.
  for (int k = 0; k < ring->count; ++k) ring->slots[k].state = SlotState::kIdle;
  ring->head = 0;
  ring->size = 0;
  return true;
}

// ---- Send slot ----

struct SendSlot {
  uint8_t data[kSendSlotBytes];
  size_t len = 0;
  size_t sent = 0;
};

SendSlot* send_slot_create() {
  return new (std::nothrow) SendSlot;
}

void send_slot_destroy(SendSlot* slot) {
  delete slot;
}

namespace {

// Push the rest of the slot's bytes without blocking: 0 done, kIncomplete, or the error.
int push_rest(SendSlot* slot, Socket s) {
  while (slot->sent < slot->len) {
    if (!is_valid(s)) return EBADF;
    long n =
        ::send(fd(s), slot->data + slot->sent, slot->len - slot->sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) return would_block(errno) ? kIncomplete : errno;
    slot->sent += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int send_slot_start(SendSlot* slot, Socket s, const uint8_t* data, size_t n) {
  if (!slot || n > kSendSlotBytes) return EINVAL;
  std::memcpy(slot->data, data, n);
  slot->len = n;
  slot->sent = 0;
  int r = push_rest(slot, s);
  return r == kIncomplete ? kPending : r;
}

int send_slot_query(SendSlot* slot, Socket s) {
  if (!slot) return EINVAL;
  return push_rest(slot, s);
}

bool send_slot_cancel(SendSlot* slot, Socket, int) {
  if (slot) slot->len = slot->sent = 0;
  return true;
}

}  // namespace net
