// The LAN link's parts against small peers on loopback (ports the system picks, so the tests
// run anywhere): the shared socket cell, the frame service, the UDP stream task's reassembly
// and the TCP receive task.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "control/stream_config.h"
#include "lan/frame_service.h"
#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "lan/lan_transmit.h"
#include "platform/tasks.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

using Bytes = std::vector<uint8_t>;
using control::LanGeometry;
using lan::g_lan;
using plugin::g_plugin;

constexpr uint32_t kPacket = 1456;
const LanGeometry kGeo24 = control::lan_geometry_for(false, false);
const LanGeometry kGeo16 = control::lan_geometry_for(true, false);
const LanGeometry kGeoDual = control::lan_geometry_for(true, true);

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool eventually(const std::function<bool()>& cond, int ms = 3000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return cond();
}

// ---- Frames as the receiver sends them ----

struct Record {
  uint32_t word, value;
};

// A trailer: frame number, marker, reply tag and batch.
void write_trailer(uint8_t* t, uint32_t number, uint32_t tag, const std::vector<Record>& batch,
                   bool marker = true) {
  put32(t, number);
  put32(t + 4, 0);
  put32(t + 8, marker ? 0x12345678 : 0x11111111);
  put32(t + 12, marker ? 0x9ABCDEF0 : 0x22222222);
  put32(t + 16, tag);
  put32(t + 20, static_cast<uint32_t>(batch.size()));
  for (size_t i = 0; i < batch.size(); ++i) {
    put32(t + 24 + 8 * i, batch[i].word);
    put32(t + 28 + 8 * i, batch[i].value);
  }
}

// A whole frame whose sample bytes follow a pattern of the frame number.
Bytes make_frame(const LanGeometry& g, uint32_t number, bool marker = true, uint32_t tag = 0,
                 const std::vector<Record>& batch = {}) {
  Bytes f(g.frame_bytes(), 0);
  for (uint32_t i = 0; i < g.sample_bytes; ++i) f[i] = uint8_t(i * 7 + i / 251 + number * 13);
  write_trailer(f.data() + g.sample_bytes, number, tag, batch, marker);
  return f;
}

// The host blocks a frame must give, computed byte by byte.
std::pair<Bytes, Bytes> expected_blocks(const LanGeometry& g, const Bytes& frame) {
  Bytes a(783360), b(783360);
  if (!g.sixteen_bit) {
    std::memcpy(a.data(), frame.data(), a.size());
    return {a, b};
  }
  uint32_t values = g.sample_bytes / 2;
  size_t ia = 0, ib = 0;
  for (uint32_t k = 0; k < values; ++k) {
    bool to_b = g.dual && (k % 4) >= 2;
    Bytes& out = to_b ? b : a;
    size_t& at = to_b ? ib : ia;
    out[at++] = 0x80;
    out[at++] = frame[2 * k];
    out[at++] = frame[2 * k + 1];
  }
  return {a, b};
}

// ---- The host ----

// A block as the host got it, with the LAN counters at that moment (later silence counts too).
struct Delivery {
  const void* data;
  Bytes block;
  uint32_t lost, packets;
};
std::mutex g_host_mutex;
std::vector<Delivery> g_lan1, g_lan2;  // guarded by g_host_mutex

void lan1_callback(int32_t count, int32_t, float, void* data) {
  if (count != 130560) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::lock_guard<std::mutex> g(g_host_mutex);
  g_lan1.push_back({data, Bytes(p, p + 783360), g_lan.lost.load(), g_lan.packets.load()});
}
void lan2_callback(int32_t count, int32_t, float, void* data) {
  if (count != 130560) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::lock_guard<std::mutex> g(g_host_mutex);
  g_lan2.push_back({data, Bytes(p, p + 783360), g_lan.lost.load(), g_lan.packets.load()});
}
size_t delivered1() {
  std::lock_guard<std::mutex> g(g_host_mutex);
  return g_lan1.size();
}
size_t delivered2() {
  std::lock_guard<std::mutex> g(g_host_mutex);
  return g_lan2.size();
}
std::vector<Delivery> take1() {
  std::lock_guard<std::mutex> g(g_host_mutex);
  return std::move(g_lan1);
}
std::vector<Delivery> take2() {
  std::lock_guard<std::mutex> g(g_host_mutex);
  return std::move(g_lan2);
}

// ---- Peers ----

int loopback_socket(int type, uint16_t* port) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

// The receiver's UDP side: takes the start message, sends datagrams to whoever sent it.
struct UdpPeer {
  int fd = -1;
  uint16_t port = 0;
  sockaddr_in client{};

  UdpPeer() {
    fd = loopback_socket(SOCK_DGRAM, &port);
    int big = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  }
  ~UdpPeer() { ::close(fd); }

  std::optional<Bytes> receive(int ms) {
    if (!readable(fd, ms)) return std::nullopt;
    uint8_t buf[2048];
    socklen_t len = sizeof client;
    long n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&client), &len);
    if (n < 0) return std::nullopt;
    return Bytes(buf, buf + n);
  }
  void send(const Bytes& d) {
    ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&client), sizeof client);
  }
  static Bytes datagram(uint16_t index, const uint8_t* bytes) {
    Bytes d(1458);
    d[0] = uint8_t(index);
    d[1] = uint8_t(index >> 8);
    std::memcpy(d.data() + 2, bytes, kPacket);
    return d;
  }
  // The frame as N datagrams, leaving out those in `skip`; a short pause every 64 keeps a
  // receive buffer capped by the system from overflowing.
  void send_frame(const LanGeometry& g, const Bytes& frame, const std::set<uint32_t>& skip = {}) {
    for (uint32_t i = 0; i < g.packets; ++i) {
      if (!skip.count(i)) send(datagram(uint16_t(i), frame.data() + i * kPacket));
      if (i % 64 == 63) std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  }
};

// The receiver's TCP side.
struct TcpPeer {
  int listener = -1;
  int conn = -1;
  uint16_t port = 0;
  int accepted = 0;

  TcpPeer() {
    listener = loopback_socket(SOCK_STREAM, &port);
    ::listen(listener, 4);
  }
  ~TcpPeer() {
    if (conn >= 0) ::close(conn);
    ::close(listener);
  }
  bool accept(int ms) {
    if (!readable(listener, ms)) return false;
    if (conn >= 0) ::close(conn);
    conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn >= 0) ++accepted;
    return conn >= 0;
  }
  // One message of exactly n bytes, or nothing within ms.
  std::optional<Bytes> receive(size_t n, int ms) {
    Bytes b(n);
    size_t got = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got < n) {
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                         end - std::chrono::steady_clock::now())
                         .count());
      if (left <= 0 || !readable(conn, left)) return std::nullopt;
      long r = ::recv(conn, b.data() + got, n - got, 0);
      if (r <= 0) return std::nullopt;
      got += size_t(r);
    }
    return b;
  }
  // True when the plug-in closed the connection (end of stream) within ms.
  bool closed_by_peer(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    uint8_t buf[4096];
    while (std::chrono::steady_clock::now() < end) {
      if (!readable(conn, 10)) continue;
      long r = ::recv(conn, buf, sizeof buf, MSG_DONTWAIT);
      if (r == 0 || (r < 0 && errno != EAGAIN)) return true;
    }
    return false;
  }
  bool send(const Bytes& b) {
    size_t sent = 0;
    while (sent < b.size()) {
      long r = ::send(conn, b.data() + sent, b.size() - sent, MSG_NOSIGNAL);
      if (r <= 0) return false;
      sent += size_t(r);
    }
    return true;
  }
};

// ---- Fixture: the LAN link's process-wide state, a pool and a bound host ----

class LanTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plugin::store_callback(lan1_callback);
    plugin::store_callback(lan2_callback);
  }
  void SetUp() override {
    usb::create_queues();
    g_plugin.pool = new tasks::Pool;
    g_plugin.lan_stop = 0;
    g_plugin.lan_streaming = 1;
    bind(plugin::kLan1, plugin::kLan2);
    set_geometry(kGeo24);
    control::g_stream.lan_pacing = 4;
    g_lan.device_ip = htonl(INADDR_LOOPBACK);
    g_lan.packets = 0;
    g_lan.lost = 0;
    g_lan.last_reply_tag = 0;
    usb::g_command_outcome = 0;
    take1();
    take2();
  }
  void TearDown() override {
    g_plugin.lan_stop = 1;
    lan::stop_task(g_plugin.udp_task, 2000, false, lan::kLinkUdp);
    lan::stop_task(g_plugin.tcp_task, 2000, false, lan::kLinkTcp);
    g_plugin.pool->release(2000);
    delete g_plugin.pool;
    g_plugin.pool = nullptr;
    g_lan.tcp_socket.close();
    g_lan.udp_socket.close();
    g_lan.tcp_port = lan::kTcpPort;
    g_lan.udp_port = lan::kUdpPort;
    usb::destroy_queues();
    g_plugin.lan_stop = 0;
  }
  static void bind(int32_t kind0, int32_t kind1) {
    plugin::g_slots[0].kind = kind0;
    plugin::g_slots[1].kind = kind1;
  }
  static void set_geometry(const LanGeometry& g) {
    control::g_stream.lan_geometry = control::pack_lan(g);
  }
  static void queue(const Bytes& entry) { usb::append(usb::lan_queue(), entry); }
};

// ---- Socket cell ----

TEST(SocketCell, LeasedSocketIsClosedOnlyByTheLastLeaseSoItsNumberIsNotReused) {
  lan::SocketCell cell;
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  lan::SocketCell::Token t = cell.install(fd);
  ASSERT_NE(t, 0u);
  lan::SocketCell::Lease l = cell.lease();
  ASSERT_TRUE(l);
  EXPECT_TRUE(cell.close());
  EXPECT_EQ(cell.load(), lan::kNoSocket);  // out of the cell at once
  EXPECT_FALSE(cell.lease());
  // Still pinned: a new socket cannot get the same number while the lease is held.
  int other = ::socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_NE(other, fd);
  EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  l.release();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed by the last lease
  ::close(other);
}

TEST(SocketCell, OwnersActOnlyOnTheSocketTheyPut) {
  lan::SocketCell cell;
  lan::SocketCell::Token first = cell.install(::socket(AF_INET, SOCK_DGRAM, 0));
  lan::SocketCell::Token second = cell.install(::socket(AF_INET, SOCK_DGRAM, 0));
  EXPECT_NE(first, second);
  EXPECT_FALSE(cell.lease_if(first));      // the first was displaced (and closed)
  EXPECT_FALSE(cell.close_if(first));      // a stale owner closes nothing
  EXPECT_NE(cell.load(), lan::kNoSocket);  // the second is still there
  EXPECT_TRUE(cell.close_if(second));
  EXPECT_FALSE(cell.close());
}

TEST(SocketCell, ThreadsClosingAndUsingNeverReachAnotherSocket) {
  // Two threads use the cell's socket while a third closes and reopens it; every call must land
  // on a socket the cell held: a datagram socket bound to a port we recognise.
  lan::SocketCell cell;
  std::atomic<bool> stop{false};
  std::atomic<int> foreign{0};
  auto user = [&] {
    while (!stop) {
      if (lan::SocketCell::Lease l = cell.lease()) {
        int type = 0;
        socklen_t len = sizeof type;
        if (::getsockopt(int(l.get()), SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_DGRAM)
          ++foreign;
      }
    }
  };
  std::thread a(user), b(user);
  for (int i = 0; i < 2000; ++i) {
    cell.install(::socket(AF_INET, SOCK_DGRAM, 0));
    cell.close();
    // Stream sockets made meanwhile take freed numbers; none may be seen through the cell.
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    ::close(s);
  }
  stop = true;
  a.join();
  b.join();
  EXPECT_EQ(foreign.load(), 0);
}

// ---- Frame service ----

class FrameServiceTest : public LanTest {
 protected:
  void SetUp() override {
    LanTest::SetUp();
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    receiver_ = sv[1];
    plugin_end_ = sv[0];
    connect_plugin_end();
    service_.reset();
  }
  void TearDown() override {
    ::close(receiver_);
    LanTest::TearDown();
  }
  void connect_plugin_end() { g_lan.tcp_socket.install(plugin_end_); }
  // One frame through the service.
  void frame(uint32_t number, uint32_t tag = 0, const std::vector<Record>& batch = {}) {
    uint8_t t[200] = {};
    write_trailer(t, number, tag, batch);
    service_.service(t, sizeof t);
  }
  // What reached the receiver since the last call, split into messages of `size` bytes.
  std::vector<Bytes> sent(size_t size) {
    std::vector<Bytes> out;
    uint8_t buf[4096];
    long n;
    Bytes all;
    while ((n = ::recv(receiver_, buf, sizeof buf, MSG_DONTWAIT)) > 0)
      all.insert(all.end(), buf, buf + n);
    for (size_t i = 0; i + size <= all.size(); i += size)
      out.emplace_back(all.begin() + i, all.begin() + i + size);
    return out;
  }

  lan::FrameService service_;
  int receiver_ = -1, plugin_end_ = -1;
};

TEST_F(FrameServiceTest, FrameNumberBreaksCountOneLossEachOnceCounting) {
  for (uint32_t n = 0; n <= 9; ++n) frame(n);
  EXPECT_EQ(g_lan.lost.load(), 0u);
  EXPECT_EQ(g_lan.packets.load(), 10u);
  frame(12);  // 10 and 11 missing: one loss, whatever the gap
  EXPECT_EQ(g_lan.lost.load(), 1u);
  EXPECT_EQ(g_lan.packets.load(), 13u);
  // After a reset, jumps while the counter is below 6 count nothing.
  g_lan.packets = 0;
  frame(0);
  frame(3);
  frame(5);
  EXPECT_EQ(g_lan.lost.load(), 1u);
  frame(6);
  frame(7);
  frame(9);  // counting again
  EXPECT_EQ(g_lan.lost.load(), 2u);
}

TEST_F(FrameServiceTest, ReplyBatchIsTakenOnceUnderANewNonzeroTag) {
  usb::g_status.device_status = 0;
  frame(0, 0, {{0x000019F1, 0}});  // tag 0: none
  EXPECT_EQ(usb::g_status.device_status.load(), 0u);
  frame(1, 7, {{0x000019F1, 0}});
  EXPECT_EQ(usb::g_status.device_status.load(), 0x19F1u);
  frame(2, 7, {{0x00002AF1, 0}});  // the same tag again: not parsed
  EXPECT_EQ(usb::g_status.device_status.load(), 0x19F1u);
  frame(3, 8, {{0x00002AF1, 0}});
  EXPECT_EQ(usb::g_status.device_status.load(), 0x2AF1u);
}

TEST_F(FrameServiceTest, UnansweredCommandGoesAtFrames1_10_19AndIsDroppedAt28) {
  queue({0xF5, 0x01, 0x05, 0x00, 0});
  std::vector<std::pair<uint32_t, Bytes>> sends;  // frame, message
  for (uint32_t n = 1; n <= 30; ++n) {
    frame(n);
    for (auto& m : sent(9)) sends.push_back({n, m});
    if (n == 27) {
      EXPECT_EQ(usb::queue_length(usb::lan_queue()), 1u);
    }
    if (n == 28) {
      EXPECT_EQ(usb::queue_length(usb::lan_queue()), 0u);
    }
  }
  ASSERT_EQ(sends.size(), 3u);
  uint32_t frames[] = {1, 10, 19};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(sends[i].first, frames[i]);
    const Bytes& m = sends[i].second;
    EXPECT_EQ(Bytes(m.begin() + 4, m.end()), (Bytes{0xF5, 0x01, 0x05, 0x00, uint8_t(i)}));
    if (i > 0) {
      EXPECT_NE(get32(m.data()), get32(sends[i - 1].second.data()));  // a new sequence each time
    }
  }
  EXPECT_EQ(usb::g_command_outcome.load(), 2);
}

TEST_F(FrameServiceTest, AcknowledgementInTheNextFrameSendsTheNextEntryAtOnce) {
  queue({0xF2, 0x96, 0x00, 0});
  queue({0xF5, 0x02, 0x07, 0x00, 0});
  frame(1);
  auto first = sent(8);
  ASSERT_EQ(first.size(), 1u);
  uint32_t seq = get32(first[0].data());
  // An older sequence acknowledges nothing.
  frame(2, 1, {{0x00009600 | 0xF2, seq - 1}});
  EXPECT_TRUE(sent(8).empty());
  frame(3, 2, {{0x000096F2, seq}});
  auto second = sent(9);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0][4], 0xF5);
  EXPECT_EQ(second[0][8], 0);  // first transmission
  EXPECT_EQ(usb::queue_length(usb::lan_queue()), 1u);
  EXPECT_EQ(usb::g_status.clock_echo.load(), 0x96u);
}

TEST_F(FrameServiceTest, DirectMessageBetweenSendAndAcknowledgementDoesNotHideIt) {
  queue({0xF2, 0x96, 0x00, 0});
  frame(1);
  auto first = sent(8);
  ASSERT_EQ(first.size(), 1u);
  usb::next_sequence();  // a stop or identify message goes out meanwhile
  frame(2, 1, {{0x000096F2, get32(first[0].data())}});
  EXPECT_EQ(usb::queue_length(usb::lan_queue()), 0u);
}

TEST_F(FrameServiceTest, FailedSendClosesTheConnectionAndIsRetriedOnTheNextOneAfterTheWait) {
  // No connection when the command's turn comes: the send fails.
  g_lan.tcp_socket.close();
  queue({0xF2, 0x78, 0x00, 0});
  frame(1);
  EXPECT_NE(service_.status(), 0);
  EXPECT_EQ(usb::queue_length(usb::lan_queue()), 1u);
  // A connection is back; the failure has waited as long as an unanswered command (8 frames at
  // pacing 4), then the command goes out again.
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  ::close(receiver_);
  receiver_ = sv[1];
  g_lan.tcp_socket.install(sv[0]);
  for (uint32_t n = 2; n <= 9; ++n) frame(n);
  EXPECT_TRUE(sent(8).empty());
  frame(10);
  auto m = sent(8);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(Bytes(m[0].begin() + 4, m[0].end()), (Bytes{0xF2, 0x78, 0x00, 1}));
}

TEST_F(FrameServiceTest, SendErrorTakesTheSocketOutOfTheCell) {
  ::close(receiver_);  // the peer is gone: the send fails with an error
  receiver_ = -1;
  queue({0xF2, 0x78, 0x00, 0});
  frame(1);
  EXPECT_NE(service_.status(), 0);
  EXPECT_NE(service_.status(), net::kPending);
  EXPECT_EQ(g_lan.tcp_socket.load(), lan::kNoSocket);
}

// A listener whose accept queue is full: a connect to it stays under way (its handshake is not
// answered) until the queue has room again and the client tries once more, about a second on.
struct FullListener {
  int listener = -1;
  uint16_t port = 0;
  std::vector<int> fillers;

  FullListener() {
    listener = loopback_socket(SOCK_STREAM, &port);
    ::listen(listener, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 8; ++i) {
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      fillers.push_back(c);
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      pollfd p{c, POLLOUT, 0};
      if (::poll(&p, 1, 200) == 0) break;  // this one waits: the queue is full
    }
  }
  ~FullListener() {
    make_room();
    ::close(listener);
  }
  bool full() const { return fillers.size() >= 2; }
  // The fillers go: the connect still waiting gets through on its next try.
  void make_room() {
    for (int c : fillers) ::close(c);
    fillers.clear();
    while (readable(listener, 0)) ::close(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  }
};

TEST_F(FrameServiceTest, ConnectionStillConnectingIsLeftAloneUntilItIsUp) {
  FullListener peer;
  ASSERT_TRUE(peer.full());
  net::Socket s = net::open_tcp();
  ASSERT_EQ(net::connect_start(s, {htonl(INADDR_LOOPBACK), peer.port}), net::kPending);
  lan::SocketCell::Token token = g_lan.tcp_socket.install(s);
  ASSERT_NE(token, 0u);
  queue({0xF2, 0x78, 0x00, 0});
  for (uint32_t n = 1; n <= 20; ++n) frame(n);
  // Nothing was sent on it, nothing was spent of the command, and the connect goes on.
  EXPECT_EQ(service_.status(), 0);
  EXPECT_TRUE(g_lan.tcp_socket.holds(token));
  {
    usb::CommandQueue& q = usb::lan_queue();
    std::lock_guard<std::mutex> guard(q.lock);
    ASSERT_EQ(q.entries.size(), 1u);
    EXPECT_FALSE(q.in_flight);
    EXPECT_EQ(q.entries.front().back(), 0);
  }
  // Once it is up, the command goes out on it as its first transmission.
  peer.make_room();
  int result = net::kPending;
  for (int i = 0; i < 200 && result == net::kPending; ++i) {
    lan::SocketCell::Lease l = g_lan.tcp_socket.lease_if(token);
    ASSERT_TRUE(l);
    result = net::connect_wait(l.get(), 20);
  }
  ASSERT_EQ(result, 0);
  ASSERT_TRUE(readable(peer.listener, 1000));
  int conn = ::accept4(peer.listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(conn, 0);
  frame(21);
  uint8_t m[16] = {};
  EXPECT_TRUE(readable(conn, 1000));
  EXPECT_EQ(::recv(conn, m, sizeof m, MSG_DONTWAIT), 8);
  EXPECT_EQ(Bytes(m + 4, m + 8), (Bytes{0xF2, 0x78, 0x00, 0}));
  ::close(conn);
}

// ---- UDP stream task ----

class UdpTaskTest : public LanTest {
 protected:
  void SetUp() override {
    LanTest::SetUp();
    g_lan.udp_port = peer_.port;
  }
  // Start the task and take its start message.
  void start() {
    lan::start_udp_task();
    auto m = peer_.receive(2000);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->size(), 7u);
    EXPECT_EQ((*m)[4], 0x15);
    EXPECT_EQ((*m)[5], 0);  // link: UDP stream
    start_code_ = (*m)[6];
  }
  UdpPeer peer_;
  uint8_t start_code_ = 0;
};

TEST_F(UdpTaskTest, FramesInOrderGiveOneBlockEachWithEveryByte) {
  start();
  EXPECT_EQ(start_code_, 0x0B);
  std::vector<Bytes> frames;
  for (uint32_t n = 0; n < 3; ++n) {
    frames.push_back(make_frame(kGeo24, n));
    peer_.send_frame(kGeo24, frames.back());
  }
  ASSERT_TRUE(eventually([] { return delivered1() == 3; }));
  auto got = take1();
  for (uint32_t n = 0; n < 3; ++n)
    EXPECT_TRUE(got[n].block == expected_blocks(kGeo24, frames[n]).first) << n;
  EXPECT_EQ(got[2].packets, 2u);  // frames 0 and 1 counted before frame 2's block
  EXPECT_EQ(got[2].lost, 0u);
}

TEST_F(UdpTaskTest, MissingDatagramInsideAFrameIsDeliveredWithoutACount) {
  start();
  Bytes first = make_frame(kGeo24, 0);
  peer_.send_frame(kGeo24, first);
  Bytes second = make_frame(kGeo24, 1);
  peer_.send_frame(kGeo24, second, {5});
  ASSERT_TRUE(eventually([] { return delivered1() == 2; }));
  auto got = take1();
  // Datagram 5's part still holds the first frame's bytes.
  Bytes want = expected_blocks(kGeo24, second).first;
  std::memcpy(want.data() + 5 * kPacket, first.data() + 5 * kPacket, kPacket);
  EXPECT_TRUE(got[1].block == want);
  EXPECT_EQ(got[1].lost, 0u);
}

TEST_F(UdpTaskTest, MissingLastDatagramLosesTheFrameAndCountsOneAtTheNext) {
  start();
  peer_.send_frame(kGeo24, make_frame(kGeo24, 0));
  peer_.send_frame(kGeo24, make_frame(kGeo24, 1), {538});
  Bytes third = make_frame(kGeo24, 2);
  peer_.send_frame(kGeo24, third);
  ASSERT_TRUE(eventually([] { return delivered1() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto got = take1();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[1].block == expected_blocks(kGeo24, third).first);
  EXPECT_EQ(got[1].lost, 1u);
}

TEST_F(UdpTaskTest, WrongSizesAndIndicesAreCountedAndNotStored) {
  start();
  Bytes f = make_frame(kGeo24, 0);
  for (uint32_t i = 0; i < 10; ++i)
    peer_.send(UdpPeer::datagram(uint16_t(i), f.data() + i * kPacket));
  Bytes garbage(1458, 0xEE);
  peer_.send(Bytes(garbage.begin(), garbage.begin() + 1400));  // short
  garbage[0] = 539 & 0xFF;                                     // index N
  garbage[1] = 539 >> 8;
  peer_.send(garbage);
  for (uint32_t i = 10; i < 539; ++i) {
    peer_.send(UdpPeer::datagram(uint16_t(i), f.data() + i * kPacket));
    if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  ASSERT_TRUE(eventually([] { return delivered1() == 1; }));
  auto got = take1();
  EXPECT_TRUE(got[0].block == expected_blocks(kGeo24, f).first);
  EXPECT_EQ(got[0].lost, 2u);
}

TEST_F(UdpTaskTest, SixteenBitFramesAreWidenedAndDualFramesSplit) {
  set_geometry(kGeo16);
  start();
  EXPECT_EQ(start_code_, 0x07);
  Bytes single = make_frame(kGeo16, 0);
  peer_.send_frame(kGeo16, single);
  // One stream: LAN2's slot gets the same block.
  ASSERT_TRUE(eventually([] { return delivered1() == 1 && delivered2() == 1; }));
  EXPECT_TRUE(take1()[0].block == expected_blocks(kGeo16, single).first);
  take2();

  // The geometry changes only with the task stopped.
  g_plugin.lan_stop = 1;
  lan::stop_task(g_plugin.udp_task, 2000, false, lan::kLinkUdp);
  g_plugin.lan_stop = 0;
  set_geometry(kGeoDual);
  start();
  EXPECT_EQ(start_code_, 0x0F);
  Bytes dual = make_frame(kGeoDual, 0);
  peer_.send_frame(kGeoDual, dual);
  ASSERT_TRUE(eventually([] { return delivered1() == 1 && delivered2() == 1; }));
  auto want = expected_blocks(kGeoDual, dual);
  EXPECT_TRUE(take1()[0].block == want.first);
  auto b = take2();
  ASSERT_EQ(b.size(), 1u);
  EXPECT_TRUE(b[0].block == want.second);
}

TEST_F(UdpTaskTest, GeometryChangingUnderTheTaskNeverWritesPastTheBlocks) {
  // Only a task given up by its stopper can see this; every datagram is still placed by the
  // geometry of that moment, inside the host blocks.
  start();
  Bytes dual = make_frame(kGeoDual, 0);
  for (uint32_t i = 0; i < kGeoDual.packets; ++i) {
    if (i == 300) set_geometry(kGeoDual);
    if (i == 500) set_geometry(kGeo16);
    peer_.send(UdpPeer::datagram(uint16_t(i), dual.data() + i * kPacket));
    if (i % 64 == 63) std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  set_geometry(kGeo24);
  peer_.send_frame(kGeo24, make_frame(kGeo24, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(g_plugin.udp_task.running());  // and, under AddressSanitizer, nothing overran
}

TEST_F(UdpTaskTest, NoBlocksWhileTheHostHasNotStartedButFramesAreServiced) {
  g_plugin.lan_streaming = 0;
  start();
  peer_.send_frame(kGeo24, make_frame(kGeo24, 0));
  peer_.send_frame(kGeo24, make_frame(kGeo24, 1));
  ASSERT_TRUE(eventually([] { return g_lan.packets.load() == 2; }));
  EXPECT_EQ(delivered1(), 0u);
}

TEST_F(UdpTaskTest, SilenceRestartsTheSocketWithANewStartMessage) {
  start();
  sockaddr_in before = peer_.client;
  peer_.send_frame(kGeo24, make_frame(kGeo24, 0));
  ASSERT_TRUE(eventually([] { return delivered1() == 1; }));
  auto quiet = std::chrono::steady_clock::now();
  auto m = peer_.receive(2000);
  ASSERT_TRUE(m);
  auto after = std::chrono::steady_clock::now() - quiet;
  EXPECT_EQ((*m)[4], 0x15);
  // About 200 ms of silence, then a 250 ms pause, then a new socket.
  EXPECT_GE(after, std::chrono::milliseconds(400));
  EXPECT_LT(after, std::chrono::milliseconds(1500));
  EXPECT_NE(peer_.client.sin_port, before.sin_port);
  peer_.send_frame(kGeo24, make_frame(kGeo24, 1));
  EXPECT_TRUE(eventually([] { return delivered1() == 2; }));
}

TEST_F(UdpTaskTest, ClosedSocketIsReopenedAndTheStreamStartedAgain) {
  start();
  peer_.send_frame(kGeo24, make_frame(kGeo24, 0));
  ASSERT_TRUE(eventually([] { return delivered1() == 1; }));
  // As the reply-record parser does on a stream set-up answer 0xB4 with nonzero byte 1.
  usb::parse_replies(std::vector<usb::ReplyRecord>{{0x000101B4, 0}}.data(), 1, usb::Link::kLan);
  auto m = peer_.receive(2000);
  ASSERT_TRUE(m);
  EXPECT_EQ((*m)[4], 0x15);
}

TEST_F(UdpTaskTest, StopRequestEndsTheTaskWithAStopMessageOnTheTcpConnection) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  g_lan.tcp_socket.install(sv[0]);
  start();
  auto asked = std::chrono::steady_clock::now();
  g_plugin.lan_stop = 1;
  EXPECT_TRUE(g_plugin.udp_task.wait(1000));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(100));
  uint8_t msg[16];
  ASSERT_TRUE(readable(sv[1], 500));
  ASSERT_EQ(::recv(sv[1], msg, sizeof msg, MSG_DONTWAIT), 7);
  EXPECT_EQ(msg[4], 0x16);
  EXPECT_EQ(msg[5], 0);
  EXPECT_EQ(g_lan.udp_socket.load(), lan::kNoSocket);
  ::close(sv[1]);
}

// Whatever arrives on the stream port, the task keeps its memory and its stream: random
// datagrams of every size and index, and frames whose trailers carry random reply batches.
TEST_F(UdpTaskTest, HostileDatagramsAndTrailersNeverBreakTheStream) {
  start();
  std::mt19937 rng(55558);
  auto byte = [&] { return uint8_t(rng()); };
  const size_t sizes[] = {0, 1, 2, 3, 100, 1400, 1457, 1458, 1459, 2000};
  for (int i = 0; i < 3000; ++i) {
    Bytes d(sizes[rng() % std::size(sizes)]);
    for (auto& b : d) b = byte();
    // Half the time an index the frame could have, so the bytes are stored.
    if (d.size() >= 2 && rng() % 2) {
      uint16_t index = uint16_t(rng() % 539);
      d[0] = uint8_t(index);
      d[1] = uint8_t(index >> 8);
    }
    peer_.send(d);
    if (i % 64 == 63) std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  for (uint32_t n = 0; n < 20; ++n) {
    std::vector<Record> batch(rng() % 12);
    for (auto& r : batch) r = {uint32_t(rng()), uint32_t(rng())};
    Bytes f = make_frame(kGeo24, n, true, uint32_t(rng()), batch);
    if (n % 5 == 4) put32(f.data() + kGeo24.sample_bytes + 20, uint32_t(rng()));  // any count
    peer_.send_frame(kGeo24, f);
  }
  // Whatever the replies asked for (a restart of the socket included), a good frame still
  // reaches the host whole.
  Bytes good = make_frame(kGeo24, 100);
  bool seen = false;
  for (int attempt = 0; attempt < 20 && !seen; ++attempt) {
    while (peer_.receive(20)) {
    }  // a new start message moves the stream to the new socket
    take1();
    peer_.send_frame(kGeo24, good);
    eventually([] { return delivered1() > 0; }, 300);
    for (const Delivery& d : take1()) seen = seen || d.block == expected_blocks(kGeo24, good).first;
  }
  EXPECT_TRUE(seen);
}

// ---- TCP receive task ----

class TcpTaskTest : public LanTest {
 protected:
  void SetUp() override {
    LanTest::SetUp();
    g_lan.tcp_port = peer_.port;
  }
  // The task connects and starts the stream.
  void expect_connect_and_start(uint8_t size_code) {
    ASSERT_TRUE(peer_.accept(3000));
    auto m = peer_.receive(7, 2000);
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[4], 0x15);
    EXPECT_EQ((*m)[5], 1);  // link: TCP stream
    EXPECT_EQ((*m)[6], size_code);
  }
  TcpPeer peer_;
};

TEST_F(TcpTaskTest, ConnectsStartsTheStreamAndDeliversTheFramesThemselves) {
  std::vector<Bytes> frames;
  for (uint32_t n = 0; n < 10; ++n) frames.push_back(make_frame(kGeo24, n));
  lan::start_tcp_receive_task();
  expect_connect_and_start(0x0B);
  for (const Bytes& f : frames) ASSERT_TRUE(peer_.send(f));
  ASSERT_TRUE(eventually([] { return delivered1() == 10; }));
  auto got = take1();
  std::set<const void*> buffers;
  for (uint32_t n = 0; n < 10; ++n) {
    EXPECT_TRUE(got[n].block == expected_blocks(kGeo24, frames[n]).first) << n;
    buffers.insert(got[n].data);
  }
  EXPECT_EQ(buffers.size(), 8u);  // 24-bit: the ring slots themselves
  EXPECT_EQ(got[9].packets, 9u);
  EXPECT_EQ(got[9].lost, 0u);
}

TEST_F(TcpTaskTest, TenBadFramesInARowForceAReconnect) {
  // Made beforehand: the budget also counts the waiting between frames.
  Bytes bad = make_frame(kGeo24, 0, false);
  Bytes good = make_frame(kGeo24, 9);
  lan::start_tcp_receive_task();
  expect_connect_and_start(0x0B);
  // Fewer bad frames than ten, then a good one: the budget starts again.
  for (uint32_t n = 0; n < 5; ++n) ASSERT_TRUE(peer_.send(bad));
  ASSERT_TRUE(peer_.send(good));
  ASSERT_TRUE(eventually([] { return delivered1() == 1; }));
  EXPECT_EQ(take1()[0].lost, 5u);
  EXPECT_EQ(peer_.accepted, 1);
  for (uint32_t n = 10; n < 20; ++n) ASSERT_TRUE(peer_.send(bad));
  EXPECT_TRUE(peer_.closed_by_peer(2000));
  expect_connect_and_start(0x0B);
  EXPECT_EQ(peer_.accepted, 2);
  // The counters start again with the connection (just after the start message).
  EXPECT_TRUE(eventually([] { return g_lan.lost.load() == 0; }));
  ASSERT_TRUE(peer_.send(good));
  EXPECT_TRUE(eventually([] { return delivered1() == 1; }));
}

TEST_F(TcpTaskTest, FrameNotCompletedWithinAbout200MsClosesTheConnection) {
  // Made beforehand: the task's budget runs from its first wait, not from our first byte, and
  // making a frame takes tens of milliseconds under a sanitizer.
  Bytes f = make_frame(kGeo24, 0);
  Bytes part(f.begin(), f.begin() + 1000);
  lan::start_tcp_receive_task();
  expect_connect_and_start(0x0B);
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(peer_.send(part));
  EXPECT_TRUE(peer_.closed_by_peer(2000));
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(150));
  EXPECT_LT(took, std::chrono::milliseconds(800));
  expect_connect_and_start(0x0B);
}

TEST_F(TcpTaskTest, SixteenBitDualFramesAlternateBetweenTwoBlocksPerStream) {
  set_geometry(kGeoDual);
  std::vector<Bytes> frames;
  for (uint32_t n = 0; n < 4; ++n) frames.push_back(make_frame(kGeoDual, n));
  lan::start_tcp_receive_task();
  expect_connect_and_start(0x0F);
  for (const Bytes& f : frames) ASSERT_TRUE(peer_.send(f));
  ASSERT_TRUE(eventually([] { return delivered1() == 4 && delivered2() == 4; }));
  auto a = take1();
  auto b = take2();
  ASSERT_EQ(b.size(), 4u);
  for (uint32_t n = 0; n < 4; ++n) {
    auto want = expected_blocks(kGeoDual, frames[n]);
    EXPECT_TRUE(a[n].block == want.first) << n;
    EXPECT_TRUE(b[n].block == want.second) << n;
  }
  EXPECT_NE(b[0].data, b[1].data);
  EXPECT_EQ(b[0].data, b[2].data);
  EXPECT_EQ(b[1].data, b[3].data);
  EXPECT_NE(a[0].data, a[1].data);
  EXPECT_EQ(a[0].data, a[2].data);
}

TEST_F(TcpTaskTest, QueuedCommandsTravelOnTheStreamsConnectionPacedByItsFrames) {
  // Frames made beforehand: about 200 ms without one drops the connection.
  Bytes first = make_frame(kGeo24, 0);
  Bytes second = make_frame(kGeo24, 1);
  queue({0xF5, 0x01, 0x09, 0x00, 0});
  lan::start_tcp_receive_task();
  expect_connect_and_start(0x0B);
  EXPECT_FALSE(peer_.receive(9, 50));  // nothing before a frame arrives
  ASSERT_TRUE(peer_.send(first));
  auto m = peer_.receive(9, 2000);
  ASSERT_TRUE(m);
  EXPECT_EQ(Bytes(m->begin() + 4, m->end()), (Bytes{0xF5, 0x01, 0x09, 0x00, 0}));
  write_trailer(second.data() + kGeo24.sample_bytes, 1, 1, {{0x000901F5, get32(m->data())}}, true);
  ASSERT_TRUE(peer_.send(second));
  EXPECT_TRUE(eventually([] { return usb::queue_length(usb::lan_queue()) == 0; }));
}

TEST_F(TcpTaskTest, StopRequestEndsTheTaskWithAStopMessageAndLeavesTheConnectionOpen) {
  Bytes f = make_frame(kGeo24, 0);
  lan::start_tcp_receive_task();
  expect_connect_and_start(0x0B);
  ASSERT_TRUE(peer_.send(f));
  ASSERT_TRUE(eventually([] { return delivered1() == 1; }));
  g_plugin.lan_stop = 1;
  EXPECT_TRUE(g_plugin.tcp_task.wait(1000));
  auto m = peer_.receive(7, 1000);
  ASSERT_TRUE(m);
  EXPECT_EQ((*m)[4], 0x16);
  EXPECT_EQ((*m)[5], 1);
  EXPECT_NE(g_lan.tcp_socket.load(), lan::kNoSocket);
  EXPECT_FALSE(peer_.closed_by_peer(100));
}

TEST_F(TcpTaskTest, UnreachableReceiverIsRetriedAboutOnceASecondAndStopsPromptly) {
  // Nobody listens on this port.
  uint16_t port = 0;
  int fd = loopback_socket(SOCK_STREAM, &port);
  ::close(fd);
  g_lan.tcp_port = port;
  lan::start_tcp_receive_task();
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  auto asked = std::chrono::steady_clock::now();
  g_plugin.lan_stop = 1;
  EXPECT_TRUE(g_plugin.tcp_task.wait(1500));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1100));
  EXPECT_EQ(g_lan.tcp_socket.load(), lan::kNoSocket);
}

TEST_F(TcpTaskTest, TaskGivenUpByItsStopperLeavesWithoutTouchingTheLink) {
  g_plugin.lan_streaming = 0;
  Bytes f = make_frame(kGeo24, 0);
  lan::start_tcp_receive_task();
  expect_connect_and_start(0x0B);
  // A stopper that does not wait gives the task up; the task must not send its stop message
  // or touch the counters of whatever runs next.
  tasks::Task old = g_plugin.tcp_task;
  lan::stop_task(g_plugin.tcp_task, 0, false, lan::kLinkTcp);
  EXPECT_TRUE(old.wait(1000));
  g_lan.packets = 1234;
  ASSERT_TRUE(peer_.send(f));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(g_lan.packets.load(), 1234u);
  EXPECT_FALSE(peer_.receive(7, 100));  // no stop message
}

// Frames of the right size with random samples, markers and reply batches: the task counts,
// reconnects or restarts as the bytes say, and never loses its memory or its stream.
TEST_F(TcpTaskTest, HostileFramesNeverBreakTheStream) {
  lan::start_tcp_receive_task();
  expect_connect_and_start(0x0B);
  std::mt19937 rng(55557);
  for (uint32_t n = 0; n < 40; ++n) {
    std::vector<Record> batch(rng() % 12);
    for (auto& r : batch) r = {uint32_t(rng()), uint32_t(rng())};
    Bytes f = make_frame(kGeo24, uint32_t(rng()), rng() % 4 != 0, uint32_t(rng()), batch);
    if (n % 5 == 4) put32(f.data() + kGeo24.sample_bytes + 20, uint32_t(rng()));
    for (uint32_t i = 0; i < kGeo24.sample_bytes; i += 97) f[i] = uint8_t(rng());
    if (!peer_.send(f) && !(peer_.accept(2000) && peer_.receive(7, 2000))) break;
  }
  // The frames were read: the good-marker ones delivered, the others counted.
  EXPECT_TRUE(eventually([] { return delivered1() + g_lan.lost.load() >= 20; }));
  Bytes good = make_frame(kGeo24, 1000);
  bool seen = false;
  for (int attempt = 0; attempt < 20 && !seen; ++attempt) {
    // The task may have dropped the connection on what it read: take its new one.
    if (readable(peer_.listener, 0)) {
      ASSERT_TRUE(peer_.accept(1000));
      peer_.receive(7, 2000);
    }
    take1();
    peer_.send(good);
    eventually([] { return delivered1() > 0; }, 300);
    for (const Delivery& d : take1()) seen = seen || d.block == expected_blocks(kGeo24, good).first;
  }
  EXPECT_TRUE(seen);
}

}  // namespace
