// Host callbacks: the four slots, the binding of the panel's stream boxes to them, delivery of
// sample blocks and the notifications.
#pragma once

#include <atomic>
#include <cstdint>

#include "plugin/ExtIO_KMV410B211.h"

namespace plugin {

enum StreamKind : int32_t { kNone = 0, kUsb1 = 1, kLan1 = 2, kUsb2 = 3, kLan2 = 4 };

enum Notification : int32_t {
  kSampleRateChanged = 100,
  kLoChanged = 101,
  kLoLocked = 102,
  kLoUnlocked = 103,
  kAttenuatorChanged = 125,
};

struct Slot {
  std::atomic<ExtIOCallback> callback{nullptr};  // set once by SetCallback, never cleared
  std::atomic<int32_t> kind{kNone};              // set by the stream binding
};
constexpr int kSlots = 4;
extern Slot g_slots[kSlots];

// Store a host callback in the first free slot; a pointer already stored is ignored (a host
// that registers again at every open would otherwise receive every block several times).
// Returns false when ignored.
bool store_callback(ExtIOCallback cb);

// Recompute the stream kinds from CB_USB1, CB_LAN1, CB_USB2, CB_LAN2 (needs the panel).
void bind_streams();

// Hand one converted transfer to the slots of a link (stream task threads). For USB, a is output
// buffer A, b buffer B; for LAN, the channel-1 and channel-2 blocks.
void deliver_usb(void* a, void* b, bool dual);
void deliver_lan(void* a, void* b, bool dual);
// True on a stream task's thread while it is inside a host's sample callback.
bool in_sample_callback();

// Acknowledged notification (100, 101) to one slot: waits, bounded by Timer3, until the host has
// read the previous value, then raises the flag, points the selector and calls the slot.
void notify_rate(int slot, int32_t selector);
void notify_lo(int slot, int32_t selector);
// Every bound host view is told of a new LO (channel-1 kinds first per slot, then channel-2).
void notify_lo_all();
// Unacknowledged notifications: 102 / 103 to every slot with a callback; 125 to channel-1 slots.
void notify_all(int32_t code);
void notify_attenuator();

}  // namespace plugin
