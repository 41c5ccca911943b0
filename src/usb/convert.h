// Sample conversion into host blocks, in every instruction-set variant this build has. The
// streaming paths use the best one the processor runs (chosen once, at first use); tests and
// benchmarks reach every variant through the same table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace usb {

struct Converter {
  const char* name;  // "scalar", "ssse3", "avx2"
  // 16-bit words (I low half, Q high half) to 6-byte host samples; `out` needs 2 bytes of slack.
  void (*widen16)(const uint8_t* words, uint32_t count, uint8_t* out);
  // Word pairs: even words to a, odd words to b, widened as above.
  void (*widen16_dual)(const uint8_t* words, uint32_t pairs, uint8_t* a, uint8_t* b);
};

// The variants this processor runs, scalar first, best last.
std::span<const Converter> converters();
// The best of them.
const Converter& best_converter();

// One complete transfer of `blocks` USB blocks into host blocks with the given variant.
void convert_transfer_with(const Converter& c, const uint8_t* transfer, uint32_t blocks,
                           bool sixteen_bit, bool dual, uint8_t* a, uint8_t* b);

}  // namespace usb
