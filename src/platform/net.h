// Thin sockets layer over BSD sockets and Winsock 2.
//
// Sockets are carried as intptr_t so that a Winsock SOCKET and a POSIX descriptor fit the same
// process-wide atomics; -1 (INVALID_SOCKET on Windows) means none.
//
// The LAN tasks keep many receives outstanding and poll them without blocking. Windows does
// this with overlapped receives, one event each. POSIX has no overlapped I/O, so the same
// interface is kept with native means: the posted receives form a queue in posting order, and a
// query reads whatever the kernel holds (recvmmsg for datagrams, recv for the byte stream) into
// the queued buffers, without blocking. Either way a receive completes into its slot in the
// order the slots were posted, exactly as overlapped receives do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace net {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

inline bool is_valid(Socket s) {
  return s != kNoSocket;
}

// Results of the background operations below (Winsock's values, used on every platform):
// an operation that goes on in the background, and a query of one that has not finished yet.
// Every other nonzero result is the platform's error code.
constexpr int kPending = 997;     // WSA_IO_PENDING
constexpr int kIncomplete = 996;  // WSA_IO_INCOMPLETE

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

// ---- Addresses ----

// An IPv4 endpoint: the address in network byte order (as inet_addr gives it), the port in host
// byte order.
struct Endpoint {
  uint32_t ip = 0;
  uint16_t port = 0;
};

// inet_addr of the sockets library: the address in network byte order, kAddressNone when the
// text is not an address (so also for "255.255.255.255").
constexpr uint32_t kAddressNone = 0xFFFFFFFFu;
uint32_t inet_addr(const char* text);

// Name lookup restricted to IPv4: the first IPv4 address of `name` with service `service`.
// False when the lookup fails. The result list is freed.
bool resolve_ipv4(const char* name, const char* service, Endpoint* out);

// ---- Sockets ----

// A datagram socket (AF_INET, UDP); kNoSocket on failure.
Socket open_udp();
// A stream socket (AF_INET, TCP), created for overlapped use on Windows; kNoSocket on failure.
Socket open_tcp();
// Receive and send time-outs (SO_RCVTIMEO, SO_SNDTIMEO) of the blocking calls. 0 on success.
int set_timeouts(Socket s, int ms);
// Receive buffer size. Where the system caps the size and the process may exceed the cap, the
// cap is exceeded. 0 on success.
int set_receive_buffer(Socket s, int bytes);
// TCP_NODELAY. 0 on success.
int set_no_delay(Socket s);

// True when a stream socket is connected (it has a peer); false while its connect goes on, or
// after one failed.
bool connected(Socket s);

// Connect without blocking: 0 when connected at once, kPending while the connect goes on, else
// the error.
int connect_start(Socket s, const Endpoint& to);
// Wait up to ms for a connect that goes on: 0 connected, kPending still going on, else the
// error. A connect that has ended leaves the socket in blocking mode.
int connect_wait(Socket s, int ms);

// Blocking calls, bounded by the socket's time-outs. Results: bytes moved, 0 at the end of a
// stream, -1 on error or time-out. Sending never raises a signal.
long send(Socket s, const void* data, size_t n);
long send_to(Socket s, const void* data, size_t n, const Endpoint& to);
// wait_all: wait for all n bytes (MSG_WAITALL), still bounded by the receive time-out.
long recv(Socket s, void* buffer, size_t n, bool wait_all);
long recv_from(Socket s, void* buffer, size_t n);

// ---- Receive ring ----
//
// A fixed number of slots, each receiving into a caller's buffer. Stream rings fill each slot
// completely (MSG_WAITALL); datagram rings take one datagram per slot (a larger one fails the
// slot). The ring does I/O only on the socket passed to each call; the caller keeps that socket
// open for the call's duration.
struct RecvRing;
// nullptr when the system resources could not be had.
RecvRing* ring_create(int slots, bool datagrams);
// Frees the ring. Only after ring_cancel() returned true: nothing may still write its buffers.
void ring_destroy(RecvRing* ring);
// Post a receive of `len` bytes into `buffer` on slot k: 0 or kPending when it is under way,
// else the error (the slot is then idle).
int ring_post(RecvRing* ring, Socket s, int k, uint8_t* buffer, uint32_t len);
// Without waiting: 0 with *bytes when slot k's receive has completed, kIncomplete while it goes
// on (or was never posted), else the error that ended it.
int ring_query(RecvRing* ring, Socket s, int k, uint32_t* bytes);
// Wait up to ms for something to arrive for slot k (or on the socket).
void ring_wait(RecvRing* ring, Socket s, int k, int ms);
// Drop every posted receive: cancel those still in flight and wait up to ms for them. True when
// nothing is in flight any more, so the buffers may be reused or freed. s may be kNoSocket when
// the socket is already closed (its receives then end by themselves).
bool ring_cancel(RecvRing* ring, Socket s, int ms);

// ---- Send slot ----
//
// One send in the background at a time, from the slot's own copy of the bytes.
struct SendSlot;
constexpr size_t kSendSlotBytes = 272;
SendSlot* send_slot_create();
// Only after send_slot_cancel() returned true (or no send was ever started).
void send_slot_destroy(SendSlot* slot);
// Start sending n ≤ kSendSlotBytes bytes: 0 when sent at once, kPending while it goes on, else
// the error.
int send_slot_start(SendSlot* slot, Socket s, const uint8_t* data, size_t n);
// Without waiting: 0 when the send has completed, kIncomplete while it goes on, else the error.
int send_slot_query(SendSlot* slot, Socket s);
// Cancel a send that goes on and wait up to ms; true when nothing is in flight.
bool send_slot_cancel(SendSlot* slot, Socket s, int ms);

}  // namespace net
