// The simulated receiver's LAN side, reached through real sockets on 127.0.0.1 the way a host
// reaches a receiver: identify probes, the TCP and datagram streams byte for byte, commands and
// their acknowledgements in the frame trailers, and every fault on demand.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "kmvsim.h"
#include "lan_server.h"
#include "usb_device.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kPacket = 1456;
constexpr uint32_t kSamples = 130560;

struct Geometry {
  uint32_t packets, sample_bytes;
  uint8_t size_code;
  uint32_t frame_bytes() const { return packets * kPacket; }
};
constexpr Geometry k24{539, 783360, 0x0B};
constexpr Geometry k16{359, 522240, 0x07};
constexpr Geometry kDual{718, 1044480, 0x0F};

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A message: sequence, then the command bytes as a host sends them (count byte included).
Bytes message(uint32_t sequence, std::initializer_list<uint8_t> bytes) {
  Bytes m(4 + bytes.size());
  for (int i = 0; i < 4; ++i) m[size_t(i)] = uint8_t(sequence >> (8 * i));
  std::copy(bytes.begin(), bytes.end(), m.begin() + 4);
  return m;
}

struct Socket {
  int fd = -1;
  explicit Socket(int f) : fd(f) {}
  Socket(const Socket&) = delete;
  ~Socket() {
    if (fd >= 0) close(fd);
  }
};

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

int udp_client() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  const sockaddr_in a = loopback(0);
  bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  return fd;
}

uint16_t local_port(int fd) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  return ntohs(a.sin_port);
}

void send_to(int fd, uint16_t port, const Bytes& b) {
  const sockaddr_in a = loopback(port);
  ASSERT_EQ(sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a),
            long(b.size()));
}

bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// One datagram, or -1 when none came in time.
long receive(int fd, uint8_t* buffer, size_t capacity, int timeout_ms) {
  if (!readable(fd, timeout_ms)) return -1;
  return recv(fd, buffer, capacity, 0);
}

int tcp_client(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const sockaddr_in a = loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void send_all(int fd, const Bytes& b) {
  ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), long(b.size()));
}

// Exactly n bytes within the time limit: n, or what came before the limit, an error or the end.
size_t receive_exact(int fd, uint8_t* buffer, size_t n, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t got = 0;
  while (got < n) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !readable(fd, int(left))) break;
    const long r = recv(fd, buffer + got, n - got, 0);
    if (r <= 0) break;
    got += size_t(r);
  }
  return got;
}

struct Trailer {
  uint32_t frame, marker1, marker2, tag;
  std::vector<std::pair<uint32_t, uint32_t>> records;
};

Trailer trailer(const uint8_t* frame, const Geometry& g) {
  const uint8_t* t = frame + g.sample_bytes;
  Trailer r{le32(t), le32(t + 8), le32(t + 12), le32(t + 16), {}};
  const uint32_t count = r.tag ? le32(t + 20) : 0;
  for (uint32_t i = 0; i < count && i < 10; ++i) {
    r.records.emplace_back(le32(t + 24 + 8 * i), le32(t + 28 + 8 * i));
  }
  return r;
}

int32_t s24(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}
int32_t s16(const uint8_t* p) {
  return int16_t(uint16_t(p[0] | p[1] << 8));
}

// Index of the first sample that is not the test pattern of frame `number`, or -1.
long pattern_mismatch(const uint8_t* frame, const Geometry& g, uint32_t channel, uint32_t number) {
  for (uint32_t k = 0; k < kSamples; ++k) {
    const uint64_t n = uint64_t(number) * kSamples + k;
    bool ok;
    if (g.size_code == k24.size_code) {
      const uint8_t* p = frame + 6 * k;
      ok = s24(p) == KMVSIM_PatternI(channel, n, 24) &&
           s24(p + 3) == KMVSIM_PatternQ(channel, n, 24);
    } else if (g.size_code == k16.size_code) {
      const uint8_t* p = frame + 4 * k;
      ok = s16(p) == KMVSIM_PatternI(channel, n, 16) &&
           s16(p + 2) == KMVSIM_PatternQ(channel, n, 16);
    } else {
      const uint8_t* p = frame + 8 * k;
      ok = s16(p) == KMVSIM_PatternI(0, n, 16) && s16(p + 2) == KMVSIM_PatternQ(0, n, 16) &&
           s16(p + 4) == KMVSIM_PatternI(1, n, 16) && s16(p + 6) == KMVSIM_PatternQ(1, n, 16);
    }
    if (!ok) return long(k);
  }
  return -1;
}

// One frame of a datagram stream as it arrived: from its first datagram up to its last one, or
// up to an index that goes back (the next frame's start, kept for the next frame).
struct DatagramFrame {
  Bytes frame;
  std::map<uint32_t, long> sizes;  // by packet index
  bool complete = false;           // the last datagram came
};

class DatagramReader {
 public:
  DatagramReader(int fd, const Geometry& g) : fd_(fd), g_(g) {}

  DatagramFrame next(int timeout_ms = 2000) {
    DatagramFrame f;
    f.frame.assign(g_.frame_bytes(), 0);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    long previous = -1;
    while (held_ > 0 || Clock::now() < deadline) {
      long n = held_;
      held_ = 0;
      if (n == 0) n = receive(fd_, d_, sizeof d_, 50);
      if (n < 2) continue;
      const uint32_t index = d_[0] | d_[1] << 8;
      if (index < g_.packets) {
        if (long(index) <= previous) {
          held_ = n;
          break;
        }
        previous = long(index);
      }
      f.sizes[index] = n;
      if (index < g_.packets && n == 1458) std::memcpy(&f.frame[index * kPacket], d_ + 2, kPacket);
      if (index == g_.packets - 1) {
        f.complete = true;
        break;
      }
    }
    return f;
  }

 private:
  int fd_;
  Geometry g_;
  uint8_t d_[2048];
  long held_ = 0;
};

class LanSim : public ::testing::Test {
 protected:
  void SetUp() override {
    device.set_pattern(true);
    ASSERT_TRUE(server.start("127.0.0.1", 0, 0));
    const KMVSIM_LanState s = state();
    tcp_port = uint16_t(s.tcp_port);
    udp_port = uint16_t(s.udp_port);
    ASSERT_NE(tcp_port, 0);
    ASSERT_NE(udp_port, 0);
  }

  KMVSIM_LanState state() const {
    KMVSIM_LanState s{};
    s.size = sizeof s;
    server.state(s);
    return s;
  }

  // A TCP stream of this geometry on a new connection.
  int start_tcp(const Geometry& g) {
    const int fd = tcp_client(tcp_port);
    EXPECT_GE(fd, 0);
    send_all(fd, message(1, {0x15, 1, g.size_code}));
    return fd;
  }

  Bytes read_frame(int fd, const Geometry& g, int timeout_ms = 2000) {
    Bytes f(g.frame_bytes());
    f.resize(receive_exact(fd, f.data(), f.size(), timeout_ms));
    return f;
  }

  kmvsim::UsbDevice device;  // the model; its USB side is never opened here
  kmvsim::LanServer server{device};
  uint16_t tcp_port = 0, udp_port = 0;
};

TEST_F(LanSim, IdentifyAnswersOnBothTransportsUnlessWithheld) {
  device.set_serial(255);
  device.set_version(0x18180);
  Socket u(udp_client());
  send_to(u.fd, udp_port, message(41, {0x12, 0x00}));
  uint8_t r[64];
  ASSERT_EQ(receive(u.fd, r, sizeof r, 1000), 12);
  EXPECT_EQ(r[4], 0x12);
  EXPECT_EQ(r[5], 255);
  EXPECT_EQ(r[8] | r[9] << 8 | r[10] << 16, 0x18180);

  Socket t(tcp_client(tcp_port));
  send_all(t.fd, message(42, {0x12, 0x00}));
  ASSERT_EQ(receive_exact(t.fd, r, 12, 1000), 12u);
  EXPECT_EQ(r[4], 0x12);
  EXPECT_EQ(r[5], 255);
  EXPECT_EQ(r[8] | r[9] << 8 | r[10] << 16, 0x18180);
  EXPECT_EQ(state().identify_udp, 1u);
  EXPECT_EQ(state().identify_tcp, 1u);

  device.withhold_replies(0x12, true);
  send_to(u.fd, udp_port, message(43, {0x12, 0x00}));
  send_all(t.fd, message(44, {0x12, 0x00}));
  EXPECT_EQ(receive(u.fd, r, sizeof r, 300), -1);
  EXPECT_FALSE(readable(t.fd, 100));
}

TEST_F(LanSim, TcpStreamCarriesThePatternInEveryGeometry) {
  server.set_real_time(false);
  Socket control(tcp_client(tcp_port));
  // LAN stream set-up: channel 2 alone, then both channels; the geometry follows the size code.
  struct Case {
    Geometry g;
    uint8_t format;
    uint32_t channel;
  };
  for (const Case& c : {Case{k24, 0x03, 0}, Case{k16, 0x2B, 1}, Case{kDual, 0x33, 0}}) {
    SCOPED_TRACE(int(c.g.size_code));
    send_all(control.fd, message(7, {0xB4, 2, c.format, 1, 0}));
    Socket s(start_tcp(c.g));
    for (uint32_t n = 0; n < 3; ++n) {
      const Bytes f = read_frame(s.fd, c.g);
      ASSERT_EQ(f.size(), c.g.frame_bytes());
      const Trailer t = trailer(f.data(), c.g);
      EXPECT_EQ(t.frame, n);
      EXPECT_EQ(t.marker1, 0x12345678u);
      EXPECT_EQ(t.marker2, 0x9ABCDEF0u);
      EXPECT_EQ(pattern_mismatch(f.data(), c.g, c.channel, n), -1);
    }
    EXPECT_EQ(state().size_code, c.g.size_code);
  }
}

TEST_F(LanSim, CommandsReachTheSharedModelAndAreAcknowledgedInTrailers) {
  Socket s(start_tcp(k24));
  const Bytes first = read_frame(s.fd, k24);
  ASSERT_EQ(first.size(), k24.frame_bytes());
  const uint32_t tag0 = trailer(first.data(), k24).tag;
  EXPECT_NE(tag0, 0u);  // the first status record

  send_all(s.fd, message(100, {0xF2, 100, 0, 0}));                     // clock
  send_all(s.fd, message(101, {0xB0, 2, 0xC0, 0x87, 0x8B, 0x3B, 0}));  // both frequencies
  send_all(s.fd, message(102, {0xF5, 1, 12, 1, 1}));                   // attenuator, coupled
  device.reject_address(true);
  send_all(s.fd, message(103, {0xB0, 10, 10, 0, 0, 5, 0}));  // address, rejected
  server.setup_restart(true);
  send_all(s.fd, message(104, {0xB4, 2, 0x03, 1, 0}));  // answered: reopen the stream socket

  // Replies come in batches under new tags; a repeated tag carries the same batch again.
  std::map<uint32_t, uint32_t> acks;  // sequence -> record word
  uint32_t last_tag = tag0;
  for (int i = 0; i < 40 && acks.size() < 5; ++i) {
    const Bytes f = read_frame(s.fd, k24);
    ASSERT_EQ(f.size(), k24.frame_bytes());
    const Trailer t = trailer(f.data(), k24);
    EXPECT_GE(t.tag, last_tag);
    if (t.tag == last_tag) continue;
    last_tag = t.tag;
    ASSERT_GE(t.records.size(), 1u);
    ASSERT_LE(t.records.size(), 10u);
    for (auto [word, value] : t.records) {
      if ((word & 0xFF) != 0xF1) acks[value] = word;
    }
  }
  ASSERT_EQ(acks.size(), 5u);
  EXPECT_EQ(acks[100], 0xF2u | 100u << 8);
  EXPECT_EQ(acks[101], 0xB0u | 2u << 8);
  EXPECT_EQ(acks[102], 0xF5u | 1u << 8 | (12u | 1u << 8) << 16);
  EXPECT_EQ(acks[103] & 0xFFFF, 0xB0u | 0x0Au << 8);
  EXPECT_NE((acks[103] >> 16) & 0xFF, 0u);
  EXPECT_EQ(acks[104], 0xB4u | 1u << 8);

  KMVSIM_State model{};
  model.size = sizeof model;
  device.state(model);
  EXPECT_EQ(model.clock_mhz, 100u);
  EXPECT_EQ(model.frequency[0], 999000000u);
  EXPECT_EQ(model.frequency[1], 999000000u);
  EXPECT_EQ(model.frontend[1], 12u | 1u << 8);
  EXPECT_EQ(model.address, 0u);            // rejected
  EXPECT_EQ(model.commands_received, 0u);  // nothing came over USB
  uint32_t sequence = 0;
  uint8_t bytes[8];
  ASSERT_GE(device.received_count(), 5u);
  const uint32_t last = device.received_count() - 1;
  EXPECT_EQ(device.received(last - 1, bytes, sizeof bytes, &sequence), 7u);
  EXPECT_EQ(sequence, 103u);
  EXPECT_EQ(state().stream_rate, 100000000u / 16);  // the clock reached the LAN stream
}

// A full clear that takes 100 ms: accepted at once, its outcome in a later trailer.
TEST_F(LanSim, LateAnswersFollowInLaterTrailers) {
  device.firmware_clear_delay(100);
  Socket s(start_tcp(k24));
  ASSERT_EQ(read_frame(s.fd, k24).size(), k24.frame_bytes());
  send_all(s.fd, message(200, {0x0C, 0x00, 0x00, 0x80, 2}));
  const auto sent = Clock::now();
  uint32_t tag = 0;
  bool accepted = false, cleared = false;
  for (int i = 0; i < 40 && !cleared; ++i) {
    const Bytes f = read_frame(s.fd, k24);
    ASSERT_EQ(f.size(), k24.frame_bytes());
    const Trailer t = trailer(f.data(), k24);
    if (t.tag == tag) continue;
    tag = t.tag;
    for (auto [word, value] : t.records) {
      if (word == 0x00 && value == 200) accepted = true;
      if (word == (0x0Cu | 4u << 8) && value == 200) {
        cleared = true;
        EXPECT_TRUE(accepted);
        EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(90));
      }
    }
  }
  EXPECT_TRUE(cleared);
}

TEST_F(LanSim, DatagramStreamGoesToWhoeverStartedIt) {
  Socket u(udp_client());
  send_to(u.fd, udp_port, message(9, {0x15, 0, k24.size_code}));
  DatagramReader reader(u.fd, k24);
  long previous = -1;  // a slow machine may lose frames: their numbers are skipped
  for (int i = 0; i < 3; ++i) {
    const DatagramFrame f = reader.next();
    ASSERT_TRUE(f.complete);
    ASSERT_EQ(f.sizes.size(), k24.packets);
    for (auto [index, size] : f.sizes) EXPECT_EQ(size, 1458) << index;
    const Trailer t = trailer(f.frame.data(), k24);
    if (i == 0) {
      EXPECT_EQ(t.frame, 0u);
    }
    EXPECT_GT(long(t.frame), previous);
    previous = long(t.frame);
    EXPECT_EQ(t.marker1, 0x12345678u);
    EXPECT_EQ(pattern_mismatch(f.frame.data(), k24, 0, t.frame), -1);
  }
  const KMVSIM_LanState s = state();
  EXPECT_EQ(s.stream, KMVSIM_LAN_STREAM_UDP);
  EXPECT_EQ(s.udp_destination, INADDR_LOOPBACK);
  EXPECT_EQ(s.udp_destination_port, local_port(u.fd));

  // The stop message for the datagram stream comes on TCP.
  Socket t(tcp_client(tcp_port));
  send_all(t.fd, message(10, {0x16, 0, 0}));
  for (int i = 0; i < 100 && state().stream != KMVSIM_LAN_STREAM_NONE; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(state().stream, KMVSIM_LAN_STREAM_NONE);
  uint8_t d[2048];
  while (receive(u.fd, d, sizeof d, 0) > 0) {
  }
  EXPECT_EQ(receive(u.fd, d, sizeof d, 100), -1);
}

TEST_F(LanSim, DatagramFaultsHitOneFrameEach) {
  struct Case {
    uint32_t kind, index;
  };
  for (const Case& c :
       {Case{KMVSIM_LAN_DATAGRAM_LOST, 5}, Case{KMVSIM_LAN_DATAGRAM_LOST, KMVSIM_LAN_LAST},
        Case{KMVSIM_LAN_DATAGRAM_SHORT, 7}, Case{KMVSIM_LAN_DATAGRAM_BAD_INDEX, 9}}) {
    SCOPED_TRACE(c.kind * 1000 + (c.index & 0xFF));
    // A fresh stream, so that its first frame is the faulty one.
    server.datagram_fault(c.kind, c.index, 1);
    Socket u(udp_client());
    send_to(u.fd, udp_port, message(9, {0x15, 0, k16.size_code}));
    DatagramReader reader(u.fd, k16);
    DatagramFrame f = reader.next();
    if (c.kind == KMVSIM_LAN_DATAGRAM_LOST && c.index == 5) {
      EXPECT_TRUE(f.complete);
      EXPECT_EQ(f.sizes.count(5), 0u);
      EXPECT_EQ(f.sizes.size(), k16.packets - 1);
    } else if (c.kind == KMVSIM_LAN_DATAGRAM_LOST) {
      EXPECT_FALSE(f.complete);
      EXPECT_EQ(f.sizes.size(), k16.packets - 1);
    } else if (c.kind == KMVSIM_LAN_DATAGRAM_SHORT) {
      EXPECT_TRUE(f.complete);
      EXPECT_EQ(f.sizes[7], 1400);
    } else {
      EXPECT_EQ(f.sizes.count(9), 0u);
      EXPECT_EQ(f.sizes[k16.packets], 1458);
    }
    const DatagramFrame next = reader.next();
    EXPECT_TRUE(next.complete);
    EXPECT_EQ(next.sizes.size(), k16.packets);
    EXPECT_GE(trailer(next.frame.data(), k16).frame, 1u);
  }
}

TEST_F(LanSim, WrongMarkersAndSkippedFrames) {
  server.set_real_time(false);
  server.bad_markers(2);
  Socket s(start_tcp(k16));
  for (uint32_t n = 0; n < 3; ++n) {
    const Bytes f = read_frame(s.fd, k16);
    ASSERT_EQ(f.size(), k16.frame_bytes());
    EXPECT_EQ(trailer(f.data(), k16).marker1 == 0x12345678u, n == 2) << n;
  }
  server.skip_frames(5);
  // Frames already on their way keep their numbers (socket buffers hold a few dozen); then the
  // numbers jump by 5 and the samples follow.
  uint32_t previous = 2;
  bool jumped = false;
  for (int i = 0; i < 100 && !jumped; ++i) {
    const Bytes f = read_frame(s.fd, k16);
    ASSERT_EQ(f.size(), k16.frame_bytes());
    const uint32_t n = trailer(f.data(), k16).frame;
    ASSERT_TRUE(n == previous + 1 || n == previous + 6) << previous << " " << n;
    jumped = n == previous + 6;
    EXPECT_EQ(pattern_mismatch(f.data(), k16, 0, n), -1);
    previous = n;
  }
  EXPECT_TRUE(jumped);
}

TEST_F(LanSim, SilenceLosesFramesInRealTime) {
  Socket s(start_tcp(k24));
  uint32_t before = 0;
  for (int i = 0; i < 2; ++i) {
    const Bytes f = read_frame(s.fd, k24);
    ASSERT_EQ(f.size(), k24.frame_bytes());
    before = trailer(f.data(), k24).frame;
  }
  server.set_silent(true);
  // Whatever was on its way drains; then nothing for as long as the silence lasts.
  uint8_t sink[1 << 16];
  while (readable(s.fd, 60) && recv(s.fd, sink, sizeof sink, 0) > 0) {
  }
  EXPECT_FALSE(readable(s.fd, 500));
  server.set_silent(false);
  // ~60 frames a second went by unsent; the receiver kept the last few of them.
  const Bytes f = read_frame(s.fd, k24);
  ASSERT_EQ(f.size(), k24.frame_bytes());
  EXPECT_GT(trailer(f.data(), k24).frame, before + 15);
  EXPECT_GT(state().frames_dropped, 15u);
}

TEST_F(LanSim, DroppedConnectionEndsTheStream) {
  Socket s(start_tcp(k24));
  ASSERT_EQ(read_frame(s.fd, k24).size(), k24.frame_bytes());
  server.drop_connections();
  uint8_t sink[1 << 16];
  long r = 1;
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (r > 0 && Clock::now() < deadline)
    r = readable(s.fd, 100) ? recv(s.fd, sink, sizeof sink, 0) : 1;
  EXPECT_LE(r, 0);
  EXPECT_EQ(state().stream, KMVSIM_LAN_STREAM_NONE);
  EXPECT_EQ(state().connections, 0u);
}

TEST_F(LanSim, AnsweringOnOneTransportOnly) {
  uint8_t r[64];
  server.answer(true, false);  // UDP only: connections end as soon as they are taken
  {
    Socket t(tcp_client(tcp_port));
    send(t.fd, message(1, {0x12, 0}).data(), 6, MSG_NOSIGNAL);
    EXPECT_LT(receive_exact(t.fd, r, 12, 500), 12u);
    Socket u(udp_client());
    send_to(u.fd, udp_port, message(2, {0x12, 0}));
    EXPECT_EQ(receive(u.fd, r, sizeof r, 1000), 12);
  }
  server.answer(false, true);  // TCP only
  {
    Socket u(udp_client());
    send_to(u.fd, udp_port, message(3, {0x12, 0}));
    EXPECT_EQ(receive(u.fd, r, sizeof r, 300), -1);
    Socket t(tcp_client(tcp_port));
    send_all(t.fd, message(4, {0x12, 0}));
    EXPECT_EQ(receive_exact(t.fd, r, 12, 1000), 12u);
  }
}

TEST_F(LanSim, RealTimePacingAndRestart) {
  // The slowest rate, 70 MHz / 64: 8.4 frames a second, which even a sanitised build keeps up.
  Socket s(tcp_client(tcp_port));
  send_all(s.fd, message(1, {0xF2, 70, 0, 0}));
  send_all(s.fd, message(2, {0xB4, 2, 0x05, 1, 0}));
  send_all(s.fd, message(3, {0x15, 1, k24.size_code}));
  ASSERT_EQ(read_frame(s.fd, k24).size(), k24.frame_bytes());
  const auto t0 = Clock::now();
  int frames = 0;
  while (Clock::now() - t0 < std::chrono::seconds(2)) {
    ASSERT_EQ(read_frame(s.fd, k24).size(), k24.frame_bytes());
    ++frames;
  }
  EXPECT_NEAR(frames, 2 * 70e6 / 64 / kSamples, 2);
  EXPECT_EQ(state().stream_rate, 70000000u / 64);
  EXPECT_EQ(state().frames_dropped, 0u);

  // Stop: the frame on its way ends, nothing follows; a new start counts from 0 again.
  send_all(s.fd, message(4, {0x16, 1, 0}));
  uint8_t sink[1 << 16];
  while (readable(s.fd, 100) && recv(s.fd, sink, sizeof sink, 0) > 0) {
  }
  EXPECT_EQ(state().stream, KMVSIM_LAN_STREAM_NONE);
  EXPECT_EQ(state().stops, 1u);
  send_all(s.fd, message(5, {0x15, 1, k24.size_code}));
  const Bytes f = read_frame(s.fd, k24);
  ASSERT_EQ(f.size(), k24.frame_bytes());
  EXPECT_EQ(trailer(f.data(), k24).frame, 0u);
}

TEST_F(LanSim, StopsPromptlyRebindsAndServesLoopbackOnly) {
  Socket s(start_tcp(k24));
  ASSERT_EQ(read_frame(s.fd, k24).size(), k24.frame_bytes());
  const auto t0 = Clock::now();
  server.stop();
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(200));
  EXPECT_FALSE(server.running());
  EXPECT_TRUE(server.start("127.0.0.1", tcp_port, udp_port));  // same ports at once
  EXPECT_EQ(state().tcp_port, tcp_port);
  Socket u(udp_client());
  send_to(u.fd, udp_port, message(1, {0x12, 0}));
  uint8_t r[64];
  EXPECT_EQ(receive(u.fd, r, sizeof r, 1000), 12);

  kmvsim::UsbDevice other;
  kmvsim::LanServer second(other);
  EXPECT_FALSE(second.start("127.0.0.1", tcp_port, 0));  // taken
  EXPECT_FALSE(second.start("0.0.0.0", 0, 0));
  EXPECT_FALSE(second.start("192.0.2.1", 0, 0));
  EXPECT_FALSE(second.start("localhost", 0, 0));
  EXPECT_TRUE(second.start("127.0.0.2", 0, 0));
}

// The program: it serves loopback only, answers with the serial it was given and ends by itself.
TEST(LanSimProgram, ServesForItsTimeLimit) {
  EXPECT_NE(std::system(KMV_SIM_PROGRAM " --bind 192.0.2.1 --seconds 1 2>/dev/null"), 0);
  EXPECT_NE(std::system(KMV_SIM_PROGRAM " --serial 300 2>/dev/null"), 0);

  const auto t0 = Clock::now();
  FILE* out = popen(KMV_SIM_PROGRAM " --tcp-port 0 --udp-port 0 --seconds 1 --serial 9", "r");
  ASSERT_NE(out, nullptr);
  char line[256] = {};
  ASSERT_NE(fgets(line, sizeof line, out), nullptr);
  unsigned tcp = 0, udp = 0;
  ASSERT_EQ(std::sscanf(line, "kmv410-sim: listening on 127.0.0.1 tcp %u udp %u", &tcp, &udp), 2)
      << line;
  Socket u(udp_client());
  send_to(u.fd, uint16_t(udp), message(1, {0x12, 0}));
  uint8_t r[64];
  EXPECT_EQ(receive(u.fd, r, sizeof r, 1000), 12);
  EXPECT_EQ(r[5], 9);
  while (fgets(line, sizeof line, out)) {
  }
  EXPECT_EQ(pclose(out), 0);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
}

// The control functions of the bridge library drive the same server.
TEST(LanSimBridge, ControlFunctions) {
  void* lib = dlopen(KMV_SIM_BRIDGE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto start = reinterpret_cast<decltype(&KMVSIM_LanStart)>(dlsym(lib, "KMVSIM_LanStart"));
  auto stop = reinterpret_cast<decltype(&KMVSIM_LanStop)>(dlsym(lib, "KMVSIM_LanStop"));
  auto get = reinterpret_cast<decltype(&KMVSIM_LanGetState)>(dlsym(lib, "KMVSIM_LanGetState"));
  auto answer = reinterpret_cast<decltype(&KMVSIM_LanAnswer)>(dlsym(lib, "KMVSIM_LanAnswer"));
  auto reset = reinterpret_cast<decltype(&KMVSIM_LanReset)>(dlsym(lib, "KMVSIM_LanReset"));
  auto serial = reinterpret_cast<decltype(&KMVSIM_SetSerial)>(dlsym(lib, "KMVSIM_SetSerial"));
  ASSERT_TRUE(start && stop && get && answer && reset && serial);
  for (const char* name :
       {"KMVSIM_LanSetRealTime", "KMVSIM_LanSetSilent", "KMVSIM_LanDatagramFault",
        "KMVSIM_LanBadMarkers", "KMVSIM_LanSkipFrames", "KMVSIM_LanDropConnections",
        "KMVSIM_LanSetupRestart"}) {
    EXPECT_NE(dlsym(lib, name), nullptr) << name;
  }

  ASSERT_EQ(start(nullptr, 0, 0), 1);
  KMVSIM_LanState s{};
  s.size = sizeof s;
  ASSERT_EQ(get(&s), 1);
  EXPECT_EQ(s.running, 1u);
  EXPECT_EQ(s.bind_address, INADDR_LOOPBACK);
  serial(77);  // the receiver the USB side has
  Socket u(udp_client());
  send_to(u.fd, uint16_t(s.udp_port), message(1, {0x12, 0}));
  uint8_t r[64];
  ASSERT_EQ(receive(u.fd, r, sizeof r, 1000), 12);
  EXPECT_EQ(r[5], 77);
  answer(0, 1);
  send_to(u.fd, uint16_t(s.udp_port), message(2, {0x12, 0}));
  EXPECT_EQ(receive(u.fd, r, sizeof r, 200), -1);
  reset();
  send_to(u.fd, uint16_t(s.udp_port), message(3, {0x12, 0}));
  EXPECT_EQ(receive(u.fd, r, sizeof r, 1000), 12);
  EXPECT_EQ(start("8.8.8.8", 0, 0), 0);
  stop();
  ASSERT_EQ(get(&s), 1);
  EXPECT_EQ(s.running, 0u);
  s.size = 4;
  EXPECT_EQ(get(&s), 0);
}

}  // namespace
