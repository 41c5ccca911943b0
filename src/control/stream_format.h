// What a link's stream set-up settles on, as a function of the panel's settings alone: the set-up
// runs it on the controls, and the rate list offered to a host runs it on the settings a pick
// would leave, so the two can never disagree.
#pragma once

#include <cstdint>

namespace control {

constexpr int kClockMin = 70;        // MHz
constexpr int kClockMax = 200;       // MHz
constexpr int kDecimationItems = 6;  // "2" .. "64"
constexpr int kLastDecimationIndex = 5;

// Summed rate of a link's streams, MS/s.
struct RateLimits {
  float sixteen_bit;
  float twenty_four_bit;
};
constexpr RateLimits kUsbLimits = {90.0f, 60.0f};
constexpr RateLimits kLanLimits = {30.0f, 20.0f};

// One link's stream settings as the panel holds them.
struct StreamSettings {
  int clock;  // MHz as typed; held to its range here
  int width;  // 24 (automatic, or fixed 24) or 16 to start from
  bool on1, on2;
  int index1, index2;  // selector item indexes, -1 for none
};

// What the set-up loop settled on.
struct StreamFormat {
  bool sixteen_bit;
  bool dual;
  float rate;          // MS/s, both streams together
  int index1, index2;  // selector indexes after raising (unchanged ones as given)
};

// Item index 0..5 that a selector index stands for.
int decimation_index(int item_index);

// Width, dual stream and the decimations that keep the link within its limits.
StreamFormat settle_format(StreamSettings s, RateLimits limits);

// Per-stream sample rate in Hz.
int32_t per_stream_rate(const StreamFormat& f);

}  // namespace control
