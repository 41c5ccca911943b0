// UDP datagrams through the UDP stream task's reassembly: packet order, repeats and gaps, sizes,
// the markers after the last packet's samples, and the frame service for each completed frame.
//
// Input: a geometry byte as the stream set-up packs it (bit 0 16-bit, bit 1 dual; bit 2
// streaming), then datagrams, each as a little-endian 16-bit count of bytes received (the size
// the system reported, at most 1458), a 16-bit count n of bytes that follow, and those n bytes:
// the datagram's first bytes (a packet index, then frame bytes); the rest of it is zero. Each
// datagram sits in a buffer of exactly one receive slot.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "control/stream_config.h"
#include "lan/Udptask1.h"
#include "lan/lan_state.h"
#include "lan/lan_tasks.h"
#include "plugin/plugin_state.h"
#include "usb/command_queue.h"
#include "usb/device_link.h"

namespace lan {

struct UdpFuzzAccess {
  static TUDPTask& task() {
    static TUDPTask* t = [] {
      auto* made = new TUDPTask(g_generation.load(), nullptr);
      if (!made->allocate()) std::abort();
      return made;
    }();
    return *t;
  }
  static void reset(TUDPTask& t) {
    t.service_.reset();
    t.e_ = 0;
  }
  static uint16_t expected(TUDPTask& t) { return t.e_; }
  static bool take(TUDPTask& t, const uint8_t* d, uint32_t bytes, const control::LanGeometry& geo,
                   bool* frame_done) {
    return t.take_datagram(d, bytes, geo, frame_done);
  }
};

}  // namespace lan

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static uint8_t* slot = new uint8_t[lan::kDatagramBytes];
  lan::TUDPTask& task = lan::UdpFuzzAccess::task();
  const uint8_t flags = data[0];
  const control::LanGeometry geo = control::unpack_lan(flags);

  usb::destroy_queues();
  usb::create_queues();
  usb::g_command_sequence = 0;
  usb::append(usb::lan_queue(), {0xF2, 125, 0});
  lan::UdpFuzzAccess::reset(task);
  lan::g_lan.packets = 0;
  lan::g_lan.lost = 0;
  lan::g_lan.last_reply_tag = 0;
  plugin::g_plugin.lan_streaming = (flags & 0x4) ? 1 : 0;

  size_t at = 1;
  while (at + 4 <= size) {
    uint32_t bytes = std::min<uint32_t>(data[at] | data[at + 1] << 8, lan::kDatagramBytes);
    size_t n = std::min<size_t>(
        {size_t(data[at + 2] | data[at + 3] << 8), size - at - 4, size_t(lan::kDatagramBytes)});
    at += 4;
    std::memset(slot, 0, lan::kDatagramBytes);
    std::memcpy(slot, data + at, n);
    at += n;
    bool frame_done = false;
    bool good = lan::UdpFuzzAccess::take(task, slot, bytes, geo, &frame_done);
    if (frame_done && !good) std::abort();
    // The next expected index stays within the frame.
    if (lan::UdpFuzzAccess::expected(task) > geo.packets) std::abort();
  }
  return 0;
}
