// TConTask: the connect task.
#include "lan/Sytask1.h"

#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "platform/tasks.h"
#include "plugin/plugin_state.h"

namespace lan {

namespace {

// The connect runs without blocking, in short waits, so that a close by a waiter, the LAN stop
// request or a stale generation ends it within this time.
constexpr int kConnectSliceMs = 20;
// A connect nobody aborts still ends (the system's own time-out can be minutes).
constexpr long long kConnectLimitMs = 20000;

}  // namespace

void TConTask::run() {
  // 1.-2.
  if (plugin::g_plugin.lan_stop.load() != 0 || stale()) return;
  Socket s = net::open_tcp();
  if (s == kNoSocket) return;
  SocketCell::Token token = g_lan.tcp_socket.install(s);
  if (token == 0) return;
  // Given up while the socket was being made: it is ours alone, so it goes.
  if (stale()) {
    g_lan.tcp_socket.close_if(token);
    return;
  }

  // 3.-4. Options, then the connect.
  int result;
  {
    SocketCell::Lease l = g_lan.tcp_socket.lease_if(token);
    if (!l) return;  // closed by a waiter already
    net::set_no_delay(l.get());
    net::set_receive_buffer(l.get(), kSocketBufferBytes);
    net::set_timeouts(l.get(), kSocketTimeoutMs);
    result = net::connect_start(l.get(), device_tcp_address());
  }
  long long deadline = tasks::now_ms() + kConnectLimitMs;
  while (result == net::kPending) {
    if (plugin::g_plugin.lan_stop.load() != 0 || stale() || tasks::now_ms() > deadline) break;
    SocketCell::Lease l = g_lan.tcp_socket.lease_if(token);
    if (!l) return;  // a waiter closed it: the connect is aborted
    result = net::connect_wait(l.get(), kConnectSliceMs);
  }
  // Only our own socket is closed: a newer one may be in the cell by now.
  if (result != 0) g_lan.tcp_socket.close_if(token);
}

}  // namespace lan
