// A bridge library with only the device count: the loader must refuse it as a whole.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) uint32_t KMVB_DeviceCount(uint32_t* count) {
  if (count) *count = 1;
  return 0;
}
