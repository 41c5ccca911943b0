// Records the fuzz targets' seed corpus from real traffic: the simulated receiver's USB
// transfers, identify replies, LAN frames, datagrams and reply records, answering commands that
// the plug-in's own builders made, and the settings files the panel's writer makes.
//
// Usage: fuzz_corpus_maker DIR. Writes DIR/<target>/<name>. The LAN side serves on loopback
// (ports chosen by the system); run it in a private network namespace (tests/netns-run.sh).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "control/Form1.h"
#include "control/commands.h"
#include "control/settings_file.h"
#include "control/stream_config.h"
#include "lan_server.h"
#include "platform/ui.h"
#include "receiver.h"
#include "usb/command_queue.h"
#include "usb_device.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

fs::path g_root;

void put(const std::string& target, const std::string& name, const Bytes& b) {
  fs::create_directories(g_root / target);
  std::ofstream out(g_root / target / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void add32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void add16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A command entry as the transmit sends it: sequence header, bytes without the count byte.
Bytes message(uint32_t sequence, const usb::CommandEntry& entry) {
  uint8_t out[usb::kUsbMessageMax];
  size_t n = usb::frame_usb_message(sequence, entry.data(), entry.size(), out);
  return Bytes(out, out + n);
}
// The same over the LAN: no padding, the count byte goes too, as the frame service sends it.
Bytes lan_message(uint32_t sequence, const usb::CommandEntry& entry) {
  Bytes b;
  add32(b, sequence);
  b.insert(b.end(), entry.begin(), entry.end());
  return b;
}
template <size_t N>
Bytes direct(const std::array<uint8_t, N>& m) {
  return Bytes(m.begin(), m.end());
}

struct Format {
  const char* name;
  bool sixteen, dual;
};
constexpr Format kFormats[] = {
    {"24bit", false, false}, {"16bit", true, false}, {"dual", true, true}};

uint8_t format_byte(const Format& f) {
  return commands::format_byte(true, f.dual, 3, 3, f.sixteen);
}
uint8_t mode_byte(const Format& f) {
  return commands::mode_byte(f.dual ? commands::ChannelMode::kSeparate
                                    : commands::ChannelMode::kParallel);
}

// ---- reply records answered by the receiver model ----

void replies() {
  kmvsim::Receiver rx;
  uint32_t seq = 1;
  std::vector<usb::CommandEntry> cmds = {
      commands::clock(150),
      commands::front_end(1, 3, 0),
      commands::front_end(4, 50, 0),
      commands::address(10, 0, 0, 7),
      commands::stream_setup(commands::kTargetUsb, format_byte(kFormats[1]),
                             mode_byte(kFormats[1])),
      commands::mix(100, 200),
      commands::firmware_control(0x800000),
  };
  Bytes all;
  uint32_t all_count = 0;
  int i = 0;
  for (const auto& c : cmds) {
    Bytes m = message(seq++, c);
    auto o = rx.handle(m.data(), m.size());
    Bytes b;
    add32(b, uint32_t(o.count));
    for (int k = 0; k < o.count; ++k) {
      add32(b, o.replies[k].word);
      add32(b, o.replies[k].value);
      if (all_count < 10) {
        add32(all, o.replies[k].word);
        add32(all, o.replies[k].value);
        ++all_count;
      }
    }
    put("reply_batch", "answer-" + std::to_string(i++), b);
  }
  rx.reject_address = true;
  Bytes m = message(seq++, commands::address(10, 0, 0, 300 % 256));
  auto o = rx.handle(m.data(), m.size());
  Bytes b;
  add32(b, uint32_t(o.count));
  for (int k = 0; k < o.count; ++k) {
    add32(b, o.replies[k].word);
    add32(b, o.replies[k].value);
  }
  put("reply_batch", "address-rejected", b);
  Bytes batch;
  add32(batch, all_count);
  batch.insert(batch.end(), all.begin(), all.end());
  put("reply_batch", "ten-answers", batch);
}

// ---- USB ----

struct Usb {
  kmvsim::UsbDevice dev;
  void* h = nullptr;
  uint32_t seq = 100;
  Usb() {
    dev.set_real_time(false);
    uint32_t count = 0;
    dev.device_count(&count);
    if (dev.open(kmvsim::kDescription, kmvsim::kOpenByDescription, &h) != kmvsim::kOk) {
      std::fprintf(stderr, "cannot open the simulated device\n");
      std::exit(1);
    }
    dev.pipe_timeout(h, kmvsim::kPipeIn, 2000);
  }
  ~Usb() { dev.close(h); }
  void write(const Bytes& m) {
    uint32_t n = 0;
    dev.write_pipe(h, kmvsim::kPipeOut, m.data(), uint32_t(m.size()), &n, nullptr);
  }
  void command(const usb::CommandEntry& e) { write(message(++seq, e)); }
  Bytes read(uint32_t bytes) {
    Bytes b(bytes);
    uint32_t n = 0;
    dev.read_pipe(h, kmvsim::kPipeIn, b.data(), bytes, &n, nullptr);
    b.resize(n);
    return b;
  }
};

void usb_traffic() {
  Usb usb;
  // The identify handshake: blocks until the reply.
  usb.write(direct(commands::identify_usb(++usb.seq)));
  for (int i = 0; i < 50; ++i) {
    Bytes block = usb.read(4096);
    if (block.size() == 4096 && block[4088] == 0x12) {
      Bytes in{0};
      in.insert(in.end(), block.begin(), block.end());
      put("identify", "usb-reply", in);
      in[0] = 0x80;
      put("identify", "usb-reply-short-read", in);
      break;
    }
  }
  for (const Format& f : kFormats) {
    const control::UsbGeometry geo = control::usb_geometry_for(f.sixteen, f.dual);
    usb.command(commands::stream_setup(commands::kTargetUsb, format_byte(f), mode_byte(f)));
    usb.read(geo.transfer_bytes());  // what was under way in the old format
    for (int t = 0; t < 2; ++t) {
      usb.command(commands::clock(uint8_t(120 + t)));
      usb.command(commands::front_end(uint8_t(t), 5, 0));
      Bytes transfer = usb.read(geo.transfer_bytes());
      if (transfer.size() != geo.transfer_bytes()) continue;
      const uint8_t flags = uint8_t(control::pack_usb(geo) & 3) | (t ? 4 : 0);
      // The first 16 blocks, then 16 around each new reply tag.
      std::vector<uint32_t> starts{0};
      uint32_t last = le32(transfer.data() + 4084);
      for (uint32_t b = 1; b < geo.blocks && starts.size() < 3; ++b) {
        uint32_t tag = le32(transfer.data() + b * 4096 + 4084);
        if (tag != last) starts.push_back(b >= 4 ? b - 4 : 0);
        last = tag;
      }
      for (size_t s = 0; s < starts.size(); ++s) {
        Bytes in{flags};
        size_t from = size_t(starts[s]) * 4096;
        size_t len = std::min<size_t>(16 * 4096 - 1, transfer.size() - from);
        in.insert(in.end(), transfer.begin() + long(from), transfer.begin() + long(from + len));
        put("usb_transfer", std::string(f.name) + "-" + std::to_string(t) + "-" + std::to_string(s),
            in);
      }
    }
  }
}

// ---- LAN ----

sockaddr_in loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

size_t receive_exact(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n && readable(fd, 3000)) {
    long r = recv(fd, buf + got, n - got, 0);
    if (r <= 0) break;
    got += size_t(r);
  }
  return got;
}

void lan_traffic() {
  kmvsim::UsbDevice device;
  kmvsim::LanServer server{device};
  server.set_real_time(false);
  if (!server.start("127.0.0.1", 0, 0)) {
    std::fprintf(stderr, "cannot start the simulator's LAN side on loopback\n");
    std::exit(1);
  }
  KMVSIM_LanState st{};
  st.size = sizeof st;
  server.state(st);
  const uint16_t tcp_port = uint16_t(st.tcp_port), udp_port = uint16_t(st.udp_port);
  uint32_t seq = 1;

  // Identify over TCP and UDP.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(tcp_port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::exit(1);
  Bytes m = direct(commands::identify_lan(seq++));
  send(fd, m.data(), m.size(), MSG_NOSIGNAL);
  uint8_t reply[64];
  if (receive_exact(fd, reply, 12) == 12)
    put("identify", "lan-tcp-reply", [&] {
      Bytes in{2};
      in.insert(in.end(), reply, reply + 12);
      return in;
    }());

  int u = socket(AF_INET, SOCK_DGRAM, 0);
  int big = 16 << 20;
  setsockopt(u, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in ua = loopback(udp_port);
  m = direct(commands::identify_lan(seq++));
  sendto(u, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&ua), sizeof ua);
  if (readable(u, 3000)) {
    long n = recv(u, reply, sizeof reply, 0);
    if (n > 0) {
      Bytes in{1};
      in.insert(in.end(), reply, reply + n);
      put("identify", "lan-udp-reply", in);
    }
  }

  // TCP frames in each format, with commands answered in their trailers.
  for (const Format& f : kFormats) {
    const control::LanGeometry geo = control::lan_geometry_for(f.sixteen, f.dual);
    Bytes setup = lan_message(
        seq++, commands::stream_setup(commands::kTargetLan, format_byte(f), mode_byte(f)));
    send(fd, setup.data(), setup.size(), MSG_NOSIGNAL);
    m = direct(commands::start_message(seq++, 1, geo.size_code()));
    send(fd, m.data(), m.size(), MSG_NOSIGNAL);
    Bytes frame(geo.frame_bytes());
    for (int k = 0; k < 3; ++k) {
      Bytes c = lan_message(seq++, commands::clock(uint8_t(130 + k)));
      send(fd, c.data(), c.size(), MSG_NOSIGNAL);
      if (receive_exact(fd, frame.data(), frame.size()) != frame.size()) break;
      const uint8_t* trailer = frame.data() + geo.sample_bytes;
      Bytes in{uint8_t((control::pack_lan(geo) & 3) | (k ? 4 : 0))};
      // The service's counters as a running stream leaves them: this frame is the next one.
      add32(in, le32(trailer) + (k == 2 ? 1 : 0));
      add32(in, k == 1 ? le32(trailer + 16) : 0);
      size_t tail = std::min<size_t>(frame.size(), 8192);
      in.insert(in.end(), frame.end() - long(tail), frame.end());
      put("lan_frame", std::string(f.name) + "-" + std::to_string(k), in);
      if (k == 0) {
        // The trailer's reply batch on its own.
        put("reply_batch", std::string("lan-trailer-") + f.name,
            Bytes(trailer + 20,
                  trailer + std::min<size_t>(geo.frame_bytes() - geo.sample_bytes, 100)));
      }
    }
    m = direct(commands::stop_lan(seq++, 1));
    send(fd, m.data(), m.size(), MSG_NOSIGNAL);
    while (readable(fd, 200) && recv(fd, frame.data(), frame.size(), 0) > 0) {
    }
  }

  // UDP datagrams of one frame in each format; the samples of all but the last packet are
  // shortened to keep the files small.
  for (const Format& f : kFormats) {
    const control::LanGeometry geo = control::lan_geometry_for(f.sixteen, f.dual);
    Bytes setup = lan_message(
        seq++, commands::stream_setup(commands::kTargetLan, format_byte(f), mode_byte(f)));
    send(fd, setup.data(), setup.size(), MSG_NOSIGNAL);
    m = direct(commands::start_message(seq++, 0, geo.size_code()));
    sendto(u, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&ua), sizeof ua);
    Bytes in{uint8_t((control::pack_lan(geo) & 3) | 4)};
    bool started = false;
    uint32_t taken = 0;
    uint8_t d[2048];
    while (taken < geo.packets + 2 && readable(u, 1000)) {
      long n = recv(u, d, sizeof d, 0);
      if (n <= 0) break;
      uint32_t index = d[0] | d[1] << 8;
      if (!started && index != 0) continue;  // from the first packet of a frame
      started = true;
      bool last = index + 1 == geo.packets;
      size_t keep = last ? size_t(n) : std::min<size_t>(size_t(n), 18);
      add16(in, uint32_t(n));
      add16(in, uint32_t(keep));
      in.insert(in.end(), d, d + keep);
      ++taken;
    }
    put("udp_datagrams", std::string(f.name) + "-frame", in);
    m = direct(commands::stop_lan(seq++, 0));
    send(fd, m.data(), m.size(), MSG_NOSIGNAL);
    while (readable(u, 200) && recv(u, d, sizeof d, 0) > 0) {
    }
  }
  close(u);
  close(fd);
  server.stop();
}

// ---- firmware update answers ----

void firmware(uint32_t size, kmvsim::Receiver::FirmwareFault fault, uint32_t at,
              const std::string& name) {
  kmvsim::Receiver rx;
  if (fault != kmvsim::Receiver::FirmwareFault::kNone) rx.set_firmware_fault(fault, at);
  Bytes file(size);
  for (uint32_t i = 0; i < size; ++i) file[i] = uint8_t(i * 7 + 3);
  Bytes in;
  add16(in, size);
  in.insert(in.end(), file.begin(), file.end());
  uint32_t seq = 0;
  auto answer = [&](const usb::CommandEntry& c) {
    Bytes m = message(++seq, c);
    auto o = rx.handle(m.data(), m.size());
    kmvsim::ReplyRecord r{};
    for (int k = 0; k < o.count; ++k) {
      if (k == 0 || (o.replies[k].word & 0xFF) == 0x0C || (o.replies[k].word & 0xFF) == 0x0D)
        r = o.replies[k];
    }
    add32(in, r.word);
    add32(in, r.value ^ seq);
    return r.word;
  };
  answer(commands::firmware_control(size));
  int64_t position = 256 * ((int64_t(size) - 1) / 256);
  for (uint32_t k = 1, sent = 0; sent < size; ++k, sent += 256) {
    uint8_t data[256];
    uint32_t n = std::min<uint32_t>(256, size - uint32_t(position));
    std::memcpy(data, file.data() + position, n);
    std::memset(data + n, 0xFF, 256 - n);
    position = std::max<int64_t>(position - 256, 0);
    uint32_t w = answer(commands::firmware_data(uint8_t(0x80 | (k & 0x7F)), data));
    if (((w >> 8) & 0xFF) == 6) break;
  }
  answer(commands::firmware_control(0x800000));  // the full clear after a failed run
  put("firmware_update", name, in);
}

// ---- settings files ----

void settings_files() {
  ui::suppress_message_boxes(true);
  fs::path dir = fs::temp_directory_path() / ("kmv-corpus-" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::path back = fs::current_path();
  fs::current_path(dir);
  ui::run_on_ui([] {
    auto* f = new TF_RDR1();
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    put("settings_file", "design", text(settings::text_of(*f)));
    f->RB_VHF1->set_checked(true);
    f->CB_PreAmp->set_checked(true);
    f->C_Ant1->set_item_index(3);
    f->L_Att1->caption = "-3";
    f->L_Pos1->caption = "90";
    f->RB_Csep->set_checked(true);
    f->E_Freq0->set_text("7.000.000");
    f->E_IP->set_text("DHCP");
    f->E_LANSN->set_text("0042");
    if (ui::Control* c = f->find("E_Mag")) c->set_text("-1,25");
    if (ui::Control* c = f->find("E_Phase")) c->set_text("12.5");
    std::string t = settings::text_of(*f);
    put("settings_file", "changed", text(t));
    std::string crlf;
    for (char c : t) {
      if (c == '\n') crlf += '\r';
      crlf += c;
    }
    put("settings_file", "changed-crlf", text(crlf));
    put("settings_file", "truncated", text(t.substr(0, t.size() / 2)));
    f->E_Freq1->set_text("a\"b\\c\x01");
    put("settings_file", "escapes", text(settings::text_of(*f)));
    delete f;
  });
  fs::current_path(back);
  fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  g_root = fs::absolute(argv[1]);
  replies();
  usb_traffic();
  lan_traffic();
  using F = kmvsim::Receiver::FirmwareFault;
  firmware(1, F::kNone, 0, "one-byte");
  firmware(700, F::kNone, 0, "three-blocks");
  firmware(1024, F::kNone, 0, "four-blocks");
  firmware(1024, F::kError, 2, "error-at-block-2");
  firmware(1024, F::kWrongSum, 1, "wrong-sum");
  firmware(1024, F::kPrematureEnd, 2, "premature-end");
  firmware(600, F::kSilent, 1, "silent");
  settings_files();
  std::printf("corpus written to %s\n", g_root.c_str());
  return 0;
}
