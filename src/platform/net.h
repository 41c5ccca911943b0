// Thin sockets layer over BSD sockets and Winsock 2.
//
// Sockets are carried as intptr_t so that a Winsock SOCKET and a POSIX descriptor fit the same
// process-wide atomics; -1 (INVALID_SOCKET on Windows) means none.
#pragma once

#include <cstdint>

namespace net {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

inline bool is_valid(Socket s) {
  return s != kNoSocket;
}

// Close a socket. Returns 0 on success, nonzero on failure (including an invalid socket).
int close(Socket s);
// Shut a socket down in both directions. Returns 0 on success.
int shutdown_both(Socket s);

// Start the sockets library (Winsock 2.2; nothing to do on POSIX). True when started; every
// successful start is counted so that cleanup() only undoes starts that happened.
bool startup();
// Undo one successful startup(); does nothing when there is none left to undo.
void cleanup();
// Successful starts not yet cleaned up.
int started();

}  // namespace net
