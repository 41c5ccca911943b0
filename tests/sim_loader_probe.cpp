// A stand-in for the plug-in: a shared library with its own copy of the bridge loader, built into
// a folder that also holds a copy of the simulator's bridge library.
#include "platform/bridge.h"

extern "C" __attribute__((visibility("default"))) uint32_t probe_device_count(uint32_t* count) {
  return bridge::device_count(count);
}
