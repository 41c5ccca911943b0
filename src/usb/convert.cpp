// Sample conversion variants and the choice among them.
#include "usb/convert.h"

#include <cstring>

#include "usb/Usbtask1.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KMV_X86 1
#endif

namespace usb {

namespace {

inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// One 8-byte store per sample; the next sample overwrites its last 2 bytes.
inline void widen_one(uint32_t w, uint8_t* out) {
  uint64_t v = 0x80u | uint64_t(w & 0xFFFFu) << 8 | uint64_t(0x80u) << 24 | uint64_t(w >> 16) << 32;
  std::memcpy(out, &v, 8);
}

void widen16_scalar(const uint8_t* words, uint32_t count, uint8_t* out) {
  for (uint32_t i = 0; i < count; ++i) widen_one(le32(words + 4 * i), out + 6 * i);
}

void widen16_dual_scalar(const uint8_t* words, uint32_t pairs, uint8_t* a, uint8_t* b) {
  for (uint32_t i = 0; i < pairs; ++i) {
    widen_one(le32(words + 8 * i), a + 6 * i);
    widen_one(le32(words + 8 * i + 4), b + 6 * i);
  }
}

#ifdef KMV_X86
// The vector variants take 16 samples (96 output bytes, six 16-byte lanes) per step. Lane j is
// shuffled from the four samples starting at kLaneStart[j]: every lane's samples lie within
// those four, and all starts stay inside the step's 16 samples, so no load reads past them.
constexpr uint32_t kStep = 16;
constexpr int kLaneStart[6] = {0, 2, 4, 8, 10, 12};

struct Tables {
  alignas(32) int8_t index[96];  // byte of the lane's four samples, or -128 for a 0x80 byte
  alignas(32) int8_t fill[96];   // 0x80 where the host sample's low byte goes
};

constexpr Tables make_tables() {
  Tables t{};
  for (int pos = 0; pos < 96; ++pos) {
    int sample = pos / 6, r = pos % 6, lane = pos / 16;
    bool pad = r == 0 || r == 3;
    t.index[pos] = pad ? int8_t(-128) : int8_t(4 * (sample - kLaneStart[lane]) + r - 1 - (r > 3));
    t.fill[pos] = pad ? int8_t(-128) : int8_t(0);
  }
  return t;
}
constexpr Tables kTables = make_tables();

constexpr bool tables_in_range() {
  for (int8_t x : kTables.index) {
    if (x != -128 && (x < 0 || x > 15)) return false;
  }
  return true;
}
static_assert(tables_in_range(), "a lane reaches beyond its four samples");

#define KMV_SSSE3 __attribute__((target("ssse3")))
#define KMV_AVX2 __attribute__((target("avx2")))

KMV_SSSE3 inline void lane_ssse3(__m128i v, int j, uint8_t* out) {
  const __m128i idx = _mm_load_si128(reinterpret_cast<const __m128i*>(kTables.index + 16 * j));
  const __m128i fill = _mm_load_si128(reinterpret_cast<const __m128i*>(kTables.fill + 16 * j));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * j),
                   _mm_or_si128(_mm_shuffle_epi8(v, idx), fill));
}

// s[q] holds samples 4q..4q+3.
KMV_SSSE3 inline void step_ssse3(const __m128i s[4], uint8_t* out) {
  lane_ssse3(s[0], 0, out);
  lane_ssse3(_mm_alignr_epi8(s[1], s[0], 8), 1, out);
  lane_ssse3(s[1], 2, out);
  lane_ssse3(s[2], 3, out);
  lane_ssse3(_mm_alignr_epi8(s[3], s[2], 8), 4, out);
  lane_ssse3(s[3], 5, out);
}

// Where the last step starts. A tail shorter than a step is done by one more step that ends at
// the last sample and writes again, with the same bytes, some samples already done: the scalar
// loop costs six times as much per sample, which would be a tenth of the whole in a dual block.
inline uint32_t last_step(uint32_t count) {
  return count >= kStep ? count - kStep : 0;
}

KMV_SSSE3 inline void widen_step_ssse3(const uint8_t* w, uint8_t* o) {
#pragma GCC unroll 6
  for (int j = 0; j < 6; ++j) {
    lane_ssse3(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 4 * kLaneStart[j])), j, o);
  }
}

KMV_SSSE3 void widen16_ssse3(const uint8_t* words, uint32_t count, uint8_t* out) {
  if (count < kStep) return widen16_scalar(words, count, out);
  uint32_t i = 0;
  for (; i + kStep <= count; i += kStep) widen_step_ssse3(words + 4 * i, out + 6 * i);
  if (i < count) widen_step_ssse3(words + 4 * last_step(count), out + 6 * last_step(count));
}

KMV_SSSE3 inline void dual_step_ssse3(const uint8_t* w, uint8_t* a, uint8_t* b) {
  __m128i sa[4], sb[4];
#pragma GCC unroll 4
  for (int q = 0; q < 4; ++q) {
    // [a0 b0 a1 b1] [a2 b2 a3 b3] -> [a0 a1 a2 a3] [b0 b1 b2 b3]
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 32 * q));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 32 * q + 16));
    x = _mm_shuffle_epi32(x, _MM_SHUFFLE(3, 1, 2, 0));
    y = _mm_shuffle_epi32(y, _MM_SHUFFLE(3, 1, 2, 0));
    sa[q] = _mm_unpacklo_epi64(x, y);
    sb[q] = _mm_unpackhi_epi64(x, y);
  }
  step_ssse3(sa, a);
  step_ssse3(sb, b);
}

KMV_SSSE3 void widen16_dual_ssse3(const uint8_t* words, uint32_t pairs, uint8_t* a, uint8_t* b) {
  if (pairs < kStep) return widen16_dual_scalar(words, pairs, a, b);
  uint32_t i = 0;
  for (; i + kStep <= pairs; i += kStep) dual_step_ssse3(words + 8 * i, a + 6 * i, b + 6 * i);
  const uint32_t l = last_step(pairs);
  if (i < pairs) dual_step_ssse3(words + 8 * l, a + 6 * l, b + 6 * l);
}

// lo holds samples 0..7, hi 8..15; each 32-byte store is two lanes.
KMV_AVX2 inline void step_avx2(__m256i lo, __m256i hi, uint8_t* out) {
  const __m256i* idx = reinterpret_cast<const __m256i*>(kTables.index);
  const __m256i* fill = reinterpret_cast<const __m256i*>(kTables.fill);
  __m256i c0 = _mm256_permutevar8x32_epi32(lo, _mm256_setr_epi32(0, 1, 2, 3, 2, 3, 4, 5));
  __m256i c1 = _mm256_permute2x128_si256(lo, hi, 0x21);
  __m256i c2 = _mm256_permutevar8x32_epi32(hi, _mm256_setr_epi32(2, 3, 4, 5, 4, 5, 6, 7));
  __m256i* o = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(
      o, _mm256_or_si256(_mm256_shuffle_epi8(c0, _mm256_load_si256(idx)), _mm256_load_si256(fill)));
  _mm256_storeu_si256(o + 1, _mm256_or_si256(_mm256_shuffle_epi8(c1, _mm256_load_si256(idx + 1)),
                                             _mm256_load_si256(fill + 1)));
  _mm256_storeu_si256(o + 2, _mm256_or_si256(_mm256_shuffle_epi8(c2, _mm256_load_si256(idx + 2)),
                                             _mm256_load_si256(fill + 2)));
}

KMV_AVX2 inline void widen_step_avx2(const uint8_t* words, uint8_t* out) {
  const __m256i* w = reinterpret_cast<const __m256i*>(words);
  step_avx2(_mm256_loadu_si256(w), _mm256_loadu_si256(w + 1), out);
}

KMV_AVX2 void widen16_avx2(const uint8_t* words, uint32_t count, uint8_t* out) {
  if (count < kStep) return widen16_scalar(words, count, out);
  uint32_t i = 0;
  for (; i + kStep <= count; i += kStep) widen_step_avx2(words + 4 * i, out + 6 * i);
  if (i < count) widen_step_avx2(words + 4 * last_step(count), out + 6 * last_step(count));
}

KMV_AVX2 inline void dual_step_avx2(const uint8_t* words, uint8_t* a, uint8_t* b) {
  // [a0 b0 a1 b1 a2 b2 a3 b3] -> [a0 a1 a2 a3 | b0 b1 b2 b3]
  const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256i* w = reinterpret_cast<const __m256i*>(words);
  __m256i x0 = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(w), split);
  __m256i x1 = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(w + 1), split);
  __m256i x2 = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(w + 2), split);
  __m256i x3 = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(w + 3), split);
  step_avx2(_mm256_permute2x128_si256(x0, x1, 0x20), _mm256_permute2x128_si256(x2, x3, 0x20), a);
  step_avx2(_mm256_permute2x128_si256(x0, x1, 0x31), _mm256_permute2x128_si256(x2, x3, 0x31), b);
}

KMV_AVX2 void widen16_dual_avx2(const uint8_t* words, uint32_t pairs, uint8_t* a, uint8_t* b) {
  if (pairs < kStep) return widen16_dual_scalar(words, pairs, a, b);
  uint32_t i = 0;
  for (; i + kStep <= pairs; i += kStep) dual_step_avx2(words + 8 * i, a + 6 * i, b + 6 * i);
  const uint32_t l = last_step(pairs);
  if (i < pairs) dual_step_avx2(words + 8 * l, a + 6 * l, b + 6 * l);
}
#endif

struct Supported {
  Converter list[3];
  size_t count = 0;
};

Supported detect() {
  Supported s;
  s.list[s.count++] = {"scalar", widen16_scalar, widen16_dual_scalar};
#ifdef KMV_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3")) {
    s.list[s.count++] = {"ssse3", widen16_ssse3, widen16_dual_ssse3};
  }
  // Also checks that the system saves the AVX registers.
  if (__builtin_cpu_supports("avx2")) s.list[s.count++] = {"avx2", widen16_avx2, widen16_dual_avx2};
#endif
  return s;
}

// Chosen once; the first use from any thread waits for it.
const Supported& supported() {
  static const Supported s = detect();
  return s;
}

}  // namespace

std::span<const Converter> converters() {
  const Supported& s = supported();
  return {s.list, s.count};
}

const Converter& best_converter() {
  const Supported& s = supported();
  return s.list[s.count - 1];
}

void convert_transfer_with(const Converter& c, const uint8_t* transfer, uint32_t blocks,
                           bool sixteen_bit, bool dual, uint8_t* a, uint8_t* b) {
  constexpr uint32_t kWordsPerBlock = kPayloadBytes / 4;  // 1020
  for (uint32_t k = 0; k < blocks; ++k) {
    const uint8_t* payload = transfer + k * kBlockBytes + 4;
    if (!sixteen_bit) {
      std::memcpy(a + k * kPayloadBytes, payload, kPayloadBytes);
    } else if (!dual) {
      c.widen16(payload, kWordsPerBlock, a + k * kWordsPerBlock * 6);
    } else {
      uint32_t at = k * (kWordsPerBlock / 2) * 6;
      c.widen16_dual(payload, kWordsPerBlock / 2, a + at, b + at);
    }
  }
}

void convert_transfer(const uint8_t* transfer, uint32_t blocks, bool sixteen_bit, bool dual,
                      uint8_t* a, uint8_t* b) {
  convert_transfer_with(best_converter(), transfer, blocks, sixteen_bit, dual, a, b);
}

void widen16(const uint8_t* words, uint32_t count, uint8_t* out) {
  best_converter().widen16(words, count, out);
}

void widen16_dual(const uint8_t* words, uint32_t pairs, uint8_t* a, uint8_t* b) {
  best_converter().widen16_dual(words, pairs, a, b);
}

}  // namespace usb
