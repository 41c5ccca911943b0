// The LAN link on Windows sockets (overlapped receives, the single overlapped send, cancelled
// receives at a task's end): the plug-in's modules in process, the simulated receiver's LAN side
// on 127.0.0.1 (the settings file's address), and extio-host's firmware update over the LAN.
// Runs only inside the private namespace that scripts/wine-tests makes.
// clang-format off
#include <winsock2.h>  // before windows.h
// clang-format on
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "control/Form1.h"
#include "kmvsim.h"
#include "lan/frame_service.h"
#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using lan::g_lan;
using plugin::g_plugin;

constexpr char kLoopback[] = "127.0.0.1";
constexpr int32_t kBlockSamples = 130560;

std::atomic<int> g_blocks{0};
std::atomic<int> g_pattern_errors{0};

int32_t sample24(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}

// The simulator's 24-bit test pattern: I counts up by one, Q follows I.
void check_pattern(const uint8_t* block) {
  uint32_t previous = 0;
  for (uint32_t k = 0; k < uint32_t(kBlockSamples); ++k) {
    const uint8_t* s = block + 6 * k;
    uint32_t i = uint32_t(sample24(s)) & 0xFFFFFF, q = uint32_t(sample24(s + 3)) & 0xFFFFFF;
    bool bad = (uint32_t(KMVSIM_PatternQ(0, i, 24)) & 0xFFFFFF) != q ||
               (k > 0 && ((previous + 1) & 0xFFFFFF) != i);
    if (bad) {
      ++g_pattern_errors;
      return;
    }
    previous = i;
  }
}

void host_callback(int32_t count, int32_t status, float, void* data) {
  if (count == kBlockSamples && data) {
    check_pattern(static_cast<const uint8_t*>(data));
    ++g_blocks;
    return;
  }
  if (status == plugin::kSampleRateChanged) GetHWSR();
  if (status == plugin::kLoChanged) GetHWLO64();
}

void on_ui(const std::function<void()>& fn) {
  ui::run_on_ui(fn);
}

// This thread is the user-interface thread: like a host, it pumps its messages while it waits,
// so that the panel's timers run.
void pump_for(int ms) {
  long long end = tasks::now_ms() + ms;
  do {
    ui::process_messages();
    tasks::sleep_ms(5);
  } while (tasks::now_ms() < end);
}

bool eventually(const std::function<bool()>& cond, int ms = 8000) {
  long long end = tasks::now_ms() + ms;
  while (tasks::now_ms() < end) {
    if (cond()) return true;
    pump_for(10);
  }
  return cond();
}

KMVSIM_LanState lan_state() {
  KMVSIM_LanState s{};
  s.size = sizeof s;
  KMVSIM_LanGetState(&s);
  return s;
}

bool received_starting(std::initializer_list<uint8_t> head) {
  uint32_t n = KMVSIM_ReceivedCount();
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t buf[300];
    uint32_t seq = 0;
    uint32_t len = KMVSIM_Received(i, buf, sizeof buf, &seq);
    if (len >= head.size() && std::equal(head.begin(), head.end(), buf)) return true;
  }
  return false;
}

bool lan_queue_empty() {
  return usb::queue_length(usb::lan_queue()) == 0;
}

fs::path exe_dir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return fs::path(std::string(path, n)).parent_path();
}

class LanWine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("kmv-lanwine-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir_);
    fs::current_path(dir_);
    SetCallback(host_callback);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::current_path(exe_dir(), ec);
    fs::remove_all(dir_, ec);
  }
  void SetUp() override {
    KMVSIM_Reset();
    KMVSIM_SetPresent(0);  // no USB receiver: the plug-in looks on the LAN
    KMVSIM_SetTestPattern(1);
    KMVSIM_LanReset();
    KMVSIM_ClearReceived();
    g_blocks = 0;
    g_pattern_errors = 0;
    ASSERT_EQ(KMVSIM_LanStart(kLoopback, 55557, 55558), 1);
    // The settings file points the panel at the simulator: written by the panel itself.
    ASSERT_TRUE(OpenHW());
    on_ui([] { F_RDR1->E_IP->set_text(kLoopback); });
    CloseHW();
    KMVSIM_ClearReceived();
    ASSERT_TRUE(OpenHW());
  }
  void TearDown() override {
    for (int i = 0; i < 5 && g_plugin.open_count.load() > 0; ++i) CloseHW();
    KMVSIM_LanStop();
  }
  static bool running(tasks::Task plugin::State::*task) {
    bool r = false;
    on_ui([&] { r = (g_plugin.*task).running(); });
    return r;
  }
  // Blocks arrive at about the nominal rate for `ms`; returns blocks per second.
  static double measure(int ms) {
    int before = g_blocks.load();
    long long start = tasks::now_ms();
    pump_for(ms);
    return (g_blocks.load() - before) * 1000.0 / double(tasks::now_ms() - start);
  }
  static fs::path dir_;
};
fs::path LanWine::dir_;

// Discovery on 127.0.0.1, the restored settings sent and acknowledged over the single overlapped
// send, and the TCP stream's frames in eight overlapped receives.
TEST_F(LanWine, TcpStreamDeliversBlocksAndTheSettingsReachTheReceiver) {
  bool lan = false, tcp = false;
  on_ui([&] {
    lan = F_RDR1->CB_LAN->checked();
    tcp = F_RDR1->RB_TCP->checked();
  });
  EXPECT_TRUE(lan && tcp);
  EXPECT_GE(lan_state().identify_udp, 1u);
  EXPECT_TRUE(eventually(lan_queue_empty));
  EXPECT_TRUE(received_starting({0xF5, 0x01}));  // attenuator
  EXPECT_TRUE(received_starting({0xB0, 0x02}));  // frequency
  EXPECT_TRUE(received_starting({0xF2, 125}));   // clock

  ASSERT_EQ(StartHW64(7000000), kBlockSamples);
  ASSERT_TRUE(eventually([] { return g_blocks.load() >= 5; }));
  double rate = measure(3000);
  double nominal = double(GetHWSR()) / kBlockSamples;
  std::printf("TCP: %.1f blocks/s (nominal %.1f), lost %u\n", rate, nominal, g_lan.lost.load());
  // Frames torn or dropped by the receive side would be lost without the receiver having
  // dropped any (it drops only what a busy machine does not take in time).
  EXPECT_GT(rate, nominal * 0.5);
  EXPECT_EQ(g_pattern_errors.load(), 0);
  EXPECT_LE(g_lan.lost.load(), lan_state().frames_dropped);

  // Commands keep flowing with the stream, each acknowledged in a frame's trailer within a few
  // frames (a send that broke the connection took a reconnect each).
  for (int32_t a : {3, 6, 9, 12}) {
    pump_for(100);  // one attenuator command per 50 ms at most
    long long t0 = tasks::now_ms();
    EXPECT_EQ(SetAttenuators(a), 0);
    EXPECT_TRUE(eventually([&] { return received_starting({0xF5, 0x01, uint8_t(a)}); }, 2000));
    EXPECT_TRUE(eventually(lan_queue_empty, 2000));
    std::printf("attenuator %d acknowledged in %lld ms\n", a, tasks::now_ms() - t0);
  }
  EXPECT_LE(g_lan.lost.load(), lan_state().frames_dropped);
}

// StartHW64 in UDP mode ends the TCP receive task (its eight receives cancelled and waited for)
// and starts the datagram stream; StopHW brings the TCP receive task back on the same
// connection. Several cycles, with commands on TCP throughout.
// Under Wine each datagram completes one overlapped receive at a time, through the wineserver:
// about 8000 a second get through, fewer than the 32000 of 7.8 MS/s. A 70 MHz clock and
// decimation 64 (1.09 MS/s, 4500 datagrams a second) stay within that.
TEST_F(LanWine, StartStopCyclesSwitchBetweenTcpAndUdp) {
  on_ui([] {
    F_RDR1->C_LAN1->user_select(5);
    F_RDR1->SB_CLK->user_type("70");
    F_RDR1->B_CLKSet->click();
  });
  ASSERT_TRUE(eventually([] { return GetHWSR() < 1200000; }));
  ASSERT_TRUE(eventually(lan_queue_empty));
  StopHW();  // the transport can be changed only after a stop
  on_ui([] { F_RDR1->RB_UDP->set_checked(true); });
  uint32_t generation = lan::g_generation.load();
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    // The TCP receive task ends here: its posted receive is cancelled and waited for at once,
    // well within the stopper's wait, so the task is never given up.
    long long t0 = tasks::now_ms();
    ASSERT_EQ(StartHW64(7000000), kBlockSamples);
    EXPECT_LT(tasks::now_ms() - t0, 900);
    EXPECT_FALSE(running(&plugin::State::tcp_task));
    EXPECT_TRUE(running(&plugin::State::udp_task));
    EXPECT_TRUE(eventually([] { return lan_state().stream == KMVSIM_LAN_STREAM_UDP; }));
    int blocks = g_blocks.load();
    EXPECT_TRUE(eventually([&] { return g_blocks.load() >= blocks + 4; }));
    if (cycle == 0) {
      double rate = measure(2000);
      double nominal = double(GetHWSR()) / kBlockSamples;
      std::printf("UDP: %.1f blocks/s (nominal %.1f), lost %u\n", rate, nominal, g_lan.lost.load());
      // A stream that goes on, not a speed: with the other core busy, Wine's datagram path
      // has been seen at half the rate.
      EXPECT_GT(rate, nominal * 0.3);
    }
    KMVSIM_ClearReceived();
    pump_for(100);  // one attenuator command per 50 ms at most
    EXPECT_EQ(SetAttenuators(3 * (cycle + 1)), 0);
    EXPECT_TRUE(eventually([&] {
      return received_starting({0xF5, 0x01, uint8_t(3 * (cycle + 1))});
    }));
    StopHW();
    EXPECT_FALSE(running(&plugin::State::udp_task));
    blocks = g_blocks.load();
    pump_for(300);
    EXPECT_EQ(g_blocks.load(), blocks);  // nothing delivered after the stop
  }
  // A datagram the socket's buffer could not hold leaves its frame's place stale (delivered
  // without a count); a reassembly fault would spoil nearly every block.
  EXPECT_LE(g_pattern_errors.load() * 10, g_blocks.load());
  EXPECT_EQ(lan::g_generation.load(), generation);
  // Back on TCP: the receive task's stream, frames counted again.
  on_ui([] { F_RDR1->RB_TCP->set_checked(true); });
  ASSERT_EQ(StartHW64(7000000), kBlockSamples);
  int blocks = g_blocks.load();
  EXPECT_TRUE(eventually([&] { return g_blocks.load() >= blocks + 4; }));
  EXPECT_EQ(lan_state().stream, uint32_t(KMVSIM_LAN_STREAM_TCP));
}

// A connection the receiver drops is made again and the stream resumes; CloseHW then ends the
// tasks and closes both sockets, and nothing more is delivered.
TEST_F(LanWine, DroppedConnectionRecoversAndCloseHWEndsEverything) {
  ASSERT_EQ(StartHW64(7000000), kBlockSamples);
  ASSERT_TRUE(eventually([] { return g_blocks.load() >= 2; }));
  for (int drop = 0; drop < 2; ++drop) {
    uint64_t accepted = lan_state().connections_accepted;
    KMVSIM_LanDropConnections();
    EXPECT_TRUE(eventually([&] { return lan_state().connections_accepted > accepted; }));
    int blocks = g_blocks.load();
    EXPECT_TRUE(eventually([&] { return g_blocks.load() >= blocks + 3; }));
  }
  EXPECT_EQ(g_pattern_errors.load(), 0);
  CloseHW();
  EXPECT_EQ(g_lan.tcp_socket.load(), lan::kNoSocket);
  EXPECT_EQ(g_lan.udp_socket.load(), lan::kNoSocket);
  EXPECT_TRUE(eventually([] { return lan_state().connections == 0; }));
  int blocks = g_blocks.load();
  pump_for(300);
  EXPECT_EQ(g_blocks.load(), blocks);
}

// A connect still under way on Winsock, where a send fails and closing the socket for that would
// abort the connect: a command's turn in the frame service leaves it alone until it is up. The
// connect waits on a listener whose accept queue is full (its handshake goes unanswered until
// there is room and the client tries again, about a second on).
TEST(LanWineFrameService, ConnectStillUnderWayIsLeftToFinish) {
  ASSERT_TRUE(net::startup());
  usb::create_queues();
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  auto readable = [](SOCKET s, int ms) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(s, &r);
    timeval t{ms / 1000, (ms % 1000) * 1000};
    return ::select(0, &r, nullptr, nullptr, &t) > 0;
  };
  std::vector<SOCKET> fillers;
  bool full = false;
  for (int i = 0; i < 8 && !full; ++i) {
    SOCKET c = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long on = 1;
    ::ioctlsocket(c, FIONBIO, &on);
    fillers.push_back(c);
    ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fd_set w;
    FD_ZERO(&w);
    FD_SET(c, &w);
    timeval t{0, 200000};
    full = ::select(0, nullptr, &w, nullptr, &t) == 0;  // this one waits: the queue is full
  }
  ASSERT_TRUE(full);

  net::Socket s = net::open_tcp();
  ASSERT_EQ(net::connect_start(s, {a.sin_addr.s_addr, ntohs(a.sin_port)}), net::kPending);
  lan::SocketCell::Token token = g_lan.tcp_socket.install(s);
  ASSERT_NE(token, 0u);
  lan::FrameService service;
  service.reset();
  control::g_stream.lan_pacing = 4;
  ASSERT_TRUE(usb::append(usb::lan_queue(), {0xF2, 0x78, 0x00, 0}));
  uint8_t trailer[200] = {};
  auto frame = [&](uint32_t n) {
    for (int i = 0; i < 4; ++i) trailer[i] = uint8_t(n >> (8 * i));
    const uint8_t marker[8] = {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A};
    std::copy(marker, marker + 8, trailer + 8);
    service.service(trailer, sizeof trailer);
  };
  for (uint32_t n = 1; n <= 20; ++n) frame(n);
  EXPECT_TRUE(g_lan.tcp_socket.holds(token));  // the connect goes on
  EXPECT_EQ(service.status(), 0);
  EXPECT_EQ(usb::queue_length(usb::lan_queue()), 1u);

  // Room in the queue: the connect completes, and the command goes out on it.
  for (SOCKET c : fillers) ::closesocket(c);
  while (readable(listener, 0)) ::closesocket(::accept(listener, nullptr, nullptr));
  int result = net::kPending;
  for (int i = 0; i < 200 && result == net::kPending && g_lan.tcp_socket.holds(token); ++i) {
    lan::SocketCell::Lease l = g_lan.tcp_socket.lease_if(token);
    if (l) result = net::connect_wait(l.get(), 20);
  }
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(readable(listener, 2000));
  SOCKET conn = ::accept(listener, nullptr, nullptr);
  frame(21);
  EXPECT_TRUE(readable(conn, 2000));
  char m[16] = {};
  EXPECT_EQ(::recv(conn, m, sizeof m, 0), 8);
  EXPECT_EQ(Bytes(m + 4, m + 8), (Bytes{0xF2, 0x78, 0x00, 0}));
  ::closesocket(conn);
  ::closesocket(listener);
  g_lan.tcp_socket.close();
  usb::destroy_queues();
  net::cleanup();
}

// extio-host's firmware update over the LAN: every block acknowledged in turn, in good time.
TEST(LanWineFirmware, UpdateOverTheLanReachesTransferOk) {
  fs::path dir = fs::temp_directory_path() / ("kmv-lanfw-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(dir);
  std::string image(5000, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = char((i * 7 + 20) & 0xFF);
  std::ofstream(dir / "new.Bit", std::ios::binary)
      .write(image.data(), std::streamsize(image.size()));

  // cmd /c drops the outer quotes of the whole line and keeps the inner ones.
  std::string cmd = "\"\"" + (exe_dir().parent_path() / "extio-host.exe").string() +
                    "\" --firmware \"" + (dir / "new.Bit").string() + "\" --sim lan 2>NUL\"";
  long long t0 = tasks::now_ms();
  FILE* p = _popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  int status = _pclose(p);
  long long ms = tasks::now_ms() - t0;
  out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
  std::printf("firmware over the LAN: %lld ms\n", ms);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("L_Bytes: Transfer OK!\n"), std::string::npos) << out;
  EXPECT_NE(out.find("image: 5000 bytes, equal to the file\n"), std::string::npos) << out;
  EXPECT_LT(ms, 30000);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
