// Sample source of the simulated receiver: tones plus noise per channel, or a test pattern in
// which every sample says where it is in the stream.
#pragma once

#include <cstdint>

#include "receiver.h"

namespace kmvsim {

struct Tone {
  double frequency_hz = 0;  // absolute RF frequency, or an offset from the channel's frequency
  double level_dbfs = -20;
  bool relative = true;
  bool operator==(const Tone&) const = default;
};

struct SignalConfig {
  static constexpr int kMaxTones = 8;
  bool pattern = false;
  Tone tones[2][kMaxTones] = {};
  int tone_count[2] = {0, 0};
  double noise_dbfs[2] = {-80, -80};

  // One tone per channel near the tuned frequency, and a noise floor.
  static SignalConfig defaults();
  bool operator==(const SignalConfig&) const = default;
};

// Everything the samples of the next blocks depend on.
struct SignalParams {
  SignalConfig config;
  StreamFormat format;
  double rate_hz = 1;
  uint32_t frequency[2] = {0, 0};
  double gain[2] = {1, 1};
  bool operator==(const SignalParams&) const = default;
};

class SignalGenerator {
 public:
  static constexpr uint32_t kPayloadBytes = 4080;

  SignalGenerator();
  // New parameters take effect at the next block; tone phases carry on.
  void set(const SignalParams& params);
  // Stream start: sample counters and phases back to 0.
  void restart();
  // One block payload in the current format.
  void fill(uint8_t* payload);
  // Advance as if `blocks` payloads had been made.
  void skip(uint64_t blocks);
  // Samples made so far for the stream of a channel.
  uint64_t position(int channel) const { return count_[channel]; }

 private:
  struct Oscillator {
    uint32_t phase = 0;
    uint32_t step = 0;
    float amplitude = 0;
  };

  void sample(int channel, int32_t& i, int32_t& q);
  void sample16(int channel, uint8_t* out);
  void advance(int channel, uint64_t samples);

  bool configured_ = false;
  SignalParams params_;
  Oscillator osc_[2][SignalConfig::kMaxTones];
  int oscillators_[2] = {0, 0};
  float noise_[2] = {0, 0};
  uint32_t rng_ = 0x2545F491u;
  uint64_t count_[2] = {0, 0};
};

}  // namespace kmvsim
