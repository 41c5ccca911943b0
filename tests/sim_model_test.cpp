// The simulated receiver's model in-process: command handling, firmware memory and samples.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "kmvsim.h"
#include "receiver.h"
#include "samples.h"

namespace {

using kmvsim::Receiver;
using kmvsim::SignalGenerator;
using kmvsim::StreamFormat;

std::vector<uint8_t> message(uint32_t sequence, std::vector<uint8_t> command) {
  std::vector<uint8_t> m = {uint8_t(sequence), uint8_t(sequence >> 8), uint8_t(sequence >> 16),
                            uint8_t(sequence >> 24)};
  m.insert(m.end(), command.begin(), command.end());
  while (m.size() % 4) m.push_back(0xEE);  // fill bytes of any value
  return m;
}

Receiver::Outcome handle(Receiver& r, uint32_t sequence, std::vector<uint8_t> command) {
  const std::vector<uint8_t> m = message(sequence, std::move(command));
  return r.handle(m.data(), m.size());
}

TEST(StreamFormat, DecodesTheFormatByte) {
  StreamFormat f = StreamFormat::decode(0x03);
  EXPECT_EQ(f.decimation, 16u);
  EXPECT_FALSE(f.bits16);
  EXPECT_FALSE(f.dual);
  EXPECT_EQ(f.channel, 0);
  EXPECT_EQ(f.samples_per_block(), 680u);

  f = StreamFormat::decode(0x0D);  // stream 2 alone, decimation 64, 24-bit
  EXPECT_EQ(f.decimation, 64u);
  EXPECT_EQ(f.channel, 1);
  EXPECT_FALSE(f.bits16);

  f = StreamFormat::decode(0x33);  // both streams at decimation 16
  EXPECT_TRUE(f.dual);
  EXPECT_TRUE(f.bits16);
  EXPECT_EQ(f.samples_per_block(), 510u);

  f = StreamFormat::decode(0x20);
  EXPECT_EQ(f.decimation, 2u);
  EXPECT_EQ(f.samples_per_block(), 1020u);

  EXPECT_EQ(StreamFormat::decode(0x07).decimation, 64u);  // out-of-range index held at 64
}

TEST(Receiver, AnswersEachCommandWithItsCodeAndSequence) {
  Receiver r;
  auto o = handle(r, 10, {0xF5, 0x00, 0xF1, 0xD8, 0x00});  // GPS value -9999
  ASSERT_EQ(o.count, 1);
  EXPECT_EQ(o.replies[0].word, 0xF5u | 0u << 8 | 0xD8F1u << 16);
  EXPECT_EQ(o.replies[0].value, 10u);
  EXPECT_EQ(r.frontend[0], 0xD8F1u);

  o = handle(r, 11, {0xF5, 0x06, 0x3A, 0x75, 0x00});  // antenna tuning 30010
  EXPECT_EQ(o.replies[0].word, 0xF5u | 6u << 8 | 30010u << 16);

  o = handle(r, 12, {0xF2, 0x7D, 0x00, 0x00});
  EXPECT_EQ(o.replies[0].word, 0xF2u | 125u << 8);
  o = handle(r, 13, {0xF2, 250, 0x00, 0x00});  // beyond the clock range
  EXPECT_EQ(o.replies[0].word, 0xF2u | 200u << 8);
  EXPECT_EQ(r.clock_mhz, 200u);

  o = handle(r, 14, {0xB4, 0x03, 0x00, 0x03, 0x00});  // channel mode only: Diversity
  EXPECT_EQ(o.replies[0].word, 0xB4u);
  EXPECT_EQ(r.mode, 3);
  EXPECT_EQ(r.usb_format, Receiver::kDefaultFormat);
  handle(r, 15, {0xB4, 0x02, 0x0D, 0x00, 0x00});
  EXPECT_EQ(r.lan_format, 0x0D);
  EXPECT_EQ(r.usb_format, Receiver::kDefaultFormat);

  o = handle(r, 16, {0xB0, 0x00, 0x40, 0x42, 0x0F, 0x00, 0x00});  // channel 1: 1 MHz
  EXPECT_EQ(o.replies[0].word, 0xB0u);
  EXPECT_EQ(r.frequency[0], 1000000u);
  EXPECT_EQ(r.frequency[1], Receiver::kDefaultFrequency);
  handle(r, 17, {0xB0, 0x09, 0x34, 0x12, 0x78, 0x56, 0x00});
  EXPECT_EQ(r.mix, 0x56781234u);
}

TEST(Receiver, AddressIsAcceptedOrRejected) {
  Receiver r;
  auto o = handle(r, 1, {0xB0, 0x0A, 10, 0, 0, 5, 0x00});
  EXPECT_EQ(o.replies[0].word, 0xB0u | 0x0Au << 8);
  EXPECT_EQ(r.address, 0x0500000Au);
  r.reject_address = true;
  o = handle(r, 2, {0xB0, 0x0A, 10, 0, 0, 6, 0x00});
  EXPECT_EQ((o.replies[0].word >> 8) & 0xFF, 0x0Au);
  EXPECT_NE((o.replies[0].word >> 16) & 0xFF, 0u);
  EXPECT_EQ(r.address, 0x0500000Au);
}

TEST(Receiver, IdentifyIsUrgentAndCarriesTheIdentity) {
  Receiver r;
  r.serial = 123;
  r.version = 0x5;
  const auto o = handle(r, 99, {0x12, 0x00, 0x00, 0x00});
  ASSERT_EQ(o.count, 1);
  EXPECT_TRUE(o.urgent);
  EXPECT_EQ(o.replies[0].word, 0x12u | 123u << 8);
  EXPECT_EQ(o.replies[0].value, 0x5u);
}

TEST(Receiver, WithheldAndUnknownCodesGetNoReplyButAreLogged) {
  Receiver r;
  r.withheld[0xF2] = true;
  auto o = handle(r, 1, {0xF2, 90, 0x00, 0x00});
  EXPECT_EQ(o.count, 0);
  EXPECT_TRUE(o.applied);
  EXPECT_EQ(r.clock_mhz, 90u);
  o = handle(r, 2, {0x77, 0x01, 0x00});
  EXPECT_EQ(o.count, 0);
  EXPECT_FALSE(o.applied);
  o = handle(r, 3, {0xB0, 0x02, 0x00});  // too short for its code
  EXPECT_FALSE(o.applied);
  ASSERT_EQ(r.log().size(), 3u);
  EXPECT_EQ(r.log()[1].sequence, 2u);
  EXPECT_EQ(r.log()[1].bytes[0], 0x77);
}

TEST(Receiver, StopMessagesNameTheirLink) {
  Receiver r;
  EXPECT_EQ(handle(r, 1, {0x16, 0x02, 0x00, 0x00}).event, Receiver::Event::StopUsb);
  EXPECT_EQ(handle(r, 2, {0x16, 0x01, 0x00}).event, Receiver::Event::StopLan);
  EXPECT_EQ(handle(r, 3, {0x16, 0x02, 0x00, 0x00}).count, 0);
}

TEST(Receiver, AttenuatorGainAndCoupling) {
  Receiver r;
  EXPECT_DOUBLE_EQ(r.gain(0), 1.0);
  handle(r, 1, {0xF5, 0x01, 27, 0x00, 0x00});  // 20 dB
  EXPECT_NEAR(r.gain(0), 0.1, 1e-12);
  EXPECT_DOUBLE_EQ(r.gain(1), 1.0);
  handle(r, 2, {0xF5, 0x01, 27, 0x01, 0x00});  // coupled: channel 2 follows
  EXPECT_NEAR(r.gain(1), 0.1, 1e-12);
  handle(r, 3, {0xF5, 0x02, 0, 0x00, 0x00});  // -7 dB attenuation is gain
  EXPECT_NEAR(r.gain(1), 0.1, 1e-12);
  handle(r, 4, {0xF5, 0x01, 27, 0x00, 0x00});
  EXPECT_NEAR(r.gain(1), std::pow(10.0, 7.0 / 20), 1e-9);
}

TEST(Receiver, StatusWordLayout) {
  Receiver r;
  r.temperature = -10;
  r.gps = -4096;
  r.overload[1] = true;
  const uint32_t w = r.status_word();
  EXPECT_EQ(w & 0xFF, 0xF1u);
  EXPECT_EQ((w >> 8) & 0xFF, 0xF6u);
  EXPECT_EQ((w >> 16) & 1, 0u);
  EXPECT_EQ((w >> 17) & 0x1FFF, 0x1000u);
  EXPECT_EQ(w >> 30, 2u);
}

// A firmware file sent the way the update window sends it: last block first, the first block
// padded with 0xFF, sequence bytes 0x81, 0x82, ...
TEST(Receiver, FirmwareBlocksAreAssembledAndSummed) {
  Receiver r;
  std::vector<uint8_t> file(1000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = uint8_t(i * 7 + 3);
  auto o = handle(r, 1, {0x0C, 0xE8, 0x03, 0x00, 0x02});
  EXPECT_EQ(o.replies[0].word, 0x0Cu | 0x5Au << 8);
  uint16_t sum = 0;
  uint32_t seq = 2;
  for (int k = 1; k <= 4; ++k) {
    const size_t start = size_t(256) * (4 - k);
    std::vector<uint8_t> cmd = {0x0D, uint8_t(0x80 | k)};
    for (size_t i = 0; i < 256; ++i) {
      const uint8_t b = start + i < file.size() ? file[start + i] : 0xFF;
      cmd.push_back(b);
      sum = uint16_t(sum + b);
    }
    cmd.push_back(0x00);
    o = handle(r, seq, cmd);
    ASSERT_GE(o.count, 1);
    EXPECT_EQ(o.replies[0].word, 0x0Du | uint32_t(0x80 | k) << 8 | uint32_t(sum) << 16);
    EXPECT_EQ(o.replies[0].value, seq);
    if (k == 1) {  // a repeated transmission is answered but not added again
      cmd.back() = 1;
      o = handle(r, ++seq, cmd);
      EXPECT_EQ(o.replies[0].word >> 16, sum);
    }
    ++seq;
  }
  ASSERT_EQ(o.count, 2);
  EXPECT_EQ(o.replies[1].word, 0x0Du | 0u << 8 | uint32_t(sum) << 16);
  ASSERT_EQ(r.firmware_size, 1000u);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), r.firmware_image.begin()));

  o = handle(r, 20, {0x0C, 0x00, 0x00, 0x80, 0x02});  // full clear
  EXPECT_EQ(o.replies[0].word, 0x0Cu | 4u << 8);
  std::vector<uint8_t> stray = {0x0D, 0x81};
  stray.resize(259, 0);
  o = handle(r, 21, stray);  // data without a sized clear
  EXPECT_EQ((o.replies[0].word >> 8) & 0xFF, 6u);
}

// ---- samples -------------------------------------------------------------------------------

kmvsim::SignalParams params(uint8_t format, bool pattern) {
  kmvsim::SignalParams p;
  p.config = kmvsim::SignalConfig::defaults();
  p.config.pattern = pattern;
  p.format = StreamFormat::decode(format);
  p.rate_hz = 125e6 / p.format.decimation;
  p.frequency[0] = p.frequency[1] = 10000000;
  return p;
}

int32_t s24(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}

TEST(Signal, PatternRunsOnAcrossBlocksAndSkips) {
  SignalGenerator g;
  g.set(params(0x03, true));
  uint8_t payload[SignalGenerator::kPayloadBytes];
  g.fill(payload);
  g.skip(2);
  g.fill(payload);
  const uint64_t first = 3 * 680;  // the second block filled is the fourth made
  EXPECT_EQ(s24(payload), KMVSIM_PatternI(0, first, 24));
  EXPECT_EQ(s24(payload + 3), KMVSIM_PatternQ(0, first, 24));
  EXPECT_EQ(s24(payload + 6 * 679), KMVSIM_PatternI(0, first + 679, 24));
  EXPECT_EQ(g.position(0), 4u * 680);
  EXPECT_EQ(g.position(1), 0u);
  g.restart();
  g.fill(payload);
  EXPECT_EQ(s24(payload), 0);
}

TEST(Signal, PatternValuesCoverTheSignedRange) {
  EXPECT_EQ(KMVSIM_PatternI(0, 0x7FFFFF, 24), 0x7FFFFF);
  EXPECT_EQ(KMVSIM_PatternI(0, 0x800000, 24), -0x800000);
  EXPECT_EQ(KMVSIM_PatternI(0, 0xFFFF, 16), -1);
  EXPECT_NE(KMVSIM_PatternQ(0, 5, 16), KMVSIM_PatternQ(1, 5, 16));
}

TEST(Signal, ToneTurnsAtItsOffsetFromTheTunedFrequency) {
  SignalGenerator g;
  kmvsim::SignalParams p = params(0x03, false);
  p.config.tone_count[1] = 0;
  p.config.tones[0][0] = {10000000.0 + p.rate_hz / 8, -6.0, false};  // absolute
  p.config.noise_dbfs[0] = -200;
  g.set(p);
  uint8_t payload[SignalGenerator::kPayloadBytes];
  g.fill(payload);
  const double full = 8388607.0 * std::pow(10.0, -6.0 / 20);
  for (int s = 1; s < 64; ++s) {
    const std::complex<double> a(s24(payload + 6 * (s - 1)), s24(payload + 6 * (s - 1) + 3));
    const std::complex<double> b(s24(payload + 6 * s), s24(payload + 6 * s + 3));
    EXPECT_NEAR(std::abs(b), full, full * 0.01);
    EXPECT_NEAR(std::arg(b / a), std::numbers::pi / 4, 0.01);
  }
  // Tuned away by more than half the rate: filtered out.
  p.frequency[0] = 20000000;
  g.set(p);
  g.fill(payload);
  for (int s = 0; s < 680; ++s) ASSERT_EQ(s24(payload + 6 * s), 0);
}

TEST(Signal, ToneRunsOnWithoutAJumpWhereItsRingWraps) {
  SignalGenerator g;
  kmvsim::SignalParams p = params(0x03, false);
  p.config.tone_count[1] = 0;
  p.config.tones[0][0] = {123457.0, -6.0, true};  // not a whole number of cycles per ring
  p.config.noise_dbfs[0] = -200;
  g.set(p);
  const double step = 2 * std::numbers::pi * 123457.0 / p.rate_hz;
  const double resolution = 2 * std::numbers::pi / SignalGenerator::kRingSamples;
  std::vector<uint8_t> payload(SignalGenerator::kPayloadBytes);
  std::complex<double> last;
  bool first = true;
  for (int block = 0; block < 200; ++block) {  // past the ring's end (65536 samples)
    g.fill(payload.data());
    for (int s = 0; s < 680; ++s) {
      const std::complex<double> v(s24(&payload[6 * s]), s24(&payload[6 * s + 3]));
      if (!first) {
        ASSERT_NEAR(std::arg(v / last), step, resolution) << block << " " << s;
      }
      last = v;
      first = false;
    }
  }
}

TEST(Signal, SixteenBitSamplesAreTheTopBitsOfTheTwentyFourBitOnes) {
  kmvsim::SignalParams p24 = params(0x02, false), p16 = params(0x22, false);
  p24.config.noise_dbfs[0] = p16.config.noise_dbfs[0] = -200;
  p16.rate_hz = p24.rate_hz;
  SignalGenerator a, b;
  a.set(p24);
  b.set(p16);
  uint8_t x[SignalGenerator::kPayloadBytes], y[SignalGenerator::kPayloadBytes];
  a.fill(x);
  b.fill(y);
  for (int s = 0; s < 680; ++s) {
    const int32_t i24 = s24(x + 6 * s);
    const int16_t i16 = int16_t(y[4 * s] | y[4 * s + 1] << 8);
    EXPECT_NEAR(i16, i24 / 256.0, 0.51) << s;
  }
}

}  // namespace
