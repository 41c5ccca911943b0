// End to end: extio-host streams from the simulated receiver through the real plug-in and
// records a WAV file; every sample in it must be the simulator's test pattern, in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kmvsim.h"

namespace {

struct HostRun {
  int status = -1;
  std::string out;
};

HostRun run(const std::string& args) {
  HostRun r;
  std::string cmd = std::string(EXTIO_HOST_EXE) + " " + args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) r.out += buf;
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string field(const std::string& out, const std::string& key) {
  size_t at = out.find("summary ");
  if (at == std::string::npos) return {};
  at = out.find(" " + key + "=", at);
  if (at == std::string::npos) return {};
  at += key.size() + 2;
  return out.substr(at, out.find_first_of(" \n", at) - at);
}

int32_t s24(const uint8_t* p) {
  int32_t v = p[0] | p[1] << 8 | p[2] << 16;
  return (v ^ 0x800000) - 0x800000;
}

TEST(ExtioHostStream, EverySampleOfTheRecordingIsTheReceiversPattern) {
  auto wav = std::filesystem::temp_directory_path() / "kmv-stream-test.wav";
  HostRun r = run("--sim usb --pattern --blocks 6 --out " + wav.string());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(field(r.out, "blocks"), "6");
  EXPECT_EQ(field(r.out, "samples"), std::to_string(6 * 130560));
  EXPECT_EQ(field(r.out, "rate"), "7812500");  // 125 MHz / 16, the design decimation
  // The receiver may drop blocks while the open's settings reach it; the recording itself is
  // checked sample by sample below.
  EXPECT_FALSE(field(r.out, "lost").empty());

  std::ifstream in(wav, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 44u + 6u * 130560u * 6u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
  EXPECT_EQ(bytes[22], 2);   // channels
  EXPECT_EQ(bytes[34], 24);  // bits per sample
  uint32_t rate = bytes[24] | bytes[25] << 8 | bytes[26] << 16 | uint32_t(bytes[27]) << 24;
  EXPECT_EQ(rate, 7812500u);

  // The first sample tells where in the pattern the recording starts; from there on every
  // sample must follow without a gap.
  const uint8_t* data = bytes.data() + 44;
  uint64_t n0 = uint32_t(s24(data)) & 0xFFFFFF;
  size_t bad = 0;
  for (uint64_t k = 0; k < 6u * 130560u; ++k) {
    int32_t i = s24(data + 6 * k), q = s24(data + 6 * k + 3);
    if (i != KMVSIM_PatternI(0, n0 + k, 24) || q != KMVSIM_PatternQ(0, n0 + k, 24)) {
      if (bad++ < 5) ADD_FAILURE() << "sample " << k << ": " << i << ", " << q;
    }
  }
  EXPECT_EQ(bad, 0u);
  std::filesystem::remove(wav);
}

TEST(ExtioHostStream, AttenuatorAndSummaryFollowTheHostCalls) {
  HostRun r = run("--sim usb --blocks 2 --att 10 --freq 14000000");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(field(r.out, "att"), "10");
  EXPECT_EQ(field(r.out, "lo"), "14000000");
}

TEST(ExtioHostStream, FailsWhenTheBlocksDoNotArrive) {
  // No simulator and no receiver: nothing streams, and the exit status says so.
  HostRun r = run("--blocks 1 --seconds 2");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(field(r.out, "blocks"), "0");
}

}  // namespace
