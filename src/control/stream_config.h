// Stream configuration chosen by the stream set-ups and read by the stream tasks, and the last
// antenna tuning values (they outlive the panel).
//
// Geometry travels as one packed 32-bit word per link. The set-ups write a link's whole
// geometry (sizes and flags together) with a single store, and a task takes its snapshot with a
// single load per transfer (USB) or frame (LAN), so a task never sees the flags of one format
// with the sizes of another. Nothing else writes the words.
#pragma once

#include <atomic>
#include <cstdint>

namespace control {

constexpr uint32_t kBlockBytes = 4096;          // one USB block
constexpr uint32_t kHostBlockSamples = 130560;  // complex samples per host block
constexpr uint32_t kUsbBlocks24 = 192;          // 192 x 680 samples
constexpr uint32_t kUsbBlocks16 = 128;          // 128 x 1020 samples
constexpr uint32_t kUsbBlocks16Dual = 256;      // 256 x 510 sample pairs
constexpr uint32_t kLanPackets24 = 539;         // N for 6-byte samples
constexpr uint32_t kLanPackets16 = 359;         // N for 4-byte samples
constexpr uint32_t kLanPackets16Dual = 718;     // N for 8-byte sample pairs
constexpr uint32_t kLanPacketBytes = 1456;      // one datagram of a frame

// USB read geometry: B blocks of 4096 bytes per read transfer, and the sample format.
struct UsbGeometry {
  uint32_t blocks;  // B: 192, 128 or 256
  bool sixteen_bit;
  bool dual;  // both USB streams; only ever with sixteen_bit
  uint32_t transfer_bytes() const { return blocks * kBlockBytes; }
};

// LAN frame geometry: N packets per frame, S sample bytes per frame, and the sample format.
struct LanGeometry {
  uint32_t packets;       // N
  uint32_t sample_bytes;  // S: 130560 complex samples of 6, 4 or 8 bytes
  bool sixteen_bit;
  bool dual;  // both LAN streams; only ever with sixteen_bit
  uint32_t frame_bytes() const { return packets * kLanPacketBytes; }
  uint8_t size_code() const { return uint8_t((sample_bytes >> 16) & 0x0F); }
};

constexpr UsbGeometry usb_geometry_for(bool sixteen_bit, bool dual) {
  if (!sixteen_bit) return {kUsbBlocks24, false, false};
  return {dual ? kUsbBlocks16Dual : kUsbBlocks16, true, dual};
}

constexpr LanGeometry lan_geometry_for(bool sixteen_bit, bool dual) {
  if (!sixteen_bit) return {kLanPackets24, kHostBlockSamples * 6, false, false};
  if (!dual) return {kLanPackets16, kHostBlockSamples * 4, true, false};
  return {kLanPackets16Dual, kHostBlockSamples * 8, true, true};
}

// Packed words: bit 0 16-bit, bit 1 dual, bits 8-31 B (USB) or N (LAN). The sizes that follow
// from the flags are recomputed on unpacking, so a word always decodes to a valid geometry.
constexpr uint32_t kGeometry16Bit = 0x1;
constexpr uint32_t kGeometryDual = 0x2;

constexpr uint32_t pack_usb(UsbGeometry g) {
  return g.blocks << 8 | (g.sixteen_bit ? kGeometry16Bit : 0) | (g.dual ? kGeometryDual : 0);
}
constexpr UsbGeometry unpack_usb(uint32_t word) {
  return usb_geometry_for(word & kGeometry16Bit, (word & kGeometry16Bit) && (word & kGeometryDual));
}
constexpr uint32_t pack_lan(LanGeometry g) {
  return g.packets << 8 | (g.sixteen_bit ? kGeometry16Bit : 0) | (g.dual ? kGeometryDual : 0);
}
constexpr LanGeometry unpack_lan(uint32_t word) {
  return lan_geometry_for(word & kGeometry16Bit, (word & kGeometry16Bit) && (word & kGeometryDual));
}

struct StreamConfig {
  // USB geometry, packed. Writer: the USB stream set-up (user-interface thread), stored whether
  // or not the USB task runs. Reader: TUSBTask, once per transfer, through usb_geometry().
  std::atomic<uint32_t> usb_geometry{pack_usb(usb_geometry_for(false, false))};
  // LAN geometry, packed. Writer: the LAN stream set-up, after it has stopped the LAN tasks.
  // Readers: TReTask and TUDPTask, once per frame, through lan_geometry().
  std::atomic<uint32_t> lan_geometry{pack_lan(lan_geometry_for(false, false))};
  // LAN pacing factor: frames per 100 ms at the LAN rate, at least 4 once set (initially 1).
  // Writer: the LAN stream set-up. Reader: the LAN frame service.
  std::atomic<uint32_t> lan_pacing{1};
  // Last antenna tuning value per channel (index 0 channel 1), kHz or 10 kHz units; lives for
  // the process. User-interface thread only (the antenna tuning follow-up).
  std::atomic<int32_t> last_tuning[2] = {0, 0};
};
extern StreamConfig g_stream;

// One consistent snapshot of a link's geometry.
inline UsbGeometry usb_geometry() {
  return unpack_usb(g_stream.usb_geometry.load(std::memory_order_acquire));
}
inline LanGeometry lan_geometry() {
  return unpack_lan(g_stream.lan_geometry.load(std::memory_order_acquire));
}

}  // namespace control
