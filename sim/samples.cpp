#include "samples.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "kmvsim.h"

namespace kmvsim {
namespace {

constexpr double kFullScale24 = 8388607.0;
constexpr int kTableBits = 12;
constexpr uint32_t kTableSize = 1u << kTableBits;
constexpr uint32_t kQuarter = kTableSize / 4;

const float* sine_table() {
  static const struct Table {
    float v[kTableSize];
    Table() {
      for (uint32_t k = 0; k < kTableSize; ++k) {
        v[k] = float(std::sin(2.0 * std::numbers::pi * k / kTableSize));
      }
    }
  } table;
  return table.v;
}

int32_t clamp24(float v) {
  return int32_t(std::clamp(v, float(-kFullScale24 - 1), float(kFullScale24)));
}

void put24(uint8_t* p, int32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
}

void put16(uint8_t* p, int32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

// The receiver's 16-bit output is its 24-bit value rounded to the top 16 bits.
int32_t to16(int32_t v24) {
  return std::clamp((v24 + 128) >> 8, -32768, 32767);
}

}  // namespace

SignalConfig SignalConfig::defaults() {
  SignalConfig c;
  c.tones[0][0] = {100000.0, -20.0, true};
  c.tones[1][0] = {-250000.0, -30.0, true};
  c.tone_count[0] = c.tone_count[1] = 1;
  return c;
}

SignalGenerator::SignalGenerator() {
  sine_table();
  SignalParams p;
  p.config = SignalConfig::defaults();
  set(p);
}

void SignalGenerator::set(const SignalParams& params) {
  if (configured_ && params == params_) return;
  configured_ = true;
  params_ = params;
  for (int ch = 0; ch < 2; ++ch) {
    const SignalConfig& c = params.config;
    int n = 0;
    for (int t = 0; t < std::min(c.tone_count[ch], SignalConfig::kMaxTones); ++t) {
      const Tone& tone = c.tones[ch][t];
      const double offset =
          tone.relative ? tone.frequency_hz : tone.frequency_hz - double(params.frequency[ch]);
      // The receiver's filters keep only what lies inside the band.
      if (std::abs(offset) >= params.rate_hz / 2) continue;
      Oscillator& o = osc_[ch][n++];
      o.step = uint32_t(int64_t(std::llround(offset / params.rate_hz * 4294967296.0)));
      o.amplitude = float(kFullScale24 * std::pow(10.0, tone.level_dbfs / 20.0) * params.gain[ch]);
    }
    oscillators_[ch] = n;
    noise_[ch] = float(kFullScale24 * std::pow(10.0, c.noise_dbfs[ch] / 20.0));
  }
}

void SignalGenerator::restart() {
  count_[0] = count_[1] = 0;
  for (auto& channel : osc_) {
    for (Oscillator& o : channel) o.phase = 0;
  }
}

void SignalGenerator::sample(int channel, int32_t& i, int32_t& q) {
  if (params_.config.pattern) {
    const uint32_t bits = params_.format.bits16 ? 16 : 24;
    i = KMVSIM_PatternI(uint32_t(channel), count_[channel], bits);
    q = KMVSIM_PatternQ(uint32_t(channel), count_[channel], bits);
    ++count_[channel];
    return;
  }
  const float* table = sine_table();
  float si = 0, sq = 0;
  for (int t = 0; t < oscillators_[channel]; ++t) {
    Oscillator& o = osc_[channel][t];
    const uint32_t k = o.phase >> (32 - kTableBits);
    si += o.amplitude * table[(k + kQuarter) & (kTableSize - 1)];
    sq += o.amplitude * table[k];
    o.phase += o.step;
  }
  // Two uniform draws per component: a cheap, bounded, roughly bell-shaped noise.
  auto draw = [this] {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    return float(int32_t(rng_)) * (1.0f / 2147483648.0f);
  };
  const float a = noise_[channel];
  si += a * 0.5f * (draw() + draw());
  sq += a * 0.5f * (draw() + draw());
  i = clamp24(si);
  q = clamp24(sq);
  ++count_[channel];
}

void SignalGenerator::sample16(int channel, uint8_t* out) {
  int32_t i, q;
  sample(channel, i, q);
  if (!params_.config.pattern) {
    i = to16(i);
    q = to16(q);
  }
  put16(out, i);
  put16(out + 2, q);
}

void SignalGenerator::fill(uint8_t* payload) {
  const StreamFormat& f = params_.format;
  if (f.dual) {
    for (uint32_t k = 0; k < f.samples_per_block(); ++k) {
      sample16(0, payload + 8 * k);
      sample16(1, payload + 8 * k + 4);
    }
  } else if (f.bits16) {
    for (uint32_t k = 0; k < f.samples_per_block(); ++k) sample16(f.channel, payload + 4 * k);
  } else {
    for (uint32_t k = 0; k < f.samples_per_block(); ++k) {
      int32_t i, q;
      sample(f.channel, i, q);
      put24(payload + 6 * k, i);
      put24(payload + 6 * k + 3, q);
    }
  }
}

void SignalGenerator::advance(int channel, uint64_t samples) {
  count_[channel] += samples;
  for (int t = 0; t < oscillators_[channel]; ++t) {
    Oscillator& o = osc_[channel][t];
    o.phase += uint32_t(uint64_t(o.step) * samples);
  }
}

void SignalGenerator::skip(uint64_t blocks) {
  const StreamFormat& f = params_.format;
  const uint64_t samples = blocks * f.samples_per_block();
  if (f.dual) {
    advance(0, samples);
    advance(1, samples);
  } else {
    advance(f.channel, samples);
  }
}

}  // namespace kmvsim
