#include "samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "kmvsim.h"

namespace kmvsim {
namespace {

constexpr double kFullScale24 = 8388607.0;
constexpr uint32_t kRingMask = SignalGenerator::kRingSamples - 1;

int32_t clamp24(double v) {
  return int32_t(std::clamp(v, -kFullScale24 - 1, kFullScale24));
}

// The receiver's 16-bit output is its 24-bit value rounded to the top 16 bits.
int32_t to16(int32_t v24) {
  return std::clamp((v24 + 128) >> 8, -32768, 32767);
}

uint32_t word16(int32_t i, int32_t q) {
  return (uint32_t(i) & 0xFFFF) | uint32_t(q) << 16;
}

void put24(uint8_t* p, int32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
}

void put32(uint8_t* p, uint32_t v) {
  std::memcpy(p, &v, 4);
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
  SignalParams p;
  p.config = SignalConfig::defaults();
  set(p);
}

void SignalGenerator::set(const SignalParams& params) {
  if (configured_ && params == params_) return;
  const bool rebuild =
      !configured_ || params.config != params_.config || params.rate_hz != params_.rate_hz ||
      params.frequency[0] != params_.frequency[0] || params.frequency[1] != params_.frequency[1] ||
      params.gain[0] != params_.gain[0] || params.gain[1] != params_.gain[1];
  configured_ = true;
  params_ = params;
  if (rebuild && !params.config.pattern) {
    build_ring(0);
    build_ring(1);
  }
}

void SignalGenerator::build_ring(int ch) {
  const SignalConfig& c = params_.config;
  const double rate = params_.rate_hz;
  std::vector<double> si(kRingSamples, 0.0), sq(kRingSamples, 0.0);
  for (int t = 0; t < std::min(c.tone_count[ch], SignalConfig::kMaxTones); ++t) {
    const Tone& tone = c.tones[ch][t];
    const double offset =
        tone.relative ? tone.frequency_hz : tone.frequency_hz - double(params_.frequency[ch]);
    // The receiver's filters keep only what lies inside the band.
    if (std::abs(offset) >= rate / 2) continue;
    const int64_t cycles = std::llround(offset / rate * kRingSamples);
    const double amplitude =
        kFullScale24 * std::pow(10.0, tone.level_dbfs / 20.0) * params_.gain[ch];
    for (uint32_t k = 0; k < kRingSamples; ++k) {
      const double phase =
          2.0 * std::numbers::pi * double((cycles * int64_t(k)) & kRingMask) / kRingSamples;
      si[k] += amplitude * std::cos(phase);
      sq[k] += amplitude * std::sin(phase);
    }
  }
  // Two uniform draws per component: a cheap, bounded, roughly bell-shaped noise.
  uint32_t rng = 0x2545F491u + uint32_t(ch);
  auto draw = [&rng] {
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return double(int32_t(rng)) / 2147483648.0;
  };
  const double noise = kFullScale24 * std::pow(10.0, c.noise_dbfs[ch] / 20.0);
  ring_i_[ch].resize(kRingSamples);
  ring_q_[ch].resize(kRingSamples);
  ring16_[ch].resize(kRingSamples);
  for (uint32_t k = 0; k < kRingSamples; ++k) {
    const int32_t i = clamp24(si[k] + noise * 0.5 * (draw() + draw()));
    const int32_t q = clamp24(sq[k] + noise * 0.5 * (draw() + draw()));
    ring_i_[ch][k] = i;
    ring_q_[ch][k] = q;
    ring16_[ch][k] = word16(to16(i), to16(q));
  }
}

void SignalGenerator::restart() {
  count_[0] = count_[1] = 0;
}

void SignalGenerator::fill(uint8_t* payload) {
  if (params_.config.pattern) {
    fill_pattern(payload);
  } else {
    fill_ring(payload);
  }
}

void SignalGenerator::fill_pattern(uint8_t* payload) {
  const StreamFormat& f = params_.format;
  const uint32_t n = f.samples_per_block();
  if (f.dual) {
    for (uint32_t k = 0; k < n; ++k) {
      const uint64_t a = count_[0] + k, b = count_[1] + k;
      put32(payload + 8 * k, word16(KMVSIM_PatternI(0, a, 16), KMVSIM_PatternQ(0, a, 16)));
      put32(payload + 8 * k + 4, word16(KMVSIM_PatternI(1, b, 16), KMVSIM_PatternQ(1, b, 16)));
    }
    count_[0] += n;
    count_[1] += n;
    return;
  }
  const int ch = f.channel;
  const uint64_t base = count_[ch];
  if (f.bits16) {
    for (uint32_t k = 0; k < n; ++k) {
      put32(payload + 4 * k,
            word16(KMVSIM_PatternI(ch, base + k, 16), KMVSIM_PatternQ(ch, base + k, 16)));
    }
  } else {
    for (uint32_t k = 0; k < n; ++k) {
      put24(payload + 6 * k, KMVSIM_PatternI(ch, base + k, 24));
      put24(payload + 6 * k + 3, KMVSIM_PatternQ(ch, base + k, 24));
    }
  }
  count_[ch] += n;
}

void SignalGenerator::fill_ring(uint8_t* payload) {
  const StreamFormat& f = params_.format;
  const uint32_t n = f.samples_per_block();
  if (f.dual) {
    const uint32_t* a = ring16_[0].data();
    const uint32_t* b = ring16_[1].data();
    for (uint32_t k = 0; k < n; ++k) {
      put32(payload + 8 * k, a[(count_[0] + k) & kRingMask]);
      put32(payload + 8 * k + 4, b[(count_[1] + k) & kRingMask]);
    }
    count_[0] += n;
    count_[1] += n;
    return;
  }
  const int ch = f.channel;
  const uint32_t start = uint32_t(count_[ch] & kRingMask);
  if (f.bits16) {
    // The ring holds the words as they go out: one copy, two where the ring wraps.
    const uint32_t first = std::min(n, kRingMask + 1 - start);
    std::memcpy(payload, ring16_[ch].data() + start, size_t(first) * 4);
    std::memcpy(payload + size_t(first) * 4, ring16_[ch].data(), size_t(n - first) * 4);
  } else {
    const int32_t* ri = ring_i_[ch].data();
    const int32_t* rq = ring_q_[ch].data();
    for (uint32_t k = 0; k < n; ++k) {
      const uint32_t idx = (start + k) & kRingMask;
      put24(payload + 6 * k, ri[idx]);
      put24(payload + 6 * k + 3, rq[idx]);
    }
  }
  count_[ch] += n;
}

void SignalGenerator::skip(uint64_t blocks) {
  const StreamFormat& f = params_.format;
  const uint64_t samples = blocks * f.samples_per_block();
  if (f.dual) {
    count_[0] += samples;
    count_[1] += samples;
  } else {
    count_[f.channel] += samples;
  }
}

}  // namespace kmvsim
