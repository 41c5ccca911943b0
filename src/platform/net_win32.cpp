#include <winsock2.h>

#include <atomic>

#include "platform/net.h"

namespace net {

namespace {
std::atomic<int> g_starts{0};
}

int close(Socket s) {
  if (!is_valid(s)) return -1;
  return ::closesocket(static_cast<SOCKET>(s));
}

int shutdown_both(Socket s) {
  if (!is_valid(s)) return -1;
  return ::shutdown(static_cast<SOCKET>(s), SD_BOTH);
}

bool startup() {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  g_starts.fetch_add(1);
  return true;
}

void cleanup() {
  // Only a start that succeeded is undone: WSACleanup without one would tear down the
  // host's own Winsock use.
  int n = g_starts.load();
  while (n > 0) {
    if (g_starts.compare_exchange_weak(n, n - 1)) {
      ::WSACleanup();
      return;
    }
  }
}

int started() {
  return g_starts.load();
}

}  // namespace net
