// The LAN link end to end: the plug-in opened in process without a USB receiver, and the
// simulated receiver's LAN side on a loopback address of a private network namespace
// (lan_netns_run.sh: 192.168.1.10 on lo, and a hosts file where KMV410-0123 is 127.0.0.1).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/Form1.h"
#include "control/stream_config.h"
#include "kmvsim.h"
#include "lan/lan_state.h"
#include "platform/tasks.h"
#include "platform/ui.h"
#include "plugin/ExtIO_KMV410B211.h"
#include "plugin/callbacks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"

namespace {

using Bytes = std::vector<uint8_t>;
using lan::g_lan;
using plugin::g_plugin;

constexpr char kDesign[] = "192.168.1.10";
constexpr char kLoopback[] = "127.0.0.1";

// ---- The host: counts blocks and checks the simulator's test pattern in each ----

std::atomic<int> g_blocks{0};
std::atomic<int> g_pattern_errors{0};
std::atomic<int> g_bits{24};  // what the test expects the LAN stream to carry

int32_t sample24(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}

// Consecutive samples of a block count up by one; Q is the pattern of I. 16-bit samples arrive
// widened: the 16-bit value in the upper bytes, 0x80 below.
void check_pattern(const uint8_t* block) {
  const int bits = g_bits.load();
  const uint32_t mask = bits == 16 ? 0xFFFF : 0xFFFFFF;
  int errors = 0;
  uint32_t previous = 0;
  for (uint32_t k = 0; k < 130560 && errors == 0; ++k) {
    const uint8_t* s = block + 6 * k;
    uint32_t i = uint32_t(sample24(s)), q = uint32_t(sample24(s + 3));
    if (bits == 16) {
      if (s[0] != 0x80 || s[3] != 0x80) ++errors;
      i >>= 8;
      q >>= 8;
    }
    uint64_t n = i & mask;
    if ((uint32_t(KMVSIM_PatternQ(0, n, uint32_t(bits))) & mask) != (q & mask)) ++errors;
    if (k > 0 && ((previous + 1) & mask) != (i & mask)) ++errors;
    previous = i;
  }
  if (errors) ++g_pattern_errors;
}

// A host that takes its time with each block and calls in from there.
std::atomic<bool> g_exports_from_blocks{false};

void host_callback(int32_t count, int32_t status, float, void* data) {
  if (count == 130560 && data) {
    check_pattern(static_cast<const uint8_t*>(data));
    ++g_blocks;
    if (g_exports_from_blocks.load()) {
      tasks::sleep_ms(20);
      GetHWLO64();
      SetAttenuators(0);  // no change: nothing is sent
    }
    return;
  }
  if (status == plugin::kSampleRateChanged) GetHWSR();
  if (status == plugin::kLoChanged) GetHWLO64();
}

void on_ui(const std::function<void()>& fn) {
  ui::run_on_ui(fn);
}

bool eventually(const std::function<bool()>& cond, int ms = 5000) {
  long long end = tasks::now_ms() + ms;
  while (tasks::now_ms() < end) {
    if (cond()) return true;
    tasks::sleep_ms(10);
  }
  return cond();
}

KMVSIM_LanState lan_state() {
  KMVSIM_LanState s{};
  s.size = sizeof s;
  KMVSIM_LanGetState(&s);
  return s;
}

KMVSIM_State sim_state() {
  KMVSIM_State s{};
  s.size = sizeof s;
  KMVSIM_GetState(&s);
  return s;
}

// Every command the receiver took since the last clear, without the sequence.
std::vector<Bytes> received() {
  std::vector<Bytes> out;
  uint32_t n = KMVSIM_ReceivedCount();
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t buf[300];
    uint32_t seq = 0;
    uint32_t len = KMVSIM_Received(i, buf, sizeof buf, &seq);
    out.emplace_back(buf, buf + std::min<uint32_t>(len, sizeof buf));
  }
  return out;
}

bool received_starting(std::initializer_list<uint8_t> head) {
  for (const Bytes& m : received()) {
    if (m.size() >= head.size() && std::equal(head.begin(), head.end(), m.begin())) return true;
  }
  return false;
}

struct Panel {
  bool lan, lan1, tcp, tcp_enabled, udp, udp_enabled, conn_enabled, set_enabled;
  std::string ip, firm;
};
Panel panel() {
  Panel p{};
  on_ui([&] {
    TF_RDR1& f = *F_RDR1;
    p = {f.CB_LAN->checked(), f.CB_LAN1->checked(), f.RB_TCP->checked(), f.RB_TCP->enabled,
         f.RB_UDP->checked(), f.RB_UDP->enabled,    f.B_Conn->enabled,   f.B_Set->enabled,
         f.E_IP->text(),      f.L_Firm->caption};
  });
  return p;
}

class LanLinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto dir = std::filesystem::temp_directory_path() / ("kmv-lanlink-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    SetCallback(host_callback);
  }
  void SetUp() override {
    KMVSIM_Reset();
    KMVSIM_SetPresent(0);  // no USB receiver: the plug-in looks on the LAN
    KMVSIM_SetTestPattern(1);
    KMVSIM_LanReset();
    KMVSIM_ClearReceived();
    g_blocks = 0;
    g_pattern_errors = 0;
    g_bits = 24;
  }
  void TearDown() override {
    for (int i = 0; i < 5 && g_plugin.open_count.load() > 0; ++i) CloseHW();
    KMVSIM_LanStop();
    std::filesystem::remove("KMV410V2.11");
  }
  static void serve(const char* address) { ASSERT_EQ(KMVSIM_LanStart(address, 55557, 55558), 1); }
  // Open with a settings file whose address field holds `ip`.
  static void open_at(const std::string& ip, const std::string& serial = "0000") {
    if (ip != kDesign || serial != "0000") {
      ASSERT_TRUE(OpenHW());
      on_ui([&] {
        F_RDR1->E_IP->set_text(ip);
        F_RDR1->E_LANSN->set_text(serial);
      });
      CloseHW();  // writes the settings file
    }
    KMVSIM_ClearReceived();
    ASSERT_TRUE(OpenHW());
  }
  // The "Connect" handler (the button itself is disabled while a connection is up).
  static void connect_click() {
    on_ui([] { F_RDR1->B_ConnClick(F_RDR1->B_Conn); });
  }
  static void set_text(ui::Control* TF_RDR1::*edit, const std::string& text) {
    on_ui([&] { (F_RDR1->*edit)->set_text(text); });
  }
  static bool tcp_task_running() {
    bool running = false;
    on_ui([&] { running = g_plugin.tcp_task.running(); });
    return running;
  }
  static bool udp_task_running() {
    bool running = false;
    on_ui([&] { running = g_plugin.udp_task.running(); });
    return running;
  }
};

// ---- Discovery ----

TEST_F(LanLinkTest, ReceiverAnsweringOnBothTransportsIsIdentifiedAndStreamsOverTcp) {
  serve(kDesign);
  KMVSIM_SetSerial(7);
  open_at(kDesign);
  Panel p = panel();
  EXPECT_EQ(p.firm, "KMV410 V211 S/N 0007");
  EXPECT_TRUE(p.lan && p.lan1);
  EXPECT_TRUE(p.tcp && p.tcp_enabled);
  EXPECT_TRUE(!p.udp && p.udp_enabled);  // TCP preferred
  // "Set" comes back once the receiver has echoed the clock sent at open.
  EXPECT_TRUE(eventually([] { return panel().set_enabled; }));
  // "Connect" stays off once the receive task's connection is up (the status tick keeps it).
  EXPECT_TRUE(eventually([] { return !panel().conn_enabled; }));
  EXPECT_EQ(GetHWSR(), 7812500);  // the LAN rate is reported
  EXPECT_TRUE(tcp_task_running());
  // The probe connection was closed; the receive task's own one carries the stream.
  EXPECT_TRUE(eventually([] { return lan_state().stream == KMVSIM_LAN_STREAM_TCP; }));
  EXPECT_TRUE(eventually([] { return lan_state().connections == 1; }));
  EXPECT_GE(lan_state().connections_accepted, 2u);
  EXPECT_EQ(g_lan.udp_socket.load(), lan::kNoSocket);

  ASSERT_EQ(StartHW64(7000000), 130560);
  EXPECT_TRUE(eventually([] { return g_blocks.load() >= 5; }));
  EXPECT_EQ(g_pattern_errors.load(), 0);
  EXPECT_EQ(g_lan.lost.load(), 0u);
}

TEST_F(LanLinkTest, SettingsRestoredAtOpenReachTheLanReceiver) {
  serve(kDesign);
  open_at(kDesign);
  // The panel's settings were applied while the receive task was still connecting: they waited
  // in the LAN queue and went out, acknowledged, once frames flowed.
  EXPECT_TRUE(eventually([] { return usb::queue_length(usb::lan_queue()) == 0; }, 8000));
  EXPECT_TRUE(received_starting({0xF5, 0x01}));  // channel-1 attenuator
  EXPECT_TRUE(received_starting({0xF5, 0x02}));  // channel-2 attenuator
  EXPECT_TRUE(received_starting({0xF5, 0x03}));  // channel-1 antenna control
  EXPECT_TRUE(received_starting({0xF5, 0x05}));  // input flags and antennas
  EXPECT_TRUE(received_starting({0xB0, 0x02}));  // frequency, both channels
  EXPECT_TRUE(received_starting({0xB4, 0x02}));  // LAN stream set-up
  EXPECT_TRUE(received_starting({0xF2, 125}));   // clock
  std::string typed;
  on_ui([&] { typed = F_RDR1->E_Freq0->text(); });
  typed.erase(std::remove(typed.begin(), typed.end(), '.'), typed.end());
  EXPECT_EQ(std::to_string(sim_state().frequency[0]), typed);
}

TEST_F(LanLinkTest, ReceiverAnsweringOnUdpOnlyLeavesTheLinkDown) {
  serve(kDesign);
  open_at(kDesign);
  // Once the clock is confirmed: its confirmation runs the stream set-ups, which would start
  // a stream task for whichever transport is chosen by then.
  ASSERT_TRUE(eventually([] { return panel().set_enabled; }));
  KMVSIM_LanAnswer(1, 0);
  uint64_t probes = lan_state().identify_udp;
  connect_click();
  Panel p = panel();
  EXPECT_TRUE(p.udp && p.udp_enabled);
  EXPECT_TRUE(!p.tcp && !p.tcp_enabled);
  EXPECT_FALSE(p.lan || p.lan1);
  EXPECT_FALSE(tcp_task_running());
  EXPECT_FALSE(udp_task_running());
  EXPECT_TRUE(eventually([] { return panel().conn_enabled; }));
  EXPECT_EQ(lan_state().identify_udp, probes + 1);
}

TEST_F(LanLinkTest, SilentReceiverLeavesBothTransportsOff) {
  serve(kDesign);
  KMVSIM_LanAnswer(0, 0);
  open_at(kDesign);
  Panel p = panel();
  EXPECT_TRUE(!p.tcp && !p.tcp_enabled && !p.udp && !p.udp_enabled);
  EXPECT_FALSE(p.lan);
  EXPECT_TRUE(p.conn_enabled);
  EXPECT_FALSE(tcp_task_running());
  // Commands have no LAN receiver to wait for: dropped.
  EXPECT_EQ(usb::queue_length(usb::lan_queue()), 0u);
}

TEST_F(LanLinkTest, InvalidAddressesShowErrorAndProbeNothing) {
  serve(kDesign);
  open_at(kDesign);
  ASSERT_TRUE(eventually([] { return lan_state().stream == KMVSIM_LAN_STREAM_TCP; }));
  // With LAN1 on, a discovery's own unchecking of it would restart the stream first.
  on_ui([] { F_RDR1->CB_LAN1->set_checked(false); });
  for (const char* text :
       {"dhcp", "0.0.0.0", "255.255.255.255", "", "10.0.0.256", "1234567890123456"}) {
    KMVSIM_LanState before = lan_state();
    set_text(&TF_RDR1::E_IP, text);
    connect_click();
    EXPECT_EQ(panel().ip, "Error!") << text;
    EXPECT_EQ(g_plugin.lan_stop.load(), 1) << text;  // running LAN tasks end by themselves
    KMVSIM_LanState after = lan_state();
    EXPECT_EQ(after.identify_udp, before.identify_udp) << text;
    EXPECT_EQ(after.identify_tcp, before.identify_tcp) << text;
  }
  EXPECT_TRUE(eventually([] { return !tcp_task_running(); }));
}

TEST_F(LanLinkTest, DhcpLooksUpTheReceiversNetworkName) {
  serve(kLoopback);  // only the name leads here: nothing listens on the design address
  open_at("DHCP", "0123");
  Panel p = panel();
  EXPECT_TRUE(p.lan && p.tcp);
  EXPECT_EQ(p.ip, "DHCP");
  EXPECT_EQ(lan_state().identify_udp, 1u);
  EXPECT_GE(lan_state().identify_tcp, 1u);
}

// A name server on the namespace's loopback (lan_netns_run.sh points the lookup at it) that
// answers every question, A records with 127.0.0.1, only after a delay.
class SlowNameServer {
 public:
  explicit SlowNameServer(int delay_ms) : delay_ms_(delay_ms) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (bound_) thread_ = std::thread([this] { serve(); });
  }
  ~SlowNameServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();  // serve() polls stop_ every 10 ms
    if (fd_ >= 0) ::close(fd_);
  }
  bool bound() const { return bound_; }
  int questions() const { return questions_.load(); }
  int answers() const { return answers_.load(); }

 private:
  void serve() {
    struct Pending {
      long long due;
      sockaddr_in from;
      Bytes reply;
    };
    std::vector<Pending> pending;
    // Bounded: the server lives for one test.
    for (long long end = tasks::now_ms() + 30000; !stop_ && tasks::now_ms() < end;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        uint8_t q[512];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        long n = ::recvfrom(fd_, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 12) {
          ++questions_;
          pending.push_back({tasks::now_ms() + delay_ms_, from, reply_to(q, size_t(n))});
        }
      }
      for (size_t i = 0; i < pending.size();) {
        if (tasks::now_ms() < pending[i].due) {
          ++i;
          continue;
        }
        const Pending& r = pending[i];
        ::sendto(fd_, r.reply.data(), r.reply.size(), 0, reinterpret_cast<const sockaddr*>(&r.from),
                 sizeof r.from);
        ++answers_;
        pending.erase(pending.begin() + long(i));
      }
    }
  }
  // The question echoed, with one A record 127.0.0.1 when it asks for one.
  static Bytes reply_to(const uint8_t* q, size_t n) {
    size_t end = 12;
    while (end < n && q[end] != 0) end += q[end] + 1u;
    end += 5;  // the root label, type and class
    if (end > n) return {};
    bool a_record = q[end - 4] == 0 && q[end - 3] == 1;
    Bytes r(q, q + end);
    r[2] = 0x81;  // a response, recursion desired
    r[3] = 0x80;  // recursion available, no error
    r[6] = 0;
    r[7] = a_record ? 1 : 0;
    r[8] = r[9] = r[10] = r[11] = 0;
    if (a_record) {
      Bytes answer = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 1};
      r.insert(r.end(), answer.begin(), answer.end());
    }
    return r;
  }

  int fd_ = -1;
  bool bound_ = false;
  int delay_ms_;
  std::atomic<bool> stop_{false};
  std::atomic<int> questions_{0}, answers_{0};
  std::thread thread_;
};

TEST_F(LanLinkTest, DhcpLookupThatTakesTooLongIsGivenUpForTheDesignAddress) {
  SlowNameServer names(6000);  // well past the plug-in's wait of 2 s
  if (!names.bound()) GTEST_SKIP() << "no name server port on the namespace's loopback";
  serve(kDesign);  // where a given-up lookup leads; the late answer would lead nowhere
  ASSERT_TRUE(OpenHW());
  on_ui([] {
    F_RDR1->E_IP->set_text("DHCP");
    F_RDR1->E_LANSN->set_text("0456");  // not in the namespace's hosts file
  });
  CloseHW();
  long long start = tasks::now_ms();
  ASSERT_TRUE(OpenHW());
  long long took = tasks::now_ms() - start;
  EXPECT_LT(took, 4500);
  EXPECT_GE(names.questions(), 1);
  Panel p = panel();
  EXPECT_TRUE(p.lan && p.tcp);
  EXPECT_EQ(p.ip, "DHCP");
  // The lookup ends after all, well after its wait gave up, into nothing the panel still needs.
  EXPECT_TRUE(eventually([&] { return names.answers() >= 1; }, 9000));
  tasks::sleep_ms(300);
  EXPECT_TRUE(panel().lan);
}

TEST_F(LanLinkTest, DhcpNameThatDoesNotResolveFallsBackToTheDesignAddress) {
  serve(kDesign);
  open_at("DHCP", "0999");
  EXPECT_TRUE(panel().lan);
  EXPECT_EQ(panel().ip, "DHCP");
}

TEST_F(LanLinkTest, SetAddressIsQueuedForTheLanReceiverAndARejectionShowsError) {
  serve(kDesign);
  open_at(kDesign);
  ASSERT_TRUE(eventually([] { return usb::queue_length(usb::lan_queue()) == 0; }, 8000));
  KMVSIM_RejectAddress(1);
  ASSERT_TRUE(eventually([] { return panel().set_enabled; }));  // after the clock echo
  set_text(&TF_RDR1::E_IP, "10.0.0.5");
  on_ui([] { F_RDR1->B_Set->click(); });
  EXPECT_TRUE(eventually([] { return received_starting({0xB0, 0x0A, 10, 0, 0, 5}); }));
  EXPECT_TRUE(eventually([] { return panel().ip == "Error!"; }));
}

// ---- Start and stop ----

TEST_F(LanLinkTest, StopHWInTcpModeReconnectsAndStreamsWithoutDelivery) {
  serve(kDesign);
  open_at(kDesign);
  ASSERT_EQ(StartHW64(7000000), 130560);
  ASSERT_TRUE(eventually([] { return g_blocks.load() >= 3; }));
  uint64_t accepted = lan_state().connections_accepted;
  StopHW();
  Panel p = panel();
  EXPECT_TRUE(p.conn_enabled);
  bool rg = false;
  on_ui([&] { rg = F_RDR1->RG_LAN->enabled; });
  EXPECT_TRUE(rg);
  // A new connection and a new stream: frames are counted, none reaches the host.
  EXPECT_TRUE(eventually([&] { return lan_state().connections_accepted > accepted; }));
  uint32_t packets = 0;
  ASSERT_TRUE(eventually([&] {
    packets = g_lan.packets.load();
    return packets > 3;
  }));
  int blocks = g_blocks.load();
  EXPECT_TRUE(eventually([&] { return g_lan.packets.load() > packets + 5; }));
  EXPECT_EQ(g_blocks.load(), blocks);
  EXPECT_TRUE(tcp_task_running());
}

// StopHW raises the LAN stop request for a moment while it closes the connection: a receive
// task that reads it then must not leave the link without one.
TEST_F(LanLinkTest, AfterEveryStopHWInTcpModeACommandIsStillAcknowledged) {
  serve(kDesign);
  open_at(kDesign);
  ASSERT_TRUE(eventually([] { return usb::queue_length(usb::lan_queue()) == 0; }, 8000));
  const long long end = tasks::now_ms() + 120000;
  for (int cycle = 0; cycle < 40 && tasks::now_ms() < end; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_EQ(StartHW64(7000000), 130560);
    // Frames flow on the connection that StopHW is about to close.
    uint32_t packets = g_lan.packets.load();
    ASSERT_TRUE(eventually([&] { return g_lan.packets.load() > packets + 1; }));
    StopHW();
    KMVSIM_ClearReceived();
    const int att = 1 + cycle % 30;
    ASSERT_EQ(SetAttenuators(att), 0);
    ASSERT_TRUE(eventually([&] {
      return received_starting({0xF5, 0x01, uint8_t(att)}) &&
             usb::queue_length(usb::lan_queue()) == 0;
    })) << "receive task running: "
        << tcp_task_running();
  }
  EXPECT_TRUE(tcp_task_running());
}

TEST_F(LanLinkTest, StartHW64InUdpModeStreamsDatagramsWhileCommandsGoOnTcp) {
  serve(kDesign);
  open_at(kDesign);
  ASSERT_TRUE(eventually([] { return usb::queue_length(usb::lan_queue()) == 0; }, 8000));
  StopHW();  // the transport can be changed only after a stop
  on_ui([] { F_RDR1->RB_UDP->set_checked(true); });
  ASSERT_EQ(StartHW64(7000000), 130560);
  EXPECT_FALSE(tcp_task_running());
  EXPECT_TRUE(udp_task_running());
  EXPECT_TRUE(eventually([] { return lan_state().stream == KMVSIM_LAN_STREAM_UDP; }));
  EXPECT_TRUE(eventually([] { return g_blocks.load() >= 5; }));
  EXPECT_EQ(g_pattern_errors.load(), 0);
  // The stopped receive task's connection (or, when it had none yet, the one the UDP stream
  // task opens for them) carries the commands.
  EXPECT_TRUE(eventually([] { return g_lan.tcp_socket.load() != lan::kNoSocket; }));
  KMVSIM_ClearReceived();
  EXPECT_EQ(SetAttenuators(12), 0);
  EXPECT_TRUE(eventually([] { return received_starting({0xF5, 0x01, 12}); }));
  EXPECT_TRUE(eventually([] { return usb::queue_length(usb::lan_queue()) == 0; }));
  EXPECT_EQ(sim_state().frontend[1] & 0xFF, 12u);
}

TEST_F(LanLinkTest, SixteenBitDualStreamReachesBothLanStreams) {
  serve(kDesign);
  open_at(kDesign);
  // Separate mode enables LAN2; both LAN streams make a 16-bit dual stream.
  on_ui([] {
    F_RDR1->RB_Csep->set_checked(true);
    F_RDR1->CB_LAN2->enabled = true;
    F_RDR1->CB_LAN2->set_checked(true);
  });
  EXPECT_EQ(control::lan_geometry().packets, 718u);
  g_bits = 16;
  ASSERT_EQ(StartHW64(7000000), 130560);
  EXPECT_TRUE(eventually([] { return lan_state().size_code == 0x0F; }));
  EXPECT_TRUE(eventually([] { return g_blocks.load() >= 4; }));
  EXPECT_EQ(g_pattern_errors.load(), 0);
}

// A decimation change restarts the receive task, which keeps the connection: the old stream's
// last bytes are read away, the new stream is asked for on it, and its frames are in step from
// the first (no bad frame, nothing lost, no new connection).
TEST_F(LanLinkTest, DecimationChangeInTcpModeGoesOnOverTheSameConnection) {
  serve(kDesign);
  open_at(kDesign);
  ASSERT_TRUE(eventually([] { return panel().set_enabled; }));  // the clock echo's restart
  ASSERT_EQ(StartHW64(7000000), 130560);
  ASSERT_TRUE(eventually([] { return g_blocks.load() >= 2; }));
  const uint64_t accepted = lan_state().connections_accepted;
  const uint64_t starts = lan_state().starts;
  const int blocks = g_blocks.load();
  const long long t0 = tasks::now_ms();
  on_ui([] { F_RDR1->C_LAN1->user_select(F_RDR1->C_LAN1->item_index() + 1); });
  ASSERT_TRUE(eventually([&] { return g_blocks.load() >= blocks + 3; }));
  std::printf("lan: decimation change to the third block after it: %lld ms\n",
              tasks::now_ms() - t0);
  EXPECT_GT(lan_state().starts, starts);
  EXPECT_EQ(lan_state().connections_accepted, accepted);
  EXPECT_EQ(g_pattern_errors.load(), 0);
  EXPECT_EQ(g_lan.lost.load(), 0u);
}

TEST_F(LanLinkTest, DroppedConnectionIsReconnectedAndTheStreamResumes) {
  serve(kDesign);
  open_at(kDesign);
  ASSERT_EQ(StartHW64(7000000), 130560);
  ASSERT_TRUE(eventually([] { return g_blocks.load() >= 2; }));
  uint64_t accepted = lan_state().connections_accepted;
  KMVSIM_LanDropConnections();
  EXPECT_TRUE(eventually([&] { return lan_state().connections_accepted > accepted; }));
  int blocks = g_blocks.load();
  EXPECT_TRUE(eventually([&] { return g_blocks.load() >= blocks + 3; }));
}

// The stoppers of the LAN tasks wait for a task that is inside the host's callback and calls
// exports from there: each ends within its limit, and none of them shows a message box.
TEST_F(LanLinkTest, ExportsFromTheSampleCallbackNeverHoldUpTheLanStoppers) {
  serve(kDesign);
  open_at(kDesign);
  ASSERT_TRUE(eventually([] { return usb::queue_length(usb::lan_queue()) == 0; }, 8000));
  StopHW();
  on_ui([] { F_RDR1->RB_UDP->set_checked(true); });
  ASSERT_EQ(StartHW64(7000000), 130560);
  ASSERT_TRUE(eventually([] { return g_blocks.load() >= 3; }));
  ui::clear_message_boxes();
  g_exports_from_blocks = true;
  tasks::sleep_ms(100);
  long long start = tasks::now_ms();
  StopHW();  // stops the UDP stream task
  long long stop_took = tasks::now_ms() - start;
  ASSERT_EQ(StartHW64(7000000), 130560);
  int seen = g_blocks.load();
  EXPECT_TRUE(eventually([&] { return g_blocks.load() >= seen + 3; }));
  start = tasks::now_ms();
  CloseHW();
  long long close_took = tasks::now_ms() - start;
  g_exports_from_blocks = false;
  std::printf(
      "habit: LAN stoppers while the callback calls exports: StopHW %lld ms, CloseHW %lld ms\n",
      stop_took, close_took);
  EXPECT_LT(stop_took, 500);
  EXPECT_LT(close_took, 500);
  EXPECT_TRUE(ui::message_boxes().empty());
}

TEST_F(LanLinkTest, CloseHWEndsTheTasksAndClosesTheSockets) {
  serve(kDesign);
  open_at(kDesign);
  ASSERT_EQ(StartHW64(7000000), 130560);
  ASSERT_TRUE(eventually([] { return g_blocks.load() >= 1; }));
  CloseHW();
  EXPECT_EQ(g_lan.tcp_socket.load(), lan::kNoSocket);
  EXPECT_EQ(g_lan.udp_socket.load(), lan::kNoSocket);
  EXPECT_TRUE(eventually([] { return lan_state().connections == 0; }));
  int blocks = g_blocks.load();
  tasks::sleep_ms(200);
  EXPECT_EQ(g_blocks.load(), blocks);
}

}  // namespace
