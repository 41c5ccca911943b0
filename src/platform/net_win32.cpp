#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <new>

#include "platform/net.h"

namespace net {

namespace {

std::atomic<int> g_starts{0};

inline SOCKET sock(Socket s) {
  return static_cast<SOCKET>(s);
}

sockaddr_in to_sockaddr(const Endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(e.port);
  a.sin_addr.s_addr = e.ip;
  return a;
}

int set_nonblocking(Socket s, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(sock(s), FIONBIO, &mode) == 0 ? 0 : ::WSAGetLastError();
}

}  // namespace

int close(Socket s) {
  if (!is_valid(s)) return -1;
  return ::closesocket(sock(s));
}

int shutdown_both(Socket s) {
  if (!is_valid(s)) return -1;
  return ::shutdown(sock(s), SD_BOTH);
}

bool startup() {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  g_starts.fetch_add(1);
  return true;
}

void cleanup() {
  // Only a start that succeeded is undone: WSACleanup without one would tear down the
  // host's own Winsock use.
  int n = g_starts.load();
  while (n > 0) {
    if (g_starts.compare_exchange_weak(n, n - 1)) {
      ::WSACleanup();
      return;
    }
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
    if (a->ai_family != AF_INET || a->ai_addr == nullptr ||
        a->ai_addrlen < static_cast<int>(sizeof(sockaddr_in)))
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
  SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

Socket open_tcp() {
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

int set_timeouts(Socket s, int ms) {
  DWORD v = static_cast<DWORD>(ms);
  const char* p = reinterpret_cast<const char*>(&v);
  if (::setsockopt(sock(s), SOL_SOCKET, SO_RCVTIMEO, p, sizeof v) != 0) return ::WSAGetLastError();
  if (::setsockopt(sock(s), SOL_SOCKET, SO_SNDTIMEO, p, sizeof v) != 0) return ::WSAGetLastError();
  return 0;
}

int set_receive_buffer(Socket s, int bytes) {
  const char* p = reinterpret_cast<const char*>(&bytes);
  return ::setsockopt(sock(s), SOL_SOCKET, SO_RCVBUF, p, sizeof bytes) == 0 ? 0
                                                                            : ::WSAGetLastError();
}

int set_no_delay(Socket s) {
  BOOL one = TRUE;
  const char* p = reinterpret_cast<const char*>(&one);
  return ::setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY, p, sizeof one) == 0 ? 0
                                                                             : ::WSAGetLastError();
}

bool connected(Socket s) {
  sockaddr_in peer{};
  int len = sizeof peer;
  return ::getpeername(sock(s), reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

int connect_start(Socket s, const Endpoint& to) {
  if (int e = set_nonblocking(s, true)) return e;
  sockaddr_in a = to_sockaddr(to);
  if (::connect(sock(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
    set_nonblocking(s, false);
    return 0;
  }
  int e = ::WSAGetLastError();
  return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS ? kPending : e;
}

int connect_wait(Socket s, int ms) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(sock(s), &writable);
  FD_SET(sock(s), &failed);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  int n = ::select(0, nullptr, &writable, &failed, &tv);
  if (n == SOCKET_ERROR) return ::WSAGetLastError();
  if (n == 0) return kPending;
  int err = 0;
  int len = sizeof err;
  if (::getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    err = ::WSAGetLastError();
  if (err == 0 && FD_ISSET(sock(s), &failed)) err = WSAECONNREFUSED;
  if (err == 0) set_nonblocking(s, false);
  return err;
}

long send(Socket s, const void* data, size_t n) {
  int r = ::send(sock(s), static_cast<const char*>(data), static_cast<int>(n), 0);
  return r == SOCKET_ERROR ? -1 : r;
}

long send_to(Socket s, const void* data, size_t n, const Endpoint& to) {
  sockaddr_in a = to_sockaddr(to);
  int r = ::sendto(sock(s), static_cast<const char*>(data), static_cast<int>(n), 0,
                   reinterpret_cast<const sockaddr*>(&a), sizeof a);
  return r == SOCKET_ERROR ? -1 : r;
}

long recv(Socket s, void* buffer, size_t n, bool wait_all) {
  int r =
      ::recv(sock(s), static_cast<char*>(buffer), static_cast<int>(n), wait_all ? MSG_WAITALL : 0);
  return r == SOCKET_ERROR ? -1 : r;
}

long recv_from(Socket s, void* buffer, size_t n) {
  int r = ::recvfrom(sock(s), static_cast<char*>(buffer), static_cast<int>(n), 0, nullptr, nullptr);
  return r == SOCKET_ERROR ? -1 : r;
}

// ---- Receive ring ----
//
// Datagram rings keep one overlapped receive per posted slot: each datagram completes the oldest
// receive, so the slots fill in posting order. Stream rings cannot do the same safely: a receive
// asked to fill its whole slot (MSG_WAITALL) may still end early (Wine ends it with whatever had
// arrived), and the bytes after it would then land in the next slot, tearing every frame from
// there on. So a stream ring keeps its posted slots in posting order and has one overlapped
// receive at a time in flight, for the rest of the oldest slot; a short completion goes on into
// the same slot.

namespace {

enum class SlotState : uint8_t { kIdle, kQueued, kInFlight, kDone, kFailed };

}  // namespace

struct RecvRing {
  struct Slot {
    WSAOVERLAPPED ov;
    WSABUF buf;
    DWORD flags = 0;
    WSAEVENT event = WSA_INVALID_EVENT;
    SlotState state = SlotState::kIdle;
    uint8_t* buffer = nullptr;
    uint32_t len = 0;
    uint32_t filled = 0;
    int error = 0;
  };
  int count = 0;
  bool datagrams = false;
  Slot* slots = nullptr;
  // Stream rings: posted slots in posting order; the head is the one being filled.
  int* queue = nullptr;
  int head = 0, size = 0;
  // Shared by every datagram receive and never evaluated.
  sockaddr_in from{};
  INT from_len = sizeof(sockaddr_in);

  int pop() {
    int k = queue[head];
    head = (head + 1) % count;
    --size;
    return k;
  }
  void fail_all(int error) {
    while (size > 0) {
      Slot& slot = slots[pop()];
      slot.state = SlotState::kFailed;
      slot.error = error;
    }
  }
  int issue(Socket s, Slot& slot);
  void pump_stream(Socket s);
};

// Start the overlapped receive of a slot's missing bytes: 0 when under way (or already done), else
// the error.
int RecvRing::issue(Socket s, Slot& slot) {
  ::WSAResetEvent(slot.event);
  std::memset(&slot.ov, 0, sizeof slot.ov);
  slot.ov.hEvent = slot.event;
  slot.buf.buf = reinterpret_cast<char*>(slot.buffer + slot.filled);
  slot.buf.len = slot.len - slot.filled;
  slot.flags = MSG_WAITALL;
  if (::WSARecv(sock(s), &slot.buf, 1, nullptr, &slot.flags, &slot.ov, nullptr) != 0) {
    int e = ::WSAGetLastError();
    if (e != WSA_IO_PENDING) return e;
  }
  slot.state = SlotState::kInFlight;  // completed at once or not: the result comes the same way
  return 0;
}

// Move the stream ring on as far as its receives have completed, without waiting.
void RecvRing::pump_stream(Socket s) {
  while (size > 0) {
    Slot& slot = slots[queue[head]];
    if (slot.state == SlotState::kQueued) {
      if (!is_valid(s)) return fail_all(WSAENOTSOCK);
      if (int e = issue(s, slot)) return fail_all(e);
    }
    DWORD n = 0, flags = 0;
    if (!is_valid(s)) {
      // The socket is gone: the receive ends by itself; report once it has.
      if (::WaitForSingleObject(slot.event, 0) != WAIT_OBJECT_0) return;
      return fail_all(WSAENOTSOCK);
    }
    if (!::WSAGetOverlappedResult(sock(s), &slot.ov, &n, FALSE, &flags)) {
      int e = ::WSAGetLastError();
      if (e == WSA_IO_INCOMPLETE) return;
      return fail_all(e);
    }
    if (n == 0) return fail_all(WSAECONNRESET);  // the peer ended the stream
    slot.filled += n;
    if (slot.filled < slot.len) {
      slot.state = SlotState::kQueued;  // short: the rest goes into the same slot
      continue;
    }
    slot.state = SlotState::kDone;
    pop();
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
  for (int k = 0; k < slots; ++k) {
    std::memset(&ring->slots[k].ov, 0, sizeof(WSAOVERLAPPED));
    ring->slots[k].event = ::WSACreateEvent();
    if (ring->slots[k].event == WSA_INVALID_EVENT) {
      ring_destroy(ring);
      return nullptr;
    }
  }
  return ring;
}

void ring_destroy(RecvRing* ring) {
  if (!ring) return;
  if (ring->slots) {
    for (int k = 0; k < ring->count; ++k) {
      if (ring->slots[k].event != WSA_INVALID_EVENT) ::WSACloseEvent(ring->slots[k].event);
    }
  }
  delete[] ring->slots;
  delete[] ring->queue;
  delete ring;
}

int ring_post(RecvRing* ring, Socket s, int k, uint8_t* buffer, uint32_t len) {
  if (!ring || k < 0 || k >= ring->count) return WSAEINVAL;
  RecvRing::Slot& slot = ring->slots[k];
  if (slot.state == SlotState::kQueued || slot.state == SlotState::kInFlight) {
    return kPending;  // its record is still in use
  }
  if (!is_valid(s)) {
    slot.state = SlotState::kIdle;
    return WSAENOTSOCK;
  }
  slot.buffer = buffer;
  slot.len = len;
  slot.filled = 0;
  slot.error = 0;
  if (!ring->datagrams) {
    if (len == 0) {
      slot.state = SlotState::kDone;
      return 0;
    }
    slot.state = SlotState::kQueued;
    ring->queue[(ring->head + ring->size) % ring->count] = k;
    ++ring->size;
    if (ring->size == 1) {
      if (int e = ring->issue(s, slot)) {
        ring->pop();
        slot.state = SlotState::kIdle;
        return e;
      }
    }
    return kPending;
  }
  ::WSAResetEvent(slot.event);
  std::memset(&slot.ov, 0, sizeof slot.ov);
  slot.ov.hEvent = slot.event;
  slot.buf.buf = reinterpret_cast<char*>(buffer);
  slot.buf.len = len;
  slot.flags = 0;
  int r =
      ::WSARecvFrom(sock(s), &slot.buf, 1, nullptr, &slot.flags,
                    reinterpret_cast<sockaddr*>(&ring->from), &ring->from_len, &slot.ov, nullptr);
  if (r == 0) {
    slot.state = SlotState::kInFlight;  // completed at once; the result is read by the next query
    return 0;
  }
  int e = ::WSAGetLastError();
  if (e == WSA_IO_PENDING) {
    slot.state = SlotState::kInFlight;
    return kPending;
  }
  slot.state = SlotState::kIdle;
  return e;
}

int ring_query(RecvRing* ring, Socket s, int k, uint32_t* bytes) {
  if (!ring || k < 0 || k >= ring->count) return WSAEINVAL;
  RecvRing::Slot& slot = ring->slots[k];
  if (!ring->datagrams) {
    if (slot.state == SlotState::kQueued || slot.state == SlotState::kInFlight) {
      ring->pump_stream(s);
    }
    switch (slot.state) {
      case SlotState::kDone:
        if (bytes) *bytes = slot.filled;
        return 0;
      case SlotState::kFailed:
        return slot.error ? slot.error : WSAECONNRESET;
      default:
        return kIncomplete;
    }
  }
  if (slot.state != SlotState::kInFlight) return kIncomplete;
  DWORD n = 0, flags = 0;
  if (!is_valid(s)) {
    // The socket is gone: its receives end by themselves; report once they have.
    if (::WaitForSingleObject(slot.event, 0) != WAIT_OBJECT_0) return kIncomplete;
    slot.state = SlotState::kIdle;
    return WSAENOTSOCK;
  }
  if (::WSAGetOverlappedResult(sock(s), &slot.ov, &n, FALSE, &flags)) {
    slot.state = SlotState::kIdle;
    if (bytes) *bytes = n;
    return 0;
  }
  int e = ::WSAGetLastError();
  if (e == WSA_IO_INCOMPLETE) return kIncomplete;
  slot.state = SlotState::kIdle;
  return e;
}

void ring_wait(RecvRing* ring, Socket, int k, int ms) {
  if (ring && !ring->datagrams && ring->size > 0) {
    RecvRing::Slot& slot = ring->slots[ring->queue[ring->head]];
    if (slot.state == SlotState::kInFlight) {
      ::WaitForSingleObject(slot.event, static_cast<DWORD>(ms));
      return;
    }
  } else if (ring && ring->datagrams && k >= 0 && k < ring->count &&
             ring->slots[k].state == SlotState::kInFlight) {
    ::WaitForSingleObject(ring->slots[k].event, static_cast<DWORD>(ms));
    return;
  }
  ::Sleep(static_cast<DWORD>(ms));
}

bool ring_cancel(RecvRing* ring, Socket s, int ms) {
  if (!ring) return true;
  for (int k = 0; k < ring->count; ++k) {
    if (ring->slots[k].state == SlotState::kInFlight && is_valid(s)) {
      ::CancelIoEx(reinterpret_cast<HANDLE>(sock(s)), &ring->slots[k].ov);
    }
  }
  DWORD end = ::GetTickCount() + static_cast<DWORD>(ms);
  bool all = true;
  for (int k = 0; k < ring->count; ++k) {
    RecvRing::Slot& slot = ring->slots[k];
    if (slot.state != SlotState::kInFlight) continue;
    DWORD now = ::GetTickCount();
    DWORD left = static_cast<int>(end - now) > 0 ? end - now : 0;
    if (::WaitForSingleObject(slot.event, left) != WAIT_OBJECT_0) {
      all = false;
    } else if (ring->datagrams) {
      slot.state = SlotState::kIdle;
    }
  }
  // A receive that would not end keeps the ring as it is: its buffer is still written.
  if (!all) return false;
  for (int k = 0; k < ring->count; ++k) ring->slots[k].state = SlotState::kIdle;
  ring->head = 0;
  ring->size = 0;
  return true;
}

// ---- Send slot: one overlapped send ----

struct SendSlot {
  WSAOVERLAPPED ov;
  WSAEVENT event = WSA_INVALID_EVENT;
  WSABUF buf;
  bool in_flight = false;
  uint8_t data[kSendSlotBytes];
};

SendSlot* send_slot_create() {
  SendSlot* slot = new (std::nothrow) SendSlot;
  if (!slot) return nullptr;
  std::memset(&slot->ov, 0, sizeof slot->ov);
  slot->event = ::WSACreateEvent();
  if (slot->event == WSA_INVALID_EVENT) {
    delete slot;
    return nullptr;
  }
  return slot;
}

void send_slot_destroy(SendSlot* slot) {
  if (!slot) return;
  ::WSACloseEvent(slot->event);
  delete slot;
}

int send_slot_start(SendSlot* slot, Socket s, const uint8_t* data, size_t n) {
  if (!slot || n > kSendSlotBytes) return WSAEINVAL;
  // A send still under way keeps its record and bytes; one that has ended frees them.
  if (slot->in_flight) {
    if (::WaitForSingleObject(slot->event, 0) != WAIT_OBJECT_0) return WSAEALREADY;
    slot->in_flight = false;
  }
  if (!is_valid(s)) return WSAENOTSOCK;
  std::memcpy(slot->data, data, n);
  std::memset(&slot->ov, 0, sizeof slot->ov);
  ::WSAResetEvent(slot->event);
  slot->ov.hEvent = slot->event;
  slot->buf.buf = reinterpret_cast<char*>(slot->data);
  slot->buf.len = static_cast<ULONG>(n);
  // Completed at once: the record is free again, and the caller (which sees 0) never asks.
  if (::WSASend(sock(s), &slot->buf, 1, nullptr, 0, &slot->ov, nullptr) == 0) return 0;
  int e = ::WSAGetLastError();
  if (e == WSA_IO_PENDING) {
    slot->in_flight = true;
    return kPending;
  }
  return e;
}

int send_slot_query(SendSlot* slot, Socket s) {
  if (!slot) return WSAEINVAL;
  if (!slot->in_flight) return 0;
  if (!is_valid(s)) {
    if (::WaitForSingleObject(slot->event, 0) != WAIT_OBJECT_0) return kIncomplete;
    slot->in_flight = false;
    return WSAENOTSOCK;
  }
  DWORD n = 0, flags = 0;
  if (::WSAGetOverlappedResult(sock(s), &slot->ov, &n, FALSE, &flags)) {
    slot->in_flight = false;
    return 0;
  }
  int e = ::WSAGetLastError();
  if (e == WSA_IO_INCOMPLETE) return kIncomplete;
  slot->in_flight = false;
  return e;
}

bool send_slot_cancel(SendSlot* slot, Socket s, int ms) {
  if (!slot || !slot->in_flight) return true;
  if (is_valid(s)) ::CancelIoEx(reinterpret_cast<HANDLE>(sock(s)), &slot->ov);
  if (::WaitForSingleObject(slot->event, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return false;
  slot->in_flight = false;
  return true;
}

}  // namespace net
