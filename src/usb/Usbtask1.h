// TUSBTask: the USB stream task. It keeps eight reads queued on the data pipe, counts and
// converts the blocks into host blocks, hands them to the USB streams' callbacks, drains the
// command queue once per transfer, and reopens the device by itself after losing the link.
#pragma once

#include <atomic>
#include <cstdint>

#include "control/stream_config.h"

namespace usb {

constexpr int kReadTransfers = 8;
constexpr uint32_t kReadBufferBytes = 1u << 20;  // room for the largest transfer, 256 blocks
constexpr uint32_t kBlockBytes = 4096;
constexpr uint32_t kPayloadBytes = 4080;
constexpr uint32_t kHostBlockBytes = 783360;  // 130560 complex samples of 6 bytes

struct UsbCounters {
  std::atomic<uint32_t> packets{0};  // next expected block sequence number (task)
  std::atomic<uint32_t> lost{0};     // blocks counted as lost (task; B_CLRUClick resets)
};
extern UsbCounters g_usb_counters;

// Advanced by a stopper that gives up on a task: a task whose generation is stale leaves at
// once and touches nothing shared, because a newer task may own it by then.
extern std::atomic<uint32_t> g_usb_generation;

// Read buffer k (0..7); buffer 0 doubles as the identify handshake's reply buffer.
uint8_t* read_buffer(int k);

// Start TUSBTask on the worker pool unless one runs (user-interface thread).
void start_usb_task();
// Ask the task to end and wait up to ms; true when it has ended (or none ran). The reference is
// kept either way.
bool stop_usb_task(int ms);
// Give up on a task that did not end: advance the generation and drop the reference. True when
// the task keeps its device (and closes it when it leaves; the link's handle is cleared); false
// when it had just handed it back, so the caller closes it as usual.
bool abandon_usb_task();
// After a reopen that followed a loss: the panel's settings to the receiver again (user-interface
// thread).
void restore_receiver_settings();

// One complete read transfer of geo.blocks blocks (the task's step per transfer): block
// sequence numbers counted, a reply record taken from each block under a new tag, the samples
// converted and delivered while streaming, then, unless `generation` has gone stale meanwhile,
// one turn of the command drain with those records.
void process_transfer(const uint8_t* transfer, const control::UsbGeometry& geo,
                      uint32_t generation);

// Convert the payloads of one complete transfer of B blocks into host samples: 24-bit payloads
// are copied, 16-bit words widened, dual pairs split between a and b. Both outputs need
// kHostBlockBytes plus kOutputSlack bytes.
constexpr uint32_t kOutputSlack = 8;
void convert_transfer(const uint8_t* transfer, uint32_t blocks, bool sixteen_bit, bool dual,
                      uint8_t* a, uint8_t* b);

// Conversions of 16-bit payload words into host samples, with the best variant the processor runs
// (usb/convert.h has them all). Each 32-bit word (I low half, Q high half) becomes 0x80, I lo,
// I hi, 0x80, Q lo, Q hi. `out` needs 2 bytes of slack beyond the 6 bytes per word.
void widen16(const uint8_t* words, uint32_t count, uint8_t* out);
// Dual: even words to a, odd words to b, widened as above.
void widen16_dual(const uint8_t* words, uint32_t pairs, uint8_t* a, uint8_t* b);

}  // namespace usb
