// Every conversion variant the processor runs against the scalar one, and the scalar one against
// the host-sample rule, on random data: lengths that are no multiple of the vector step, odd
// block counts, unaligned inputs, block headers and trailers full of noise.
#include "usb/convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "usb/Usbtask1.h"

namespace {

constexpr uint8_t kGuard = 0xA5;

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& x : v) x = static_cast<uint8_t>(rng());
  return v;
}

// The host sample of one 16-bit word, written out independently of the code under test.
void expect_widened(const uint8_t* got, const uint8_t* w) {
  const uint8_t want[6] = {0x80, w[0], w[1], 0x80, w[2], w[3]};
  ASSERT_EQ(std::memcmp(got, want, 6), 0);
}

const usb::Converter& scalar() {
  return usb::converters().front();
}

// Output of n samples, guarded beyond the 2 bytes of slack a variant may write.
struct Out {
  explicit Out(size_t samples) : bytes(samples * 6 + 64, kGuard), samples(samples) {}
  uint8_t* data() { return bytes.data(); }
  bool guard_intact() const {
    for (size_t i = samples * 6 + 2; i < bytes.size(); ++i) {
      if (bytes[i] != kGuard) return false;
    }
    return true;
  }
  bool same_samples(const Out& o) const {
    return std::memcmp(bytes.data(), o.bytes.data(), samples * 6) == 0;
  }
  std::vector<uint8_t> bytes;
  size_t samples;
};

TEST(Convert, ScalarFollowsTheHostSampleRule) {
  ASSERT_STREQ(scalar().name, "scalar");
  auto words = random_bytes(4 * 1021, 1);
  Out single(1021), a(510), b(510);
  scalar().widen16(words.data(), 1021, single.data());
  scalar().widen16_dual(words.data(), 510, a.data(), b.data());
  for (int i = 0; i < 1021; ++i) expect_widened(&single.bytes[6 * i], &words[4 * i]);
  for (int i = 0; i < 510; ++i) {
    expect_widened(&a.bytes[6 * i], &words[8 * i]);
    expect_widened(&b.bytes[6 * i], &words[8 * i + 4]);
  }
  EXPECT_TRUE(single.guard_intact() && a.guard_intact() && b.guard_intact());
}

TEST(Convert, EveryVariantMatchesScalarAtEveryLengthAndAlignment) {
  auto words = random_bytes(4 * 2100 + 16, 2);
  std::vector<uint32_t> counts = {364, 1020, 1021, 2048};  // a LAN packet, a USB block, ...
  for (uint32_t n = 0; n <= 70; ++n) counts.push_back(n);
  for (const usb::Converter& c : usb::converters()) {
    for (uint32_t n : counts) {
      for (size_t offset : {0, 1, 4, 13}) {
        const uint8_t* in = words.data() + offset;
        SCOPED_TRACE(std::string(c.name) + " n=" + std::to_string(n) +
                     " offset=" + std::to_string(offset));
        Out want(n), got(n);
        scalar().widen16(in, n, want.data());
        c.widen16(in, n, got.data());
        EXPECT_TRUE(got.same_samples(want));
        EXPECT_TRUE(got.guard_intact());

        uint32_t pairs = n / 2 + n % 3;  // odd and even pair counts
        Out wa(pairs), wb(pairs), ga(pairs), gb(pairs);
        scalar().widen16_dual(in, pairs, wa.data(), wb.data());
        c.widen16_dual(in, pairs, ga.data(), gb.data());
        EXPECT_TRUE(ga.same_samples(wa) && gb.same_samples(wb));
        EXPECT_TRUE(ga.guard_intact() && gb.guard_intact());
      }
    }
  }
}

TEST(Convert, WholeTransfersMatchScalarAndLeaveHeadersAndTrailersOut) {
  auto transfer = random_bytes(usb::kReadBufferBytes, 3);
  constexpr uint32_t kSamples = usb::kHostBlockBytes / 6;
  for (const usb::Converter& c : usb::converters()) {
    for (uint32_t blocks : {1u, 3u, 127u, 128u, 191u, 192u, 255u, 256u}) {
      for (int mode = 0; mode < 3; ++mode) {
        bool sixteen = mode > 0, dual = mode == 2;
        uint32_t per_block = !sixteen ? 680 : dual ? 510 : 1020;
        if (blocks * per_block > kSamples) continue;
        SCOPED_TRACE(std::string(c.name) + " blocks=" + std::to_string(blocks) +
                     " mode=" + std::to_string(mode));
        Out wa(blocks * per_block), wb(blocks * per_block);
        Out ga(blocks * per_block), gb(blocks * per_block);
        usb::convert_transfer_with(scalar(), transfer.data(), blocks, sixteen, dual, wa.data(),
                                   wb.data());
        usb::convert_transfer_with(c, transfer.data(), blocks, sixteen, dual, ga.data(), gb.data());
        EXPECT_TRUE(ga.same_samples(wa) && ga.guard_intact());
        if (dual) {
          EXPECT_TRUE(gb.same_samples(wb) && gb.guard_intact());
        }
        // The last block's payload ends its part of the output; its trailer never appears.
        const uint8_t* last = transfer.data() + (blocks - 1) * usb::kBlockBytes + 4;
        if (!sixteen) {
          EXPECT_EQ(std::memcmp(&ga.bytes[(blocks - 1) * 4080], last, 4080), 0);
        } else if (!dual) {
          expect_widened(&ga.bytes[(blocks * 1020 - 1) * 6], last + 4076);
        } else {
          expect_widened(&ga.bytes[(blocks * 510 - 1) * 6], last + 4072);
          expect_widened(&gb.bytes[(blocks * 510 - 1) * 6], last + 4076);
        }
      }
    }
  }
}

TEST(Convert, TheVariantInUseIsTheBestAndTheEntryPointsUseIt) {
  auto list = usb::converters();
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(&usb::best_converter(), &list.back());
  auto words = random_bytes(4 * 1020, 4);
  Out want(1020), got(1020);
  usb::best_converter().widen16(words.data(), 1020, want.data());
  usb::widen16(words.data(), 1020, got.data());
  EXPECT_TRUE(got.same_samples(want));
#if defined(__x86_64__)
  // Every x86-64 processor this plug-in meets has SSSE3.
  EXPECT_GE(list.size(), 2u);
#endif
}

}  // namespace
