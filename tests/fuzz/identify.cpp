// The receiver's identify replies: a block read during the USB handshake, and the datagram or
// TCP reply of the LAN probe, each then shown as the firmware label.
//
// Input: one byte saying which (0 USB block, 1 LAN datagram, 2 LAN TCP reply) and, for the USB
// block, whether the read was short (bit 7: one byte fewer), then the bytes received. Each sits
// in a buffer of exactly the size received, or of the size its read asks for when that is
// smaller, as the buffers of the plug-in are.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lan/discovery.h"
#include "usb/device_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t which = data[0];
  std::vector<uint8_t> got(data + 1, data + size);
  std::string label;
  switch ((which & 0x7F) % 3) {
    case 0: {
      // A read asks for one block; it never reports more.
      constexpr uint32_t kBlock = 4096;
      std::vector<uint8_t> block(kBlock, 0);
      std::copy_n(got.begin(), std::min<size_t>(got.size(), kBlock), block.begin());
      uint32_t n = (which & 0x80) ? kBlock - 1 : kBlock;
      if (usb::take_identify_reply(block.data(), n)) {
        label = usb::firmware_label(usb::g_link.firmware_version.load(),
                                    usb::g_link.serial_number.load());
      }
      break;
    }
    case 1:
    case 2: {
      // The probe reads into 64 bytes, the TCP reply into 12.
      const size_t room = (which & 0x7F) % 3 == 1 ? 64 : 12;
      long n = static_cast<long>(std::min(got.size(), room));
      std::vector<uint8_t> reply(got.begin(), got.begin() + n);
      lan::Identity id;
      if (lan::identify_reply(reply.data(), n, &id)) {
        if (id.version > 0xFFFFFF || id.serial > 0xFF) std::abort();
        label = usb::firmware_label(id.version, id.serial);
      }
      lan::identify_reply(reply.data(), -1, &id);  // a failed receive
      break;
    }
  }
  if (!label.empty() && label.rfind("KMV410 V", 0) != 0) std::abort();
  return 0;
}
