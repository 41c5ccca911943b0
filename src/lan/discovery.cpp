// LAN discovery and addressing: the "Connect" and "Set" buttons of the panel.
//
// The receiver registers itself on the network as "KMV410-" followed by its serial number in
// four digits (KMV410-0007); with "DHCP" in the address field, discovery looks that name up.
#include "lan/discovery.h"

#include <algorithm>
#include <memory>
#include <string>

#include "control/Form1.h"
#include "control/commands.h"
#include "lan/Sytask1.h"
#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "plugin/plugin_state.h"
#include "usb/device_link.h"

namespace {

using lan::g_lan;
using plugin::g_plugin;

constexpr char kDesignAddress[] = "192.168.1.10";
constexpr char kDhcp[] = "DHCP";
constexpr char kNamePrefix[] = "KMV410-";  // the receiver's network-name prefix, 7 characters
constexpr size_t kSerialDigits = 4;
constexpr size_t kAddressMaxChars = 15;
constexpr int kTaskStopWaitMs = 500;
constexpr int kConnectWaitMs = 1500;
constexpr int kConnectExtraWaitMs = 500;
constexpr int kLookupWaitMs = 2000;
constexpr size_t kIdentifyReplyBytes = 12;
constexpr uint8_t kIdentifyEcho = 0x12;

static_assert(sizeof(kNamePrefix) - 1 == 7);

// Discovery's connect task (user-interface thread only).
lan::ConnectTask g_connect_task;
// Device IP text: the address that discovery probes, in dotted form.
char g_device_ip_text[kAddressMaxChars + 1] = {};

// A valid address: inet_addr of the text is neither INADDR_NONE nor 0 (and it fits the field).
bool valid_address(const std::string& text, uint32_t* ip) {
  if (text.empty() || text.size() > kAddressMaxChars) return false;
  uint32_t a = net::inet_addr(text.c_str());
  if (a == net::kAddressNone || a == 0) return false;
  *ip = a;
  return true;
}

void set_device_ip_text(const char* text) {
  std::string t(text);
  t.resize(std::min(t.size(), kAddressMaxChars));
  std::copy(t.begin(), t.end(), g_device_ip_text);
  g_device_ip_text[t.size()] = '\0';
}

// The receiver's network name from the serial text, or "" when the serial cannot be one: the
// name holds at most four digits, so zeros in front of those are dropped, and a longer serial
// is not looked up.
std::string network_name(std::string serial) {
  while (serial.size() > kSerialDigits && serial[0] == '0') serial.erase(0, 1);
  if (serial.size() > kSerialDigits) return {};
  return kNamePrefix + serial;
}

// The receiver's address by its network name. The lookup runs on a worker so that a name
// service that does not answer holds the user-interface thread for kLookupWaitMs at most; a
// lookup given up finishes on its own, into a result only it still holds.
bool look_up(const std::string& name, uint32_t* ip) {
  struct Lookup {
    std::string name;
    net::Endpoint found;
    bool ok = false;
  };
  if (!g_plugin.pool) return false;
  auto lookup = std::make_shared<Lookup>();
  lookup->name = name;
  tasks::Task task = g_plugin.pool->start(
      [lookup] { lookup->ok = net::resolve_ipv4(lookup->name.c_str(), "55557", &lookup->found); });
  if (task.empty() || !plugin::wait_task(task, kLookupWaitMs) || !lookup->ok) return false;
  *ip = lookup->found.ip;
  return true;
}

// Step 10: the identify command as a datagram. True when the receiver answered.
bool udp_probe() {
  net::Socket s = net::open_udp();
  if (s == net::kNoSocket) return false;
  lan::SocketCell::Token token = g_lan.udp_socket.install(s);
  bool answered = false;
  if (lan::SocketCell::Lease l = g_lan.udp_socket.lease_if(token)) {
    net::set_timeouts(l.get(), lan::kSocketTimeoutMs);
    auto msg = commands::identify_lan(usb::next_sequence());
    if (net::send_to(l.get(), msg.data(), msg.size(), lan::device_udp_address()) ==
        static_cast<long>(msg.size())) {
      // Room for more than the reply, so that a longer datagram shows as one.
      uint8_t reply[64];
      long n = net::recv_from(l.get(), reply, sizeof reply);
      lan::Identity ignored;
      answered = lan::identify_reply(reply, n, &ignored);
    }
  }
  g_lan.udp_socket.close_if(token);
  return answered;
}

// Step 11.2 on the connection the connect task made: the stop message for the TCP stream, then
// the identify command. True with the identity when the receiver answered.
bool tcp_identify(lan::Identity* id) {
  lan::SocketCell::Lease l = g_lan.tcp_socket.lease();
  if (!l) return false;
  auto stop = commands::stop_lan(usb::next_sequence(), lan::kLinkTcp);
  net::send(l.get(), stop.data(), stop.size());
  auto msg = commands::identify_lan(usb::next_sequence());
  if (net::send(l.get(), msg.data(), msg.size()) != static_cast<long>(msg.size())) return false;
  uint8_t reply[kIdentifyReplyBytes];
  long n = net::recv(l.get(), reply, sizeof reply, true);
  return lan::identify_reply(reply, n, id);
}

}  // namespace

namespace lan {

// Bytes 8-10 the firmware version (unsigned, 24 bits), byte 5 the serial number.
bool identify_reply(const uint8_t* reply, long n, Identity* id) {
  if (n != static_cast<long>(kIdentifyReplyBytes) || reply[4] != kIdentifyEcho) return false;
  *id = {uint32_t(reply[8]) | uint32_t(reply[9]) << 8 | uint32_t(reply[10]) << 16, reply[5]};
  return true;
}

}  // namespace lan

void TF_RDR1::B_ConnClick(ui::Control*) {
  // 1.-2.
  g_plugin.lan_stop = 1;
  g_plugin.lan_streaming = 0;
  g_lan.receiver_found = 0;
  CB_LAN->set_checked(false);
  CB_LAN1->set_checked(false);
  CB_LAN2->set_checked(false);
  RG_LAN->enabled = false;
  RB_TCP->enabled = false;
  RB_TCP->set_checked(false);
  RB_UDP->enabled = false;
  RB_UDP->set_checked(false);

  // 3.-4.
  set_device_ip_text(kDesignAddress);
  const std::string typed = E_IP->text();
  const bool dhcp = typed == kDhcp;
  uint32_t ip = 0;
  if (valid_address(typed, &ip)) {
    set_device_ip_text(typed.c_str());
  } else if (!dhcp) {
    E_IP->set_text("Error!");
    return;  // the stop request stays raised: running LAN tasks end by themselves
  }

  // 5. The old tasks go; one that does not end in time is given up.
  lan::stop_task(g_plugin.udp_task, kTaskStopWaitMs, true, lan::kLinkUdp);
  lan::stop_task(g_plugin.tcp_task, kTaskStopWaitMs, true, lan::kLinkTcp);
  lan::close_tcp_socket();
  if (g_connect_task.running() && !plugin::wait_task(g_connect_task.task, kTaskStopWaitMs)) {
    g_connect_task.cancel();
  }
  g_connect_task.drop();
  g_plugin.lan_stop = 0;

  // 6.-8.
  uint32_t device_ip = net::inet_addr(g_device_ip_text);
  if (dhcp) {
    std::string name = network_name(E_LANSN->text());
    if (!name.empty()) look_up(name, &device_ip);
  }
  g_lan.device_ip = device_ip;
  g_lan.tcp_port = lan::kTcpPort;
  g_lan.udp_port = lan::kUdpPort;

  // 9. The TCP connect runs while the UDP probe does.
  g_connect_task = lan::start_connect_task(g_plugin.pool);

  // 10.
  if (udp_probe()) {
    RB_UDP->enabled = true;
    if (!RB_TCP->checked()) RB_UDP->set_checked(true);
  }

  // 11.
  lan::Identity id;
  bool identified = false;
  if (plugin::wait_task(g_connect_task.task, kConnectWaitMs)) {
    identified = tcp_identify(&id);
    // A connection that does not identify is not kept: it would hold "Connect" disabled.
    if (!identified) lan::close_tcp_socket();
  } else {
    lan::close_tcp_socket();  // aborts the connect
    if (!plugin::wait_task(g_connect_task.task, kConnectExtraWaitMs)) g_connect_task.cancel();
    lan::close_tcp_socket();
    RB_TCP->enabled = false;
  }

  // 12.
  if (identified) {
    L_Firm->caption = usb::firmware_label(id.version, id.serial);
    RB_TCP->enabled = true;
    RB_TCP->set_checked(true);
    CB_LAN->enabled = true;
    CB_LAN->set_checked(true);
    g_lan.receiver_found = 1;
    CB_LAN1->enabled = true;
    if (!CB_USB1->checked()) {
      CB_LAN1->set_checked(true);
      g_plugin.rate_selector = plugin::kLanRate;
    }
    if (RB_Csep->checked()) CB_LAN2->enabled = true;
    B_Update->enabled = true;
    B_Conn->enabled = false;
    B_Set->enabled = true;
    lan::close_tcp_socket();  // the probe connection is not reused
    lan::start_tcp_receive_task();
  }

  // 13.
  g_connect_task.drop();
}

void TF_RDR1::B_SetClick(ui::Control*) {
  // 1.
  uint32_t ip = 0;
  if (!valid_address(E_IP->text(), &ip)) {
    E_IP->set_text("Error!");
    return;
  }
  // 2.-3. The octets in written order are the address's bytes in network order.
  const uint8_t* o = reinterpret_cast<const uint8_t*>(&ip);
  commands::send(commands::address(o[0], o[1], o[2], o[3]));
}
