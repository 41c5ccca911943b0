// Proves that Windows programs run inside the test's private network namespace: under Wine every
// socket is made by the wineserver, so binding a TCP socket to an address that exists only in
// that namespace succeeds only when the wineserver runs there too. Exit 0 = contained.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: netns_probe IPv4-ADDRESS\n");
    return 2;
  }
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 3;
  int result = 1;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  if (s != INVALID_SOCKET && inet_pton(AF_INET, argv[1], &a.sin_addr) == 1) {
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      result = 0;
    } else {
      std::printf("bind to %s failed: %d\n", argv[1], WSAGetLastError());
    }
  }
  if (s != INVALID_SOCKET) closesocket(s);
  WSACleanup();
  return result;
}
