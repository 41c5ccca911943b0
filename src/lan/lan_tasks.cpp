// Starting and stopping the LAN tasks.
#include "lan/lan_tasks.h"

#include <atomic>
#include <memory>

#include "control/commands.h"
#include "lan/Retask1.h"
#include "lan/Sytask1.h"
#include "lan/Udptask1.h"
#include "lan/lan_state.h"
#include "plugin/plugin_state.h"
#include "usb/device_link.h"

namespace lan {

LanState g_lan;
std::atomic<uint32_t> g_generation{0};

void start_udp_task() {
  auto& g = plugin::g_plugin;
  if (!g.pool || g.udp_task.running()) return;
  uint32_t generation = g_generation.load();
  tasks::Pool* pool = g.pool;
  g.udp_task = pool->start([generation, pool] { TUDPTask(generation, pool).run(); });
}

namespace {

constexpr int kLeavingWaitMs = 2000;  // a leaving task's end: its connect and its receives
constexpr int kLeavingStepMs = 10;

// What the TCP receive task in plugin::g_plugin.tcp_task raises once it is leaving (used on the
// user-interface thread; the task holds its own reference). Never destroyed: exit must not take
// it from under that thread.
std::shared_ptr<std::atomic<bool>>& tcp_leaving() {
  static auto* flag = new std::shared_ptr<std::atomic<bool>>;
  return *flag;
}

}  // namespace

void start_tcp_receive_task() {
  auto& g = plugin::g_plugin;
  if (!g.pool) return;
  std::shared_ptr<std::atomic<bool>>& leaving = tcp_leaving();
  if (g.tcp_task.running()) {
    if (!leaving || !leaving->load()) return;  // it goes on
    // It read a stop request that has been lowered since (StopHW's) and is on its way out: the
    // new task starts once it has gone, so that its stop message cannot end the new stream.
    long long end = tasks::now_ms() + kLeavingWaitMs;
    while (leaving->load() && !plugin::wait_task(g.tcp_task, kLeavingStepMs) &&
           !plugin::waits_cancelled() && tasks::now_ms() < end) {
    }
    if (g.tcp_task.running() && !leaving->load()) return;  // it went on after all
    stop_task(g.tcp_task, 0, false, kLinkTcp);             // gone, or given up
  }
  uint32_t generation = g_generation.load();
  tasks::Pool* pool = g.pool;
  auto flag = std::make_shared<std::atomic<bool>>(false);
  g.tcp_task = pool->start([generation, pool, flag] { TReTask(generation, pool, flag).run(); });
  leaving = flag;
}

ConnectTask start_connect_task(tasks::Pool* pool) {
  ConnectTask c;
  if (!pool) return c;
  c.cancelled = std::make_shared<std::atomic<bool>>(false);
  c.task = pool->start([cancelled = c.cancelled] { TConTask(cancelled).run(); });
  return c;
}

bool stop_task(tasks::Task& task, int ms, bool send_stop, uint8_t link) {
  bool ended = !task.running() || plugin::wait_task(task, ms);
  if (!ended) {
    g_generation.fetch_add(1);
    if (send_stop) send_stop_message(link);
  }
  task.drop();
  return ended;
}

void send_stop_message(uint8_t link) {
  SocketCell::Lease l = g_lan.tcp_socket.lease();
  if (!l) return;
  auto msg = commands::stop_lan(usb::next_sequence(), link);
  net::send(l.get(), msg.data(), msg.size());
}

bool close_tcp_socket() {
  return g_lan.tcp_socket.close();
}

bool close_udp_socket() {
  return g_lan.udp_socket.close();
}

bool commands_routable() {
  if (g_lan.tcp_socket.load() != kNoSocket) return true;
  auto& g = plugin::g_plugin;
  return g_lan.receiver_found.load() != 0 && (g.tcp_task.running() || g.udp_task.running());
}

net::Endpoint device_tcp_address() {
  return {g_lan.device_ip.load(), g_lan.tcp_port.load()};
}

net::Endpoint device_udp_address() {
  return {g_lan.device_ip.load(), g_lan.udp_port.load()};
}

}  // namespace lan
