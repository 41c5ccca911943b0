// The few socket operations the simulator's LAN server needs, over BSD sockets and Winsock 2.
// Every socket is non-blocking; addresses and ports are IPv4 in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kmvsim::lan {

using Sock = intptr_t;
constexpr Sock kNoSock = -1;

struct Address {
  uint32_t ip = 0;
  uint16_t port = 0;
  bool operator==(const Address&) const = default;
};

// Start and stop the sockets library (counted on Windows, nothing on POSIX).
bool startup();
void cleanup();

// Dotted IPv4 text to an address; false for anything else.
bool parse_ipv4(const std::string& text, uint32_t* ip);
std::string format_ipv4(uint32_t ip);
// The address belongs to a loopback interface (127.0.0.0/8 always does).
bool on_loopback(uint32_t ip);

Sock open_listener(const Address& at);
Sock open_udp(const Address& at);
// The address a socket is bound to.
Address local_address(Sock s);
// One pending connection, non-blocking and without send delay; kNoSock when none.
Sock accept_one(Sock listener);
// Close a socket; `reset` aborts a connection instead of closing it in order.
void close(Sock s, bool reset = false);

constexpr long kWouldBlock = -1;
constexpr long kFailed = -2;
// Bytes sent or received (recv: 0 = closed by the peer), kWouldBlock or kFailed.
long send_some(Sock s, const uint8_t* data, size_t length);
long recv_some(Sock s, uint8_t* data, size_t length);
long recv_from(Sock s, uint8_t* data, size_t length, Address* from);

// A datagram in two parts (a small header and a body that stays where it is).
struct Datagram {
  const uint8_t* head = nullptr;
  size_t head_length = 0;
  const uint8_t* body = nullptr;
  size_t body_length = 0;
};
// Send up to `count` datagrams to one address: how many were taken (a datagram that failed for
// any reason but a full send buffer counts as taken), or 0 when the first would block.
int send_datagrams(Sock s, const Datagram* datagrams, int count, const Address& to);

struct PollItem {
  Sock sock = kNoSock;
  bool want_write = false;
  bool readable = false;  // also set on errors and hang-ups, so that the next read finds out
  bool writable = false;
};
// Wait up to timeout_ms for any item; returns false only when polling itself failed.
bool poll(PollItem* items, size_t count, int timeout_ms);

}  // namespace kmvsim::lan
