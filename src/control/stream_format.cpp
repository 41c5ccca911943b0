#include "control/stream_format.h"

#include <algorithm>
#include <cmath>

namespace control {

namespace {

float stream_rate(int clock, int item_index) {
  return static_cast<float>(clock) / static_cast<float>(2 << decimation_index(item_index));
}

// One step up the decimation of the stream that counts; false when both are at 64 already.
bool raise_decimation(StreamSettings& s) {
  int i1 = decimation_index(s.index1);
  if (i1 < kLastDecimationIndex) {
    s.index1 = i1 + 1;
    if (s.on2) s.index2 = i1 + 1;
    return true;
  }
  int i2 = decimation_index(s.index2);
  if (i2 >= kLastDecimationIndex) return false;
  s.index2 = i2 + 1;
  if (s.on1) s.index1 = i2 + 1;
  return true;
}

}  // namespace

int decimation_index(int item_index) {
  return std::clamp(item_index, 0, kLastDecimationIndex);
}

StreamFormat settle_format(StreamSettings s, RateLimits limits) {
  int width = s.width == 24 ? 24 : 16;
  bool dual = s.on1 && s.on2;
  if (dual) {
    s.index2 = decimation_index(s.index1);
    width = 16;
  }
  // With the clock held to its range, decimation 64 brings every case within the limits.
  int clock = std::clamp(s.clock, kClockMin, kClockMax);
  float rate = 0.0f;
  for (;;) {
    rate = 0.0f;
    if (s.on1 || !s.on2) rate = stream_rate(clock, s.index1);
    if (s.on2) rate += stream_rate(clock, s.index2);
    if (width == 16 && rate > limits.sixteen_bit) {
      if (!raise_decimation(s)) break;
    } else if (width == 24 && rate > limits.twenty_four_bit) {
      width = 16;
    }
    if (!(rate > limits.sixteen_bit)) break;
  }
  return {width == 16, dual, rate, s.index1, s.index2};
}

int32_t per_stream_rate(const StreamFormat& f) {
  int32_t sr = static_cast<int32_t>(std::lround(static_cast<double>(f.rate) * 1000000.0));
  return f.dual ? sr >> 1 : sr;
}

}  // namespace control
