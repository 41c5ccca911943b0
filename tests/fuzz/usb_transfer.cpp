// One USB read transfer through the stream task's per-transfer step: block sequence numbers,
// the reply records in the block trailers, the command drain, and the conversion of the samples
// in the format the input asks for.
//
// Input: one geometry byte, as the stream set-up packs it (bit 0 16-bit, bit 1 dual, bit 2
// streaming, so that the samples are converted), then the transfer's first bytes; the rest of
// the transfer is zero. The transfer sits in a buffer of exactly its size, so that a read
// beyond it is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "control/stream_config.h"
#include "plugin/plugin_state.h"
#include "usb/Usbtask1.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

struct Buffer {
  std::unique_ptr<uint8_t[]> bytes;
  size_t dirty = 0;  // bytes written by an earlier input
};

uint8_t* transfer_for(const control::UsbGeometry& geo, const uint8_t* data, size_t size) {
  static Buffer buffers[3];
  Buffer& b = buffers[geo.blocks == control::kUsbBlocks24 ? 0 : geo.dual ? 2 : 1];
  if (!b.bytes) b.bytes.reset(new uint8_t[geo.transfer_bytes()]());
  size = std::min<size_t>(size, geo.transfer_bytes());
  if (b.dirty > size) std::memset(b.bytes.get() + size, 0, b.dirty - size);
  if (size) std::memcpy(b.bytes.get(), data, size);
  b.dirty = size;
  return b.bytes.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  const control::UsbGeometry geo = control::unpack_usb(flags);
  const uint8_t* transfer = transfer_for(geo, data + 1, size - 1);

  usb::destroy_queues();
  usb::create_queues();
  usb::g_usb_tx.queue_sequence = 0;
  usb::append(usb::usb_queue(), {0xF2, 125, 0});
  uint8_t out[usb::kMaxCommandBytes];
  size_t n = 0;
  uint32_t seq = 0;
  usb::take_front(usb::usb_queue(), usb::g_usb_tx.queue_sequence, out, &n, &seq);
  usb::g_usb_counters.packets = 0;
  usb::g_usb_counters.lost = 0;
  usb::g_link.last_reply_tag = 0;
  plugin::g_plugin.usb_streaming = (flags & 0x4) ? 1 : 0;

  usb::process_transfer(transfer, geo, usb::g_usb_generation.load());

  // At most one loss per block, and the next expected number follows the last block's.
  if (usb::g_usb_counters.lost.load() > geo.blocks) std::abort();
  const uint8_t* last = transfer + (geo.blocks - 1) * usb::kBlockBytes;
  uint32_t last_seq = uint32_t(last[0]) | uint32_t(last[1]) << 8 | uint32_t(last[2]) << 16 |
                      uint32_t(last[3]) << 24;
  if (usb::g_usb_counters.packets.load() != last_seq + 1) std::abort();
  if (usb::queue_length(usb::usb_queue()) > 1) std::abort();
  return 0;
}
