#include "lan_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "lan_socket.h"
#include "receiver.h"
#include "samples.h"
#include "usb_device.h"

namespace kmvsim {
namespace {

using lan::kNoSock;

constexpr uint32_t kPacketBytes = 1456;  // frame bytes carried by one datagram
constexpr uint32_t kIndexBytes = 2;      // datagram header: packet index
constexpr uint32_t kShortDatagram = 1400;
constexpr uint32_t kFrameSamples = 130560;  // complex samples per stream in every frame
constexpr uint32_t kMarker1 = 0x12345678;
constexpr uint32_t kMarker2 = 0x9ABCDEF0;
constexpr uint32_t kWrongMarker1 = 0x12345679;
constexpr uint32_t kMaxBatch = 10;          // records per trailer, as the host accepts
constexpr size_t kMaxPendingRecords = 256;  // replies beyond this are lost, as on USB
constexpr size_t kMaxConnections = 8;       // the oldest idle one makes room for a newer
constexpr int kPollMaxMs = 20;              // longest wait between two looks at a stop
constexpr int64_t kStatusIntervalNs = 1000000000;
constexpr size_t kHeaderBytes = 4;  // sequence in front of every message
constexpr size_t kIdentifyReplyBytes = 12;
constexpr size_t kInputBuffer = 4096;  // per connection; the longest message is 263
constexpr size_t kDatagramBuffer = 2048;
constexpr int kReadsPerRound = 16;  // per socket: a flood cannot starve the stream
constexpr int kAcceptsPerRound = 8;
constexpr uint32_t kDatagramBatch = 64;
// Frames the receiver holds when the link (or the simulator's own thread) falls behind: 100 ms
// of them, at least four. They go out back to back once it catches up; frames due beyond them
// are lost.
constexpr uint64_t kBacklogFrames = 4;
constexpr double kBacklogNs = 100e6;

struct Geometry {
  uint32_t packets;
  uint32_t sample_bytes;
  uint8_t size_code;
  bool bits16;
  bool dual;
  constexpr uint32_t frame_bytes() const { return packets * kPacketBytes; }
  constexpr uint32_t payloads() const { return sample_bytes / SignalGenerator::kPayloadBytes; }
};
constexpr Geometry kGeometry24{539, 783360, 0x0B, false, false};
constexpr Geometry kGeometry16{359, 522240, 0x07, true, false};
constexpr Geometry kGeometryDual{718, 1044480, 0x0F, true, true};
constexpr uint32_t kMaxFrameBytes = kGeometryDual.frame_bytes();
static_assert(kGeometry24.payloads() * 680 == kFrameSamples);
static_assert(kGeometry16.payloads() * 1020 == kFrameSamples);
static_assert(kGeometryDual.payloads() * 510 == kFrameSamples);

// The geometry a start message asks for; an unknown size code follows the stream set-up.
Geometry geometry(uint8_t size_code, const StreamFormat& f) {
  for (const Geometry& g : {kGeometry24, kGeometry16, kGeometryDual}) {
    if (g.size_code == size_code) return g;
  }
  return f.dual ? kGeometryDual : f.bits16 ? kGeometry16 : kGeometry24;
}

// Bytes after the sequence of a message with this code. The TCP byte stream has no other
// framing: LAN messages are never padded. 0 for codes the receiver does not know.
size_t message_bytes(uint8_t code) {
  switch (code) {
    case kCodeIdentify:
      return 2;
    case kCodeStart:
    case kCodeStop:
      return 3;
    case kCodeClock:
      return 4;
    case kCodeFrontEnd:
    case kCodeStreamSetup:
    case kCodeFirmwareControl:
      return 5;
    case kCodeRegister:
      return 7;
    case kCodeFirmwareData:
      return 259;
    default:
      return 0;
  }
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

int64_t now_ns() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

struct LanServer::Impl {
  explicit Impl(UsbDevice& d) : device(d) {}

  struct Connection {
    lan::Sock sock = kNoSock;
    uint64_t id = 0;
    bool dead = false;
    std::array<uint8_t, kInputBuffer> in{};
    size_t in_length = 0;
    std::vector<uint8_t> frame;  // the frame on its way; a stream that moves on lets it finish
    size_t frame_length = 0, frame_sent = 0;
    std::vector<uint8_t> after;  // short replies, behind the frame
    size_t after_sent = 0;
    bool busy() const { return frame_sent < frame_length || after_sent < after.size(); }
  };

  struct Stream {
    uint32_t kind = KMVSIM_LAN_STREAM_NONE;
    uint64_t connection = 0;   // TCP stream
    lan::Address destination;  // datagram stream
    Geometry geometry = kGeometry24;
    uint32_t frame_number = 0;
    double rate_hz = 0;
    double frames_per_ns = 0;
    int64_t base_ns = 0;
    uint64_t made = 0;   // frames begun or lost since base_ns
    bool paced = false;  // base_ns and made hold a real-time schedule
    // Datagram stream: the frame in udp_frame and how far it went.
    bool sending = false;
    uint32_t next_datagram = 0;
    uint32_t fault_kind = 0;
    uint32_t fault_index = 0;
  };

  // ---- serving thread ----
  void run();
  void round();
  void accept_connections();
  void read_connection(Connection& c);
  void read_datagrams();
  void handle(const uint8_t* message, size_t length, Connection* from, const lan::Address* sender);
  void identify(const uint8_t* message, const Receiver::Outcome& o, Connection* from,
                const lan::Address* sender);
  void start_stream(uint32_t kind, uint64_t connection, const lan::Address& destination,
                    uint8_t size_code);
  void stop_stream();
  void flush(Connection& c);
  void pump(int64_t now, int64_t& wake);
  bool begin_frame(int64_t now, int64_t& wake);
  void make_frame(uint8_t* frame, int64_t now);
  void send_datagrams(int64_t now, int64_t& wake);
  void queue_record(const ReplyRecord& r);
  void queue_status(uint32_t word, int64_t now);
  Connection* find(uint64_t id);
  void close_connection(Connection& c, bool reset);
  void sweep();
  void publish_stream();

  UsbDevice& device;

  // ---- control, any thread ----
  std::mutex lifecycle;  // start and stop
  std::thread thread;
  std::atomic<bool> stop_request{false};
  std::atomic<bool> running{false};
  std::atomic<bool> real_time{true};
  std::atomic<bool> silent{false};
  std::atomic<bool> answer_udp{true};
  std::atomic<bool> answer_tcp{true};
  std::atomic<bool> setup_restart{false};
  std::atomic<uint32_t> drop_requests{0};
  std::mutex faults;  // the counted faults below
  uint32_t fault_kind = 0, fault_index = 0, fault_frames = 0;
  uint32_t bad_marker_frames = 0;
  uint32_t skip_count = 0;
  uint32_t torn_frames = 0;

  // ---- published for state() ----
  std::atomic<uint32_t> bind_ip{0}, tcp_port{0}, udp_port{0};
  std::atomic<uint32_t> stream_kind{0}, size_code{0}, stream_rate{0}, next_frame{0}, last_tag{0};
  std::atomic<uint32_t> destination_ip{0}, destination_port{0}, connection_count{0};
  std::atomic<uint64_t> accepted{0}, identify_udp{0}, identify_tcp{0}, starts{0}, stops{0},
      commands{0}, frames_sent{0}, frames_dropped{0}, datagrams_sent{0}, records_sent{0};

  // ---- serving thread only ----
  lan::Sock listener = kNoSock;
  lan::Sock udp = kNoSock;
  bool udp_blocked = false;
  std::vector<std::unique_ptr<Connection>> connections;
  uint64_t next_connection_id = 1;
  uint32_t drops_seen = 0;
  Stream stream;
  SignalGenerator generator;
  std::vector<uint8_t> udp_frame;
  std::deque<ReplyRecord> pending;
  ReplyRecord batch[kMaxBatch];
  uint32_t batch_count = 0;
  uint32_t tag = 0;  // the trailers' reply tag; never goes back, so a host never skips a batch
  bool status_due = true;
  uint32_t status_word = 0;
  uint32_t last_status = 0;
  int64_t next_status_ns = 0;
};

// ---- serving thread ------------------------------------------------------------------------

void LanServer::Impl::run() {
  while (!stop_request.load()) round();
  for (auto& c : connections) lan::close(c->sock);
  connections.clear();
  lan::close(listener);
  lan::close(udp);
  listener = udp = kNoSock;
  stream = Stream{};
  publish_stream();
  connection_count = 0;
}

void LanServer::Impl::round() {
  const uint32_t drops = drop_requests.load();
  if (drops != drops_seen) {
    drops_seen = drops;
    for (auto& c : connections) close_connection(*c, true);
    sweep();
  }
  int64_t now = now_ns();
  int64_t wake = now + int64_t(kPollMaxMs) * 1000000;
  if (!silent.load()) {
    for (auto& c : connections) {
      if (c->busy()) flush(*c);
    }
  }
  pump(now, wake);
  sweep();

  // Listener, datagram socket, then the connections in order.
  std::array<lan::PollItem, 2 + kMaxConnections> items{};
  items[0].sock = listener;
  items[1].sock = udp;
  items[1].want_write = udp_blocked;
  size_t count = 2;
  for (auto& c : connections) {
    items[count].sock = c->sock;
    items[count].want_write = c->busy() && !silent.load();
    ++count;
  }
  now = now_ns();
  const int64_t wait_ns = std::max<int64_t>(0, wake - now);
  const int timeout = int(std::min<int64_t>((wait_ns + 999999) / 1000000, kPollMaxMs));
  if (!lan::poll(items.data(), count, timeout)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
    return;
  }
  // Connections first: accepting may close one to make room.
  for (size_t i = 2; i < count; ++i) {
    Connection& c = *connections[i - 2];
    if (items[i].readable && !c.dead) read_connection(c);
  }
  if (items[1].readable) read_datagrams();
  if (items[1].writable) udp_blocked = false;
  sweep();
  if (items[0].readable) accept_connections();
}

void LanServer::Impl::accept_connections() {
  for (int i = 0; i < kAcceptsPerRound; ++i) {
    const lan::Sock s = lan::accept_one(listener);
    if (s == kNoSock) return;
    ++accepted;
    if (!answer_tcp.load()) {
      lan::close(s, true);
      continue;
    }
    if (connections.size() >= kMaxConnections) {
      for (auto& c : connections) {
        if (!c->dead && !(stream.kind == KMVSIM_LAN_STREAM_TCP && stream.connection == c->id)) {
          close_connection(*c, true);
          break;
        }
      }
      sweep();
      if (connections.size() >= kMaxConnections) {
        lan::close(s, true);
        continue;
      }
    }
    auto c = std::make_unique<Connection>();
    c->sock = s;
    c->id = next_connection_id++;
    connections.push_back(std::move(c));
    connection_count = uint32_t(connections.size());
  }
}

void LanServer::Impl::read_connection(Connection& c) {
  for (int i = 0; i < kReadsPerRound && !c.dead; ++i) {
    const long n = lan::recv_some(c.sock, c.in.data() + c.in_length, c.in.size() - c.in_length);
    if (n == lan::kWouldBlock) return;
    if (n <= 0) {
      close_connection(c, false);
      return;
    }
    c.in_length += size_t(n);
    size_t pos = 0;
    while (c.in_length - pos > kHeaderBytes) {
      const size_t need = message_bytes(c.in[pos + kHeaderBytes]);
      if (need == 0) {
        // Nothing tells where an unknown message ends: take the rest as one.
        handle(c.in.data() + pos, c.in_length - pos, &c, nullptr);
        pos = c.in_length;
        break;
      }
      if (c.in_length - pos < kHeaderBytes + need) break;
      handle(c.in.data() + pos, kHeaderBytes + need, &c, nullptr);
      pos += kHeaderBytes + need;
    }
    std::memmove(c.in.data(), c.in.data() + pos, c.in_length - pos);
    c.in_length -= pos;
  }
}

void LanServer::Impl::read_datagrams() {
  uint8_t buffer[kDatagramBuffer];
  for (int i = 0; i < kReadsPerRound; ++i) {
    lan::Address sender;
    const long n = lan::recv_from(udp, buffer, sizeof buffer, &sender);
    if (n < 0) return;  // nothing more; errors from earlier sends land here too
    if (!answer_udp.load() || n <= long(kHeaderBytes)) continue;
    handle(buffer, size_t(n), nullptr, &sender);
  }
}

void LanServer::Impl::handle(const uint8_t* message, size_t length, Connection* from,
                             const lan::Address* sender) {
  ++commands;
  if (silent.load()) {
    device.link_message(message, length, true);
    return;
  }
  const Receiver::Outcome o = device.link_message(message, length, false);
  const uint8_t* cmd = message + kHeaderBytes;
  if (cmd[0] == kCodeIdentify) {
    identify(message, o, from, sender);
    return;
  }
  for (int i = 0; i < o.count; ++i) {
    ReplyRecord r = o.replies[i];
    if ((r.word & 0xFF) == kCodeStreamSetup && setup_restart.load()) r.word |= 1u << 8;
    queue_record(r);
  }
  if (!o.applied) return;
  const uint8_t link = cmd[1];
  if (o.event == Receiver::Event::StartLan) {
    // A TCP stream starts on the connection that asks for it, a datagram stream is sent to
    // whoever asked on the UDP port.
    if (from && link == kLinkTcp) {
      start_stream(KMVSIM_LAN_STREAM_TCP, from->id, {}, cmd[2]);
    } else if (sender && link == kLinkUdp) {
      start_stream(KMVSIM_LAN_STREAM_UDP, 0, *sender, cmd[2]);
    }
  } else if (o.event == Receiver::Event::StopLan) {
    const uint32_t kind = link == kLinkTcp ? KMVSIM_LAN_STREAM_TCP : KMVSIM_LAN_STREAM_UDP;
    if (stream.kind == kind) {
      stop_stream();
      ++stops;
    }
  }
}

// LAN identify reply: byte 4 echoes the code, byte 5 the serial, bytes 8-10 the firmware
// version; the sequence is echoed in bytes 0-3, which the host does not read.
void LanServer::Impl::identify(const uint8_t* message, const Receiver::Outcome& o, Connection* from,
                               const lan::Address* sender) {
  if (o.count == 0) return;  // withheld
  uint8_t reply[kIdentifyReplyBytes] = {};
  std::memcpy(reply, message, kHeaderBytes);
  reply[4] = kCodeIdentify;
  reply[5] = uint8_t(o.replies[0].word >> 8);
  const uint32_t version = o.replies[0].value;
  reply[8] = uint8_t(version);
  reply[9] = uint8_t(version >> 8);
  reply[10] = uint8_t(version >> 16);
  // Counted first: whoever gets the reply may look at the counters at once.
  if (sender) {
    ++identify_udp;
    const lan::Datagram d{reply, sizeof reply, nullptr, 0};
    lan::send_datagrams(udp, &d, 1, *sender);
  } else if (from) {
    ++identify_tcp;
    if (!from->busy()) {
      from->after.clear();
      from->after_sent = 0;
    }
    from->after.insert(from->after.end(), reply, reply + sizeof reply);
    flush(*from);
  }
}

void LanServer::Impl::start_stream(uint32_t kind, uint64_t connection,
                                   const lan::Address& destination, uint8_t code) {
  const UsbDevice::LinkView view = device.link_view();
  stream = Stream{};
  stream.kind = kind;
  stream.connection = connection;
  stream.destination = destination;
  stream.geometry = geometry(code, StreamFormat::decode(view.lan_format));
  generator.restart();
  status_due = true;
  ++starts;
  publish_stream();
}

void LanServer::Impl::stop_stream() {
  stream.kind = KMVSIM_LAN_STREAM_NONE;
  stream.sending = false;
  publish_stream();
}

void LanServer::Impl::publish_stream() {
  stream_kind = stream.kind;
  if (stream.kind == KMVSIM_LAN_STREAM_NONE) return;
  size_code = stream.geometry.size_code;
  next_frame = stream.frame_number;
  destination_ip = stream.destination.ip;
  destination_port = stream.destination.port;
}

void LanServer::Impl::flush(Connection& c) {
  auto push = [&](const uint8_t* data, size_t length, size_t& sent) {
    while (sent < length) {
      const long n = lan::send_some(c.sock, data + sent, length - sent);
      if (n == lan::kWouldBlock) return false;
      if (n <= 0) {
        close_connection(c, false);
        return false;
      }
      sent += size_t(n);
    }
    return true;
  };
  if (c.frame_sent < c.frame_length) {
    if (!push(c.frame.data(), c.frame_length, c.frame_sent)) return;
    ++frames_sent;
  }
  if (c.after_sent < c.after.size()) {
    if (!push(c.after.data(), c.after.size(), c.after_sent)) return;
    c.after.clear();
    c.after_sent = 0;
  }
}

void LanServer::Impl::pump(int64_t now, int64_t& wake) {
  if (stream.kind == KMVSIM_LAN_STREAM_NONE || silent.load()) return;
  bool busy;
  if (stream.kind == KMVSIM_LAN_STREAM_TCP) {
    Connection* c = find(stream.connection);
    if (!c) {
      stop_stream();
      return;
    }
    if (!c->busy() && begin_frame(now, wake)) {
      if (c->frame.size() < kMaxFrameBytes) c->frame.resize(kMaxFrameBytes);
      make_frame(c->frame.data(), now);
      c->frame_length = stream.geometry.frame_bytes();
      {
        std::lock_guard<std::mutex> lock(faults);
        if (torn_frames > 0) {
          --torn_frames;
          c->frame_length /= 2;
        }
      }
      c->frame_sent = 0;
      flush(*c);
    }
    busy = c->busy();  // then the socket's readiness wakes the loop
  } else {
    if (!stream.sending && begin_frame(now, wake)) {
      make_frame(udp_frame.data(), now);
      stream.sending = true;
      stream.next_datagram = 0;
    }
    if (stream.sending && !udp_blocked) send_datagrams(now, wake);
    busy = stream.sending;
  }
  if (busy) return;
  if (!real_time.load()) {
    wake = now;  // the next frame as soon as this one is out
  } else {
    wake = std::min(wake, stream.base_ns + int64_t(double(stream.made) / stream.frames_per_ns));
  }
}

// Whether the next frame is due. Frames further behind than the backlog are lost: their numbers
// and samples are skipped.
bool LanServer::Impl::begin_frame(int64_t now, int64_t& wake) {
  const UsbDevice::LinkView view = device.link_view();
  StreamFormat f = StreamFormat::decode(view.lan_format);
  f.bits16 = stream.geometry.bits16;
  f.dual = stream.geometry.dual;
  if (f.dual) f.channel = 0;
  SignalParams params = view.signal;
  params.format = f;
  params.rate_hz = view.clock_mhz * 1e6 / f.decimation;
  generator.set(params);
  status_word = view.status_word;
  const bool paced = real_time.load();
  if (params.rate_hz != stream.rate_hz || paced != stream.paced) {
    stream.paced = paced;
    stream.rate_hz = params.rate_hz;
    stream.frames_per_ns = params.rate_hz / kFrameSamples / 1e9;
    stream.base_ns = now;
    stream.made = 0;
    stream_rate = uint32_t(std::lround(params.rate_hz));
  }
  if (paced) {
    const uint64_t due = uint64_t(double(now - stream.base_ns) * stream.frames_per_ns) + 1;
    if (due <= stream.made) {
      wake = std::min(wake, stream.base_ns + int64_t(double(stream.made) / stream.frames_per_ns));
      return false;
    }
    const uint64_t behind = due - stream.made;
    const uint64_t backlog =
        std::max(kBacklogFrames, uint64_t(std::ceil(kBacklogNs * stream.frames_per_ns)));
    if (behind > backlog) {
      const uint64_t lost = behind - backlog;
      stream.frame_number += uint32_t(lost);
      generator.skip(lost * stream.geometry.payloads());
      stream.made += lost;
      frames_dropped += lost;
    }
  }
  return true;
}

void LanServer::Impl::make_frame(uint8_t* frame, int64_t now) {
  const Geometry& g = stream.geometry;
  uint32_t skip = 0;
  bool bad_marker = false;
  {
    std::lock_guard<std::mutex> lock(faults);
    std::swap(skip, skip_count);
    if (bad_marker_frames > 0) {
      --bad_marker_frames;
      bad_marker = true;
    }
    stream.fault_kind = 0;
    if (stream.kind == KMVSIM_LAN_STREAM_UDP && fault_frames > 0) {
      --fault_frames;
      stream.fault_kind = fault_kind;
      stream.fault_index = std::min(fault_index, g.packets - 1);
    }
  }
  if (skip > 0) {
    stream.frame_number += skip;
    generator.skip(uint64_t(skip) * g.payloads());
  }
  for (uint32_t i = 0; i < g.payloads(); ++i) {
    generator.fill(frame + size_t(i) * SignalGenerator::kPayloadBytes);
  }
  ++stream.made;

  if (status_due || status_word != last_status || now >= next_status_ns) {
    queue_status(status_word, now);
  }
  ReplyRecord late;  // answers the receiver gives some time after the command
  while (device.take_firmware_reply(late)) queue_record(late);
  if (!pending.empty()) {
    batch_count = uint32_t(std::min<size_t>(pending.size(), kMaxBatch));
    for (uint32_t i = 0; i < batch_count; ++i) {
      batch[i] = pending.front();
      pending.pop_front();
    }
    if (++tag == 0) tag = 1;  // 0 means no batch
    records_sent += batch_count;
    last_tag = tag;
  }

  // Trailer; the batch rides again in later frames under the same tag until a new one follows.
  uint8_t* t = frame + g.sample_bytes;
  std::memset(t, 0, g.frame_bytes() - g.sample_bytes);
  put32(t, stream.frame_number);
  put32(t + 8, bad_marker ? kWrongMarker1 : kMarker1);
  put32(t + 12, kMarker2);
  put32(t + 16, batch_count ? tag : 0);
  if (batch_count) {
    put32(t + 20, batch_count);
    for (uint32_t i = 0; i < batch_count; ++i) {
      put32(t + 24 + 8 * i, batch[i].word);
      put32(t + 28 + 8 * i, batch[i].value);
    }
  }
  ++stream.frame_number;
  next_frame = stream.frame_number;
}

void LanServer::Impl::send_datagrams(int64_t now, int64_t& wake) {
  const Geometry& g = stream.geometry;
  uint32_t allowed = g.packets;
  if (stream.paced) {
    // Datagram j of the frame begun as number made - 1 is due j / N frames after its start.
    const double into =
        double(now - stream.base_ns) * stream.frames_per_ns - double(stream.made - 1);
    allowed = uint32_t(std::clamp(std::floor(into * g.packets) + 1, 0.0, double(g.packets)));
  }
  uint8_t heads[kDatagramBatch][kIndexBytes];
  lan::Datagram batch_out[kDatagramBatch];
  uint32_t index_of[kDatagramBatch];
  while (stream.next_datagram < allowed) {
    uint32_t n = 0;
    uint32_t j = stream.next_datagram;
    for (; j < allowed && n < kDatagramBatch; ++j) {
      const bool faulty = stream.fault_kind != 0 && j == stream.fault_index;
      if (faulty && stream.fault_kind == KMVSIM_LAN_DATAGRAM_LOST) continue;
      const bool twice = faulty && stream.fault_kind == KMVSIM_LAN_DATAGRAM_DUPLICATE;
      const bool swapped = faulty && stream.fault_kind == KMVSIM_LAN_DATAGRAM_REORDERED &&
                           j + 2 < g.packets;  // paced or not: the successor goes early
      if (twice || swapped) {
        if (n + 2 > kDatagramBatch) break;  // the pair goes out in the next batch
        stream.fault_kind = 0;              // once, also when the batch is sent again
        const uint32_t order[2] = {swapped ? j + 1 : j, j};
        for (uint32_t idx : order) {
          heads[n][0] = uint8_t(idx);
          heads[n][1] = uint8_t(idx >> 8);
          batch_out[n].head = heads[n];
          batch_out[n].head_length = kIndexBytes;
          batch_out[n].body = udp_frame.data() + size_t(idx) * kPacketBytes;
          batch_out[n].body_length = kPacketBytes;
          index_of[n] = j;
          ++n;
        }
        if (swapped) ++j;
        continue;
      }
      const uint32_t index =
          faulty && stream.fault_kind == KMVSIM_LAN_DATAGRAM_BAD_INDEX ? g.packets : j;
      heads[n][0] = uint8_t(index);
      heads[n][1] = uint8_t(index >> 8);
      batch_out[n].head = heads[n];
      batch_out[n].head_length = kIndexBytes;
      batch_out[n].body = udp_frame.data() + size_t(j) * kPacketBytes;
      batch_out[n].body_length = faulty && stream.fault_kind == KMVSIM_LAN_DATAGRAM_SHORT
                                     ? kShortDatagram - kIndexBytes
                                     : kPacketBytes;
      index_of[n] = j;
      ++n;
    }
    const int taken = n ? lan::send_datagrams(udp, batch_out, int(n), stream.destination) : 0;
    datagrams_sent += uint32_t(taken);
    if (taken < int(n)) {
      stream.next_datagram = index_of[taken];
      udp_blocked = true;
      return;
    }
    stream.next_datagram = j;
  }
  if (stream.next_datagram >= g.packets) {
    stream.sending = false;
    ++frames_sent;
    return;
  }
  const double next = double(stream.made - 1) + double(stream.next_datagram) / g.packets;
  wake = std::min(wake, stream.base_ns + int64_t(next / stream.frames_per_ns));
}

void LanServer::Impl::queue_record(const ReplyRecord& r) {
  if (pending.size() < kMaxPendingRecords) pending.push_back(r);
}

// The latest status replaces one still waiting.
void LanServer::Impl::queue_status(uint32_t word, int64_t now) {
  status_due = false;
  last_status = word;
  next_status_ns = now + kStatusIntervalNs;
  for (ReplyRecord& r : pending) {
    if ((r.word & 0xFF) == kCodeStatus) {
      r = {word, 0};
      return;
    }
  }
  queue_record({word, 0});
}

LanServer::Impl::Connection* LanServer::Impl::find(uint64_t id) {
  for (auto& c : connections) {
    if (c->id == id && !c->dead) return c.get();
  }
  return nullptr;
}

// The published state changes before the peer can see the connection end.
void LanServer::Impl::close_connection(Connection& c, bool reset) {
  if (c.dead) return;
  c.dead = true;
  if (stream.kind == KMVSIM_LAN_STREAM_TCP && stream.connection == c.id) stop_stream();
  connection_count = uint32_t(std::count_if(connections.begin(), connections.end(),
                                            [](const auto& k) { return !k->dead; }));
  lan::close(c.sock, reset);
}

void LanServer::Impl::sweep() {
  std::erase_if(connections, [](const auto& c) { return c->dead; });
  connection_count = uint32_t(connections.size());
}

// ---- control -------------------------------------------------------------------------------

LanServer::LanServer(UsbDevice& device) : impl_(std::make_unique<Impl>(device)) {}

LanServer::~LanServer() {
  stop();
}

bool LanServer::start(const std::string& bind_address, uint16_t tcp_port, uint16_t udp_port) {
  stop();
  Impl& m = *impl_;
  std::lock_guard<std::mutex> lock(m.lifecycle);
  uint32_t ip = 0;
  if (!lan::parse_ipv4(bind_address.empty() ? kDefaultBind : bind_address, &ip) ||
      !lan::on_loopback(ip)) {
    return false;
  }
  if (!lan::startup()) return false;
  m.listener = lan::open_listener({ip, tcp_port});
  m.udp = m.listener == kNoSock ? kNoSock : lan::open_udp({ip, udp_port});
  if (m.udp == kNoSock) {
    lan::close(m.listener);
    m.listener = kNoSock;
    lan::cleanup();
    return false;
  }
  m.bind_ip = ip;
  m.tcp_port = lan::local_address(m.listener).port;
  m.udp_port = lan::local_address(m.udp).port;
  m.udp_frame.assign(kMaxFrameBytes, 0);
  m.udp_blocked = false;
  m.stream = Impl::Stream{};
  m.drops_seen = m.drop_requests.load();
  m.stop_request = false;
  try {
    m.thread = std::thread(&Impl::run, &m);
  } catch (...) {
    lan::close(m.listener);
    lan::close(m.udp);
    m.listener = m.udp = kNoSock;
    lan::cleanup();
    return false;
  }
  m.running = true;
  return true;
}

void LanServer::stop() {
  Impl& m = *impl_;
  std::lock_guard<std::mutex> lock(m.lifecycle);
  if (!m.thread.joinable()) return;
  m.stop_request = true;
  m.thread.join();
  m.running = false;
  lan::cleanup();
}

bool LanServer::running() const {
  return impl_->running.load();
}

void LanServer::state(KMVSIM_LanState& out) const {
  const Impl& m = *impl_;
  out.running = m.running.load();
  out.bind_address = m.bind_ip.load();
  out.tcp_port = m.tcp_port.load();
  out.udp_port = m.udp_port.load();
  out.stream = m.stream_kind.load();
  out.size_code = m.size_code.load();
  out.stream_rate = m.stream_rate.load();
  out.next_frame = m.next_frame.load();
  out.last_tag = m.last_tag.load();
  out.udp_destination = m.destination_ip.load();
  out.udp_destination_port = m.destination_port.load();
  out.connections = m.connection_count.load();
  out.connections_accepted = m.accepted.load();
  out.identify_udp = m.identify_udp.load();
  out.identify_tcp = m.identify_tcp.load();
  out.starts = m.starts.load();
  out.stops = m.stops.load();
  out.commands_received = m.commands.load();
  out.frames_sent = m.frames_sent.load();
  out.frames_dropped = m.frames_dropped.load();
  out.datagrams_sent = m.datagrams_sent.load();
  out.records_sent = m.records_sent.load();
}

void LanServer::reset() {
  Impl& m = *impl_;
  m.real_time = true;
  m.silent = false;
  m.answer_udp = m.answer_tcp = true;
  m.setup_restart = false;
  {
    std::lock_guard<std::mutex> lock(m.faults);
    m.fault_kind = m.fault_index = m.fault_frames = 0;
    m.bad_marker_frames = m.skip_count = 0;
  }
  m.accepted = m.identify_udp = m.identify_tcp = m.starts = m.stops = 0;
  m.commands = m.frames_sent = m.frames_dropped = m.datagrams_sent = m.records_sent = 0;
}

void LanServer::set_real_time(bool on) {
  impl_->real_time = on;
}

void LanServer::set_silent(bool silent) {
  impl_->silent = silent;
}

void LanServer::answer(bool udp, bool tcp) {
  impl_->answer_udp = udp;
  impl_->answer_tcp = tcp;
}

void LanServer::datagram_fault(uint32_t kind, uint32_t index, uint32_t frames) {
  std::lock_guard<std::mutex> lock(impl_->faults);
  const bool known = kind >= KMVSIM_LAN_DATAGRAM_LOST && kind <= KMVSIM_LAN_DATAGRAM_REORDERED;
  impl_->fault_kind = known ? kind : 0;
  impl_->fault_index = index;
  impl_->fault_frames = known ? frames : 0;
}

void LanServer::bad_markers(uint32_t frames) {
  std::lock_guard<std::mutex> lock(impl_->faults);
  impl_->bad_marker_frames = frames;
}

void LanServer::skip_frames(uint32_t count) {
  std::lock_guard<std::mutex> lock(impl_->faults);
  impl_->skip_count += count;
}

void LanServer::tear_frames(uint32_t frames) {
  std::lock_guard<std::mutex> lock(impl_->faults);
  impl_->torn_frames = frames;
}

void LanServer::setup_restart(bool on) {
  impl_->setup_restart = on;
}

void LanServer::drop_connections() {
  ++impl_->drop_requests;
}

}  // namespace kmvsim
