// End to end: extio-host streams from the simulated receiver through the real plug-in and
// records a WAV file; every sample in it must be the simulator's test pattern, in order.
#include <gtest/gtest.h>

#include <chrono>
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

// stdout only, unless with_stderr.
HostRun run(const std::string& args, bool with_stderr = false) {
  HostRun r;
  std::string cmd =
      std::string(EXTIO_HOST_EXE) + " " + args + (with_stderr ? " 2>&1" : " 2>/dev/null");
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

// Every sample of a recording of `blocks` blocks follows the simulator's pattern, from wherever
// in the pattern it starts. Gaps are allowed only every `run` samples (0: none): between host
// blocks where frames were lost, between the receiver's 4 KB blocks where it dropped some.
void expect_pattern_recording(const std::filesystem::path& wav, uint64_t blocks, uint64_t run = 0) {
  std::ifstream in(wav, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 44u + blocks * 130560u * 6u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
  EXPECT_EQ(bytes[22], 2);   // channels
  EXPECT_EQ(bytes[34], 24);  // bits per sample
  uint32_t rate = bytes[24] | bytes[25] << 8 | bytes[26] << 16 | uint32_t(bytes[27]) << 24;
  EXPECT_EQ(rate, 7812500u);

  const uint8_t* data = bytes.data() + 44;
  uint64_t n0 = uint32_t(s24(data)) & 0xFFFFFF;
  size_t bad = 0;
  for (uint64_t k = 0; k < blocks * 130560u; ++k) {
    int32_t i = s24(data + 6 * k), q = s24(data + 6 * k + 3);
    if (run && k % run == 0) n0 = (uint32_t(i) & 0xFFFFFF) - k;
    if (i != KMVSIM_PatternI(0, n0 + k, 24) || q != KMVSIM_PatternQ(0, n0 + k, 24)) {
      if (bad++ < 5) ADD_FAILURE() << "sample " << k << ": " << i << ", " << q;
    }
  }
  EXPECT_EQ(bad, 0u);
}

TEST(ExtioHostStream, EverySampleOfTheRecordingIsTheReceiversPattern) {
  auto wav = std::filesystem::temp_directory_path() / "kmv-stream-test.wav";
  HostRun r = run("--sim usb --pattern --blocks 6 --out " + wav.string());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(field(r.out, "blocks"), "6");
  EXPECT_EQ(field(r.out, "samples"), std::to_string(6 * 130560));
  EXPECT_EQ(field(r.out, "rate"), "7812500");  // 125 MHz / 16, the design decimation
  // The receiver may drop 4 KB blocks while the open's settings reach it, or when a loaded
  // machine reads late; they are counted, and the rest is checked sample by sample.
  std::string lost = field(r.out, "lost");
  ASSERT_FALSE(lost.empty());
  expect_pattern_recording(wav, 6, lost == "0" ? 0 : 4080 / 6);
  std::filesystem::remove(wav);
}

// The "lan frames=... datagrams=..." line the host prints before its summary.
uint64_t lan_count(const std::string& out, const std::string& key) {
  size_t at = out.find("lan frames=");
  if (at == std::string::npos) return 0;
  at = out.find(key + "=", at);
  return at == std::string::npos ? 0 : std::stoull(out.substr(at + key.size() + 1));
}

// Under a sanitizer the plug-in and the simulator run several times slower than the receiver's
// real-time frames: frames may be lost there (and counted), but every block must stay whole.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kFullSpeed = false;
#else
constexpr bool kFullSpeed = true;
#endif

TEST(ExtioHostStream, OverTheLanBothTransportsRecordThePatternWithoutLoss) {
  for (const char* transport : {"", " --udp"}) {
    SCOPED_TRACE(transport[0] ? "UDP" : "TCP");
    auto wav = std::filesystem::temp_directory_path() / "kmv-lan-stream-test.wav";
    HostRun r =
        run(std::string("--sim lan") + transport + " --pattern --blocks 12 --out " + wav.string());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(field(r.out, "blocks"), "12");
    if (kFullSpeed) {
      EXPECT_EQ(field(r.out, "lost"), "0");
    }
    // The transport really was the one asked for: 539 datagrams make a 24-bit frame.
    uint64_t datagrams = lan_count(r.out, "datagrams");
    if (transport[0]) {
      EXPECT_GE(datagrams, 12u * 539u) << r.out;
    } else {
      EXPECT_EQ(datagrams, 0u) << r.out;
    }
    EXPECT_GE(lan_count(r.out, "frames"), 12u);
    expect_pattern_recording(wav, 12, kFullSpeed ? 0 : 130560);
    std::filesystem::remove(wav);
  }
}

TEST(ExtioHostStream, LanOptionsThatCannotWorkAreRefused) {
  EXPECT_EQ(run("--sim usb --udp --blocks 1").status, 2);
  EXPECT_EQ(run("--sim lan --plugin x.so --blocks 1").status, 2);
  EXPECT_EQ(run("--sim wifi --blocks 1").status, 2);
}

TEST(ExtioHostStream, AttenuatorAndSummaryFollowTheHostCalls) {
  HostRun r = run("--sim usb --blocks 2 --att 10 --freq 14000000 --rate 5");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(field(r.out, "att"), "10");
  EXPECT_EQ(field(r.out, "lo"), "14000000");
  EXPECT_EQ(field(r.out, "rate"), "1953125");  // 125 MHz / 64
  EXPECT_NE(r.out.find("rates: 62500000 31250000 15625000 7812500 3906250 [1953125]\n"),
            std::string::npos)
      << r.out;
}

TEST(ExtioHostStream, ProgressShowsBlocksSecondsRateAndLostUpToTheEnd) {
  HostRun r = run("--sim usb --pattern --blocks 3", true);
  ASSERT_EQ(r.status, 0) << r.out;
  size_t at = r.out.rfind("\rblocks ");
  ASSERT_NE(at, std::string::npos) << r.out;
  unsigned long long blocks = 0, of = 0, lost = 99;
  double seconds = -1, rate = -1;
  ASSERT_EQ(std::sscanf(r.out.c_str() + at, "\rblocks %llu of %llu %lf s %lf MS/s lost %llu",
                        &blocks, &of, &seconds, &rate, &lost),
            5)
      << r.out.substr(at);
  EXPECT_EQ(blocks, 3u);  // the last line is where the session ended
  EXPECT_EQ(of, 3u);
  EXPECT_GT(seconds, 0);
  EXPECT_GT(rate, 0);
  EXPECT_EQ(std::to_string(lost), field(r.out, "lost"));
}

// Neither the simulator nor the plug-in is loaded for a session that could not record.
TEST(ExtioHostStream, UnwritableOutEndsTheSessionBeforeItStarts) {
  auto start = std::chrono::steady_clock::now();
  HostRun r = run("--sim usb --blocks 1 --out /nonexistent-kmv-folder/iq.wav", true);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out,
            "extio-host: cannot write /nonexistent-kmv-folder/iq.wav: No such file or directory\n");
}

TEST(ExtioHostStream, FailsWhenTheBlocksDoNotArrive) {
  // No simulator and no receiver: nothing streams, and the exit status says so.
  HostRun r = run("--blocks 1 --seconds 2");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(field(r.out, "blocks"), "0");
}

}  // namespace
