// Command queues, the USB transmit and the reply records shared by both links.
//
// Producers on the user-interface thread append command entries; the USB stream task drains the
// USB queue one command at a time (usb_drain), the LAN frame service drains the LAN queue, and
// the reply-record parser acknowledges the command in flight and stores the receiver's status.
//
// Locks: a queue lock may be held while taking the command outcome lock, never the reverse; the
// two queue locks are never held together.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/bridge.h"

namespace usb {

// One queued command: command code, fields, and a last byte holding the transmission count
// (0 when queued, raised by one at every transmission).
using CommandEntry = std::vector<uint8_t>;

constexpr size_t kMaxCommandBytes = 262;  // bytes of an entry ever sent, count included
constexpr uint8_t kMaxTransmissions = 3;
// Sequence header plus the longest entry, rounded up to the USB message granularity of 4.
constexpr size_t kUsbMessageMax = (4 + kMaxCommandBytes + 3) / 4 * 4;

// Status values of a USB write.
constexpr uint32_t kWriteIdle = 0;
constexpr uint32_t kWritePending = 24;  // bridge::kPending
constexpr uint32_t kWriteMayBePending = 25;
constexpr uint32_t kWriteLinkDown = 1;

// One link's command queue. Process-wide and never freed, so that a task that outlived its
// stopper can still take the lock safely; `exists` says whether producers may use it.
struct CommandQueue {
  std::mutex lock;
  // Everything below is guarded by `lock`.
  bool exists = false;
  std::deque<CommandEntry> entries;  // front = the command in flight
  // Sequence of the front entry's last transmission; only a reply echoing it acknowledges.
  bool in_flight = false;
  uint32_t in_flight_sequence = 0;
};

CommandQueue& usb_queue();
CommandQueue& lan_queue();

// First OpenHW: let producers use the queues. CloseHW: empty them and stop producers; the
// objects themselves stay for any task still running.
void create_queues();
void destroy_queues();
// Library unload with no task left: free the queues and the outcome lock. Nothing may use them
// afterwards.
void release_storage_at_unload();
// Entries waiting in a queue, read under its lock (0 when it does not exist).
size_t queue_length(CommandQueue& q);
// Append under the lock; false (dropped) when the queue does not exist.
bool append(CommandQueue& q, CommandEntry entry);

// What the transmit path does with the front entry on this turn.
enum class FrontAction { kNothing, kGivenUp, kSend };

// One transmit turn on a queue, under its lock: an empty or missing queue gives kNothing; an
// entry sent three times is removed and the command outcome becomes 2 (kGivenUp); otherwise the
// first n ≤ 262 bytes are copied to `out` with the count byte before its increment, the stored
// count is raised, a new sequence is drawn from `counter` into `*sequence` and remembered as the
// one in flight (kSend). Never allocates.
FrontAction take_front(CommandQueue& q, std::atomic<uint32_t>& counter, uint8_t* out, size_t* n,
                       uint32_t* sequence);

// Command outcome state: 2 when a command was given up, else the receiver's firmware answers
// (0x0C / 0x0D records). Written under its lock, read without it. Process-wide.
std::mutex& outcome_lock();
extern std::atomic<int32_t> g_command_outcome;
void set_command_outcome(int32_t value);

// Receiver status written by the reply-record parser, read by the status display.
struct ReceiverStatus {
  std::atomic<uint32_t> device_status{0};                // whole 0xF1 record word
  std::atomic<uint32_t> clock_echo{125};                 // MHz as applied by the receiver
  std::array<std::atomic<uint32_t>, 5> settings_echo{};  // front-end items 0..4, bytes 2-3
  std::atomic<uint8_t> ip_error{0};                      // receiver rejected an address setting
};
extern ReceiverStatus g_status;

// USB transmit state. Used by the USB stream task's thread (drain and parser), except the
// pacing factor (set by the stream set-up) and the reset values written when the task starts.
struct UsbTransmit {
  std::atomic<uint32_t> queue_sequence{0};     // incremented before every USB queue transmission
  std::atomic<uint32_t> last_acknowledged{0};  // sequence whose acknowledgement last removed one
  std::atomic<uint8_t> send_ready{0};          // 1: the next command may go
  std::atomic<uint32_t> write_status{0};       // kWriteIdle, kWritePending/MayBePending, LinkDown
  std::atomic<uint32_t> wait_counter{0};       // drain calls since send_ready was cleared
  std::atomic<uint32_t> pacing{1};             // P: transfers per command turn-around
  // The overlapped write and what it points at stay process-wide: a write can still be pending
  // when the drain returns.
  bridge::Overlapped write_record{};
  uint32_t write_transferred = 0;
  alignas(4) uint8_t message[kUsbMessageMax] = {};
};
extern UsbTransmit g_usb_tx;

// Build the USB message for `n` entry bytes under `sequence` into `out` (room for
// kUsbMessageMax); returns its length, a multiple of 4. Fill bytes are 0.
size_t frame_usb_message(uint32_t sequence, const uint8_t* bytes, size_t n, uint8_t* out);

// Reply records as the USB stream task collects them (at most one per block).
struct ReplyRecord {
  uint32_t word;   // code in bits 0-7
  uint32_t value;  // echoed sequence for acknowledging codes
};
constexpr uint32_t kMaxReplyRecords = 256;
constexpr uint32_t kMaxBatchApplied = 10;  // larger batches are ignored whole
struct ReplyBatch {
  uint32_t count = 0;
  ReplyRecord records[kMaxReplyRecords];
};

enum class Link { kUsb = 0, kLan = 1 };

// Apply a batch of `count` records from `link`. A count outside 1..10 changes nothing.
void parse_replies(const ReplyRecord* records, uint32_t count, Link link);
// The same from wire bytes: a 32-bit little-endian count, then 8-byte records. Bytes beyond
// `size` are never read; a batch that does not fit is ignored whole.
void parse_reply_bytes(const uint8_t* bytes, size_t size, Link link);

// Called by the USB stream task after every complete read transfer with its reply records.
void usb_drain(const ReplyBatch& batch);

}  // namespace usb
