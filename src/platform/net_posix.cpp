#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "platform/net.h"

namespace net {

namespace {
std::atomic<int> g_starts{0};
}

int close(Socket s) {
  if (!is_valid(s)) return -1;
  return ::close(static_cast<int>(s));
}

int shutdown_both(Socket s) {
  if (!is_valid(s)) return -1;
  return ::shutdown(static_cast<int>(s), SHUT_RDWR);
}

bool startup() {
  g_starts.fetch_add(1);
  return true;
}

void cleanup() {
  int n = g_starts.load();
  while (n > 0 && !g_starts.compare_exchange_weak(n, n - 1)) {
  }
}

int started() {
  return g_starts.load();
}

}  // namespace net
