// kmv410-sim: the simulated receiver's LAN side as a program, for manual use and for hosts that
// want a receiver on the network (extio-host --sim lan). It serves loopback only and ends after
// its time limit, on Ctrl-C or on SIGTERM.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "lan_server.h"
#include "usb_device.h"

namespace {

constexpr double kDefaultSeconds = 3600;
constexpr int kTickMs = 50;

std::atomic<bool> interrupted{false};

extern "C" void on_signal(int) {
  interrupted = true;
}

struct Options {
  std::string bind = kmvsim::LanServer::kDefaultBind;
  uint32_t tcp_port = kmvsim::LanServer::kTcpPort;
  uint32_t udp_port = kmvsim::LanServer::kUdpPort;
  double seconds = kDefaultSeconds;
  long serial = -1;
  long version = -1;
  bool fast = false;
  bool pattern = false;
};

void usage(FILE* out) {
  std::fprintf(out,
               "usage: kmv410-sim [options]\n"
               "  --bind ADDR       address to serve, on a loopback interface (127.0.0.1)\n"
               "  --tcp-port N      TCP port, 0 for any free one (55557)\n"
               "  --udp-port N      UDP port, 0 for any free one (55558)\n"
               "  --seconds S       end after S seconds, 0 for no limit (3600)\n"
               "  --serial N        serial number answered to identify, 0..255 (7)\n"
               "  --firmware HEX    firmware version answered to identify (211)\n"
               "  --pattern         deterministic test pattern instead of tones and noise\n"
               "  --fast            frames as fast as the link takes them, not in real time\n");
}

bool number(const char* text, int base, long lo, long hi, long* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, base);
  if (!*text || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Returns 0 to run, else the exit status.
int parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    long n = 0;
    bool ok = true;
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return -1;
    } else if (a == "--pattern") {
      o.pattern = true;
    } else if (a == "--fast") {
      o.fast = true;
    } else if (!v) {
      ok = false;
    } else if (a == "--bind") {
      o.bind = v;
      ++i;
    } else if (a == "--tcp-port" && (ok = number(v, 10, 0, 65535, &n))) {
      o.tcp_port = uint32_t(n);
      ++i;
    } else if (a == "--udp-port" && (ok = number(v, 10, 0, 65535, &n))) {
      o.udp_port = uint32_t(n);
      ++i;
    } else if (a == "--serial" && (ok = number(v, 10, 0, 255, &n))) {
      o.serial = n;
      ++i;
    } else if (a == "--firmware" && (ok = number(v, 16, 0, 0xFFFFFF, &n))) {
      o.version = n;
      ++i;
    } else if (a == "--seconds") {
      char* end = nullptr;
      o.seconds = std::strtod(v, &end);
      ok = *v && !*end && o.seconds >= 0;
      ++i;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "kmv410-sim: bad option or value: %s\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int status = parse(argc, argv, o)) return status < 0 ? 0 : status;

  kmvsim::UsbDevice device;  // the device model; its USB side stays unopened here
  if (o.serial >= 0) device.set_serial(uint32_t(o.serial));
  if (o.version >= 0) device.set_version(uint32_t(o.version));
  device.set_pattern(o.pattern);
  kmvsim::LanServer server(device);
  server.set_real_time(!o.fast);
  if (!server.start(o.bind, uint16_t(o.tcp_port), uint16_t(o.udp_port))) {
    std::fprintf(stderr,
                 "kmv410-sim: cannot serve %s on TCP %u and UDP %u (not a loopback address, or "
                 "a port in use)\n",
                 o.bind.c_str(), o.tcp_port, o.udp_port);
    return 1;
  }
  KMVSIM_LanState s{};
  s.size = sizeof s;
  server.state(s);
  std::printf("kmv410-sim: listening on %s tcp %u udp %u\n", o.bind.c_str(), s.tcp_port,
              s.udp_port);
  std::fflush(stdout);

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::duration<double>(o.seconds);
  while (!interrupted.load() &&
         (o.seconds == 0 || std::chrono::steady_clock::now() - start < limit)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
  }
  server.state(s);
  server.stop();
  std::printf(
      "kmv410-sim: %llu connections, %llu commands, %llu frames sent, %llu dropped, "
      "%llu datagrams\n",
      static_cast<unsigned long long>(s.connections_accepted),
      static_cast<unsigned long long>(s.commands_received),
      static_cast<unsigned long long>(s.frames_sent),
      static_cast<unsigned long long>(s.frames_dropped),
      static_cast<unsigned long long>(s.datagrams_sent));
  return 0;
}
