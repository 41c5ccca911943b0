// LAN frames as the TCP receive task takes them: the whole-frame and marker check, delivery
// with the 16-bit widening, and the frame service (frame numbers, the reply batch under a new
// tag, the command turn).
//
// Input: a geometry byte as the stream set-up packs it (bit 0 16-bit, bit 1 dual; bit 2
// streaming; bit 3 the receive came one byte short), the frame counter and reply tag the
// service starts from (4 bytes each, little-endian), then the frame's last bytes: the input is
// aligned to the frame's end, the bytes before it are zero. The frame sits in a buffer of exactly
// its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "control/stream_config.h"
#include "lan/Retask1.h"
#include "lan/frame_service.h"
#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace {

struct Buffer {
  std::unique_ptr<uint8_t[]> bytes;
  size_t dirty = 0;  // bytes from the end written by an earlier input
};

uint8_t* frame_for(const control::LanGeometry& geo, const uint8_t* data, size_t size) {
  static Buffer buffers[3];
  Buffer& b = buffers[!geo.sixteen_bit ? 0 : geo.dual ? 2 : 1];
  const size_t len = geo.frame_bytes();
  if (!b.bytes) b.bytes.reset(new uint8_t[len]());
  size = std::min(size, len);
  if (b.dirty > size) std::memset(b.bytes.get() + len - b.dirty, 0, b.dirty - size);
  if (size) std::memcpy(b.bytes.get() + len - size, data, size);
  b.dirty = size;
  return b.bytes.get();
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  static lan::FrameService* service = new lan::FrameService;
  static uint8_t* out_a = new uint8_t[lan::kHostBlockBytes + lan::kBlockSlack];
  static uint8_t* out_b = new uint8_t[lan::kHostBlockBytes + lan::kBlockSlack];
  const uint8_t flags = data[0];
  const control::LanGeometry geo = control::unpack_lan(flags);
  uint8_t* frame = frame_for(geo, data + 9, size - 9);
  const uint32_t bytes = geo.frame_bytes() - ((flags & 0x8) ? 1 : 0);

  usb::destroy_queues();
  usb::create_queues();
  usb::g_command_sequence = 0;
  usb::append(usb::lan_queue(), {0xF2, 125, 0});
  usb::append(usb::lan_queue(), {0xF5, 1, 2, 3, 0});
  service->reset();
  lan::g_lan.packets = le32(data + 1);
  lan::g_lan.lost = 0;
  lan::g_lan.last_reply_tag = le32(data + 5);
  plugin::g_plugin.lan_streaming = (flags & 0x4) ? 1 : 0;

  if (!lan::whole_frame(geo, frame, bytes)) return 0;
  bool widened = false;
  if (!lan::take_tcp_frame(*service, geo, frame, out_a, out_b, lan::g_generation.load(), &widened))
    std::abort();  // nothing made the generation stale
  if (widened != (geo.sixteen_bit && (flags & 0x4))) std::abort();
  // One loss at most per frame, and the counter follows the frame's number.
  if (lan::g_lan.lost.load() > 1) std::abort();
  if (lan::g_lan.packets.load() != le32(frame + geo.sample_bytes) + 1) std::abort();
  return 0;
}
