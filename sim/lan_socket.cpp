#include "lan_socket.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kmvsim::lan {
namespace {

constexpr int kListenBacklog = 16;
constexpr int kSocketBuffer = 4 << 20;  // a few frames in flight on loopback
constexpr int kMaxBatch = 64;
constexpr size_t kMaxPollItems = 64;

#if defined(_WIN32)
using Native = SOCKET;
constexpr int kSendFlags = 0;
bool would_block() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}
Native native(Sock s) {
  return s == kNoSock ? INVALID_SOCKET : Native(s);
}
Sock wrap(Native n) {
  return n == INVALID_SOCKET ? kNoSock : Sock(n);
}
bool set_nonblocking(Native n) {
  u_long on = 1;
  return ioctlsocket(n, FIONBIO, &on) == 0;
}
void close_native(Native n) {
  closesocket(n);
}
#else
using Native = int;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer must not raise SIGPIPE
bool would_block() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}
Native native(Sock s) {
  return Native(s);
}
Sock wrap(Native n) {
  return n < 0 ? kNoSock : Sock(n);
}
bool set_nonblocking(Native n) {
  const int flags = fcntl(n, F_GETFL, 0);
  return flags >= 0 && fcntl(n, F_SETFL, flags | O_NONBLOCK) == 0;
}
void close_native(Native n) {
  ::close(n);
}
#endif

sockaddr_in to_sockaddr(const Address& a) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(a.ip);
  sa.sin_port = htons(a.port);
  return sa;
}

Address from_sockaddr(const sockaddr_in& sa) {
  return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

void set_int(Native n, int level, int option, int value) {
  setsockopt(n, level, option, reinterpret_cast<const char*>(&value), sizeof value);
}

Sock bound(Native n, const Address& at) {
  if (n == Native(native(kNoSock))) return kNoSock;
  const sockaddr_in sa = to_sockaddr(at);
  if (!set_nonblocking(n) || bind(n, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    close_native(n);
    return kNoSock;
  }
  return wrap(n);
}

#if !defined(_WIN32)
// One sendmmsg per batch; a datagram that cannot go for any reason but a full buffer is skipped.
int send_each(Native n, const Datagram* datagrams, int count, sockaddr_in& sa) {
  iovec parts[kMaxBatch][2];
  mmsghdr messages[kMaxBatch];
  int taken = 0;
  while (taken < count) {
    const int batch = std::min(count - taken, kMaxBatch);
    for (int i = 0; i < batch; ++i) {
      const Datagram& d = datagrams[taken + i];
      parts[i][0] = {const_cast<uint8_t*>(d.head), d.head_length};
      parts[i][1] = {const_cast<uint8_t*>(d.body), d.body_length};
      messages[i] = {};
      messages[i].msg_hdr.msg_name = &sa;
      messages[i].msg_hdr.msg_namelen = sizeof sa;
      messages[i].msg_hdr.msg_iov = parts[i];
      messages[i].msg_hdr.msg_iovlen = 2;
    }
    const int sent = sendmmsg(n, messages, unsigned(batch), MSG_NOSIGNAL);
    if (sent < 0) {
      if (would_block()) return taken;
      ++taken;
      continue;
    }
    taken += sent;
    if (sent < batch) return taken;
  }
  return taken;
}

#if defined(UDP_SEGMENT)
std::atomic<bool> segmentation{true};  // off for good once the system refuses it

// Datagrams of one size as a single segmented send: one trip through the network stack for a
// run of them, which is what keeps the simulator light at the fastest stream rates. Returns how
// many were taken, or -1 when segmentation is not available.
int send_segmented(Native n, const Datagram* datagrams, int count, size_t size, sockaddr_in& sa) {
  if (!segmentation.load(std::memory_order_relaxed)) return -1;
  constexpr size_t kMaxPayload = 65507;  // of one UDP packet
  thread_local std::array<uint8_t, kMaxPayload> staging;
  count = std::min<int>(count, int(kMaxPayload / size));
  if (count < 2) return -1;
  uint8_t* p = staging.data();
  for (int i = 0; i < count; ++i) {
    std::memcpy(p, datagrams[i].head, datagrams[i].head_length);
    std::memcpy(p + datagrams[i].head_length, datagrams[i].body, datagrams[i].body_length);
    p += size;
  }
  iovec part{staging.data(), size_t(count) * size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
  msghdr m{};
  m.msg_name = &sa;
  m.msg_namelen = sizeof sa;
  m.msg_iov = &part;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = SOL_UDP;
  c->cmsg_type = UDP_SEGMENT;
  c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  const uint16_t segment = uint16_t(size);
  std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
  if (sendmsg(n, &m, MSG_NOSIGNAL) >= 0) return count;
  if (would_block()) return 0;
  if (errno == EINVAL || errno == EIO || errno == ENOPROTOOPT || errno == EOPNOTSUPP) {
    segmentation = false;
    return -1;
  }
  return count;  // these cannot go; the next may
}
#else
int send_segmented(Native, const Datagram*, int, size_t, sockaddr_in&) {
  return -1;
}
#endif
#endif

}  // namespace

bool startup() {
#if defined(_WIN32)
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
  return true;
#endif
}

void cleanup() {
#if defined(_WIN32)
  WSACleanup();
#endif
}

bool parse_ipv4(const std::string& text, uint32_t* ip) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *ip = ntohl(a.s_addr);
  return true;
}

std::string format_ipv4(uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
         std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF);
}

bool on_loopback(uint32_t ip) {
  if ((ip >> 24) == 127) return true;
#if defined(_WIN32)
  return false;
#else
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_LOOPBACK)) {
      continue;
    }
    found = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) == ip;
  }
  freeifaddrs(list);
  return found;
#endif
}

Sock open_listener(const Address& at) {
  const Native n = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#if !defined(_WIN32)
  // A restarted server takes its port back at once (Windows would let others share it).
  if (n >= 0) set_int(n, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
  const Sock s = bound(n, at);
  if (s != kNoSock && listen(native(s), kListenBacklog) != 0) {
    close(s);
    return kNoSock;
  }
  return s;
}

Sock open_udp(const Address& at) {
  const Sock s = bound(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP), at);
  if (s != kNoSock) set_int(native(s), SOL_SOCKET, SO_SNDBUF, kSocketBuffer);
  return s;
}

Address local_address(Sock s) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (getsockname(native(s), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return {};
  return from_sockaddr(sa);
}

Sock accept_one(Sock listener) {
  const Native n = accept(native(listener), nullptr, nullptr);
  if (n == Native(native(kNoSock))) return kNoSock;
  if (!set_nonblocking(n)) {
    close_native(n);
    return kNoSock;
  }
  set_int(n, IPPROTO_TCP, TCP_NODELAY, 1);
  set_int(n, SOL_SOCKET, SO_SNDBUF, kSocketBuffer);
  return wrap(n);
}

void close(Sock s, bool reset) {
  if (s == kNoSock) return;
  if (reset) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  }
  close_native(native(s));
}

long send_some(Sock s, const uint8_t* data, size_t length) {
  const int chunk = int(std::min<size_t>(length, 1 << 30));
  const auto n = send(native(s), reinterpret_cast<const char*>(data), chunk, kSendFlags);
  if (n >= 0) return long(n);
  return would_block() ? kWouldBlock : kFailed;
}

long recv_some(Sock s, uint8_t* data, size_t length) {
  const int chunk = int(std::min<size_t>(length, 1 << 30));
  const auto n = recv(native(s), reinterpret_cast<char*>(data), chunk, 0);
  if (n >= 0) return long(n);
  return would_block() ? kWouldBlock : kFailed;
}

long recv_from(Sock s, uint8_t* data, size_t length, Address* from) {
  sockaddr_in sa{};
  socklen_t sa_length = sizeof sa;
  const int chunk = int(std::min<size_t>(length, 1 << 30));
  const auto n = recvfrom(native(s), reinterpret_cast<char*>(data), chunk, 0,
                          reinterpret_cast<sockaddr*>(&sa), &sa_length);
  if (n >= 0) {
    if (from) *from = from_sockaddr(sa);
    return long(n);
  }
#if defined(_WIN32)
  // A datagram larger than the buffer: the rest is gone, what arrived still counts.
  if (WSAGetLastError() == WSAEMSGSIZE) {
    if (from) *from = from_sockaddr(sa);
    return long(length);
  }
#endif
  return would_block() ? kWouldBlock : kFailed;
}

int send_datagrams(Sock s, const Datagram* datagrams, int count, const Address& to) {
  sockaddr_in sa = to_sockaddr(to);
#if defined(_WIN32)
  for (int i = 0; i < count; ++i) {
    WSABUF parts[2];
    parts[0].buf = reinterpret_cast<char*>(const_cast<uint8_t*>(datagrams[i].head));
    parts[0].len = ULONG(datagrams[i].head_length);
    parts[1].buf = reinterpret_cast<char*>(const_cast<uint8_t*>(datagrams[i].body));
    parts[1].len = ULONG(datagrams[i].body_length);
    DWORD sent = 0;
    if (WSASendTo(native(s), parts, 2, &sent, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa,
                  nullptr, nullptr) != 0 &&
        would_block()) {
      return i;
    }
  }
  return count;
#else
  int taken = 0;
  while (taken < count) {
    // A run of datagrams of one size.
    const size_t size = datagrams[taken].head_length + datagrams[taken].body_length;
    int run = 1;
    while (taken + run < count && run < kMaxBatch &&
           datagrams[taken + run].head_length + datagrams[taken + run].body_length == size) {
      ++run;
    }
    int sent = run > 1 ? send_segmented(native(s), datagrams + taken, run, size, sa) : -1;
    if (sent < 0) sent = send_each(native(s), datagrams + taken, run, sa);
    taken += sent;
    if (sent < run) return taken;
  }
  return taken;
#endif
}

bool poll(PollItem* items, size_t count, int timeout_ms) {
#if defined(_WIN32)
  std::array<WSAPOLLFD, kMaxPollItems> fds;
#else
  std::array<pollfd, kMaxPollItems> fds;
#endif
  count = std::min(count, kMaxPollItems);
  for (size_t i = 0; i < count; ++i) {
    fds[i] = {};
    fds[i].fd = native(items[i].sock);
    fds[i].events = POLLIN;
    if (items[i].want_write) fds[i].events |= POLLOUT;
  }
#if defined(_WIN32)
  if (count == 0) {
    Sleep(DWORD(timeout_ms));
    return true;
  }
  const int n = WSAPoll(fds.data(), ULONG(count), timeout_ms);
#else
  const int n = ::poll(fds.data(), nfds_t(count), timeout_ms);
#endif
  if (n < 0) return false;
  for (size_t i = 0; i < count; ++i) {
    const auto r = fds[i].revents;
    items[i].readable = (r & (POLLIN | POLLERR | POLLHUP)) != 0;
    items[i].writable = (r & (POLLOUT | POLLERR | POLLHUP)) != 0;
  }
  return true;
}

}  // namespace kmvsim::lan
