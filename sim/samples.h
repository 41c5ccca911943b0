// Sample source of the simulated receiver: tones plus noise per channel, or a test pattern in
// which every sample says where it is in the stream.
//
// Tones and noise are computed once per setting into a ring of kRingSamples samples per channel
// and then played from it, so that blocks cost little more than a copy even at 90 MS/s. Each
// tone is placed on the nearest multiple of rate / kRingSamples, so that it runs on across the
// ring's end without a jump; the noise repeats with the ring.
#pragma once

#include <cstdint>
#include <vector>

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
  static constexpr uint32_t kRingSamples = 1u << 16;

  SignalGenerator();
  // New parameters take effect at the next block; the stream position carries on.
  void set(const SignalParams& params);
  // Stream start: sample counters back to 0.
  void restart();
  // One block payload in the current format.
  void fill(uint8_t* payload);
  // Advance as if `blocks` payloads had been made.
  void skip(uint64_t blocks);
  // Samples made so far for the stream of a channel.
  uint64_t position(int channel) const { return count_[channel]; }

 private:
  void build_ring(int channel);
  void fill_pattern(uint8_t* payload);
  void fill_ring(uint8_t* payload);

  bool configured_ = false;
  SignalParams params_;
  // Per channel, the ring in both encodings: 24-bit I and Q, and the 16-bit word (I low, Q high).
  std::vector<int32_t> ring_i_[2], ring_q_[2];
  std::vector<uint32_t> ring16_[2];
  uint64_t count_[2] = {0, 0};
};

}  // namespace kmvsim
