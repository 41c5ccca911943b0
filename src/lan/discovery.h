// LAN discovery's reading of the receiver's identify reply (the panel's "Connect" button).
#pragma once

#include <cstdint>

namespace lan {

struct Identity {
  uint32_t version = 0;
  uint32_t serial = 0;
};

// An identify reply of n bytes as received (n < 0: a failed receive): true, with the identity,
// when it is one.
bool identify_reply(const uint8_t* reply, long n, Identity* id);

}  // namespace lan
