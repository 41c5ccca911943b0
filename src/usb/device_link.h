// USB device link: finding, opening and identifying the receiver over the FIFO bridge, and the
// panel's two ways of reopening a lost link.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/bridge.h"

namespace usb {

struct LinkState {
  std::atomic<bridge::Handle> handle{
      nullptr};                               // open device; nullptr = none. UI thread opens/closes
  std::atomic<uint32_t> device_count{0};      // devices found; 0 = none or not counted yet
  std::atomic<uint32_t> bridge_status{0};     // last status of the open sequence's bridge calls
  std::atomic<uint32_t> last_reply_tag{0};    // tag of the last block whose reply was taken
  std::atomic<uint8_t> serial_number{0};      // from the identify reply
  std::atomic<uint32_t> firmware_version{0};  // from the identify reply
};
extern LinkState g_link;

// Command sequence counter shared by the identify commands, the stop messages and the LAN
// transmit; every thread takes the next value with next_sequence().
extern std::atomic<uint32_t> g_command_sequence;
inline uint32_t next_sequence() {
  return g_command_sequence.fetch_add(1) + 1;
}

// A block read of n bytes during the identify handshake: true when it is the identify reply,
// whose serial number, firmware version and reply tag are then stored in g_link.
bool take_identify_reply(const uint8_t* block, uint32_t n);

// Firmware label: "KMV410 V" + version in upper-case hex (3+ digits) + " S/N " + serial (4+).
std::string firmware_label(uint32_t version, uint32_t serial);

// Device-count query into g_link.device_count (0 on a failing query).
void count_devices();
// The first OpenHW's open sequence: open, configure, identify, label, start the stream task.
void open_sequence();

}  // namespace usb
