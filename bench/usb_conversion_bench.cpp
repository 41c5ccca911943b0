// USB task conversion per transfer, in the three sample formats and every instruction-set
// variant the processor runs: time against memcpy of the host blocks produced, and processing
// time as a share of real time at the fastest rates. Ratios are medians over the repetitions.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "usb/Usbtask1.h"
#include "usb/convert.h"

namespace {

// Laid out as the stream task's own buffers are: 64-byte aligned, the two outputs side by side.
// (Heap vectors start 16 bytes into a page, which splits every other 32-byte store.)
struct Buffers {
  alignas(64) uint8_t transfer[usb::kReadBufferBytes];
  alignas(64) uint8_t a[usb::kHostBlockBytes + usb::kOutputSlack];
  alignas(64) uint8_t b[usb::kHostBlockBytes + usb::kOutputSlack];
  alignas(64) uint8_t src[2 * usb::kHostBlockBytes];
  alignas(64) uint8_t dst[2 * usb::kHostBlockBytes];
  Buffers() {
    std::mt19937 rng(7);
    for (auto& x : transfer) x = static_cast<uint8_t>(rng());
    std::memset(src, 0x5A, sizeof src);
    std::memset(dst, 0, sizeof dst);
  }
};
Buffers& buffers() {
  static Buffers b;
  return b;
}

struct Mode {
  const char* name;
  uint32_t blocks;
  bool sixteen, dual;
  double rate;  // fastest per-stream sample rate of the mode, samples per second
};
const Mode kModes[] = {
    {"24bit", 192, false, false, 60e6},
    {"16bit", 128, true, false, 90e6},
    {"16bit_dual", 256, true, true, 45e6},  // two streams sharing 90 MS/s
};

void convert(benchmark::State& state, const usb::Converter* c, const Mode* m) {
  Buffers& buf = buffers();
  for (auto _ : state) {
    usb::convert_transfer_with(*c, buf.transfer, m->blocks, m->sixteen, m->dual, buf.a, buf.b);
    benchmark::DoNotOptimize(buf.a);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * usb::kHostBlockBytes * (m->dual ? 2 : 1));
}

// memcpy of the host blocks each mode produces (783360 bytes per stream): what the conversion
// would cost if the receiver sent the host format itself.
void copy(benchmark::State& state, const Mode* m) {
  Buffers& buf = buffers();
  size_t out = usb::kHostBlockBytes * (m->dual ? 2 : 1);
  for (auto _ : state) {
    std::memcpy(buf.dst, buf.src, out);
    benchmark::DoNotOptimize(buf.dst);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * out);
}

// Collects the CPU time per iteration of every repetition, for medians at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, std::vector<double>> ns;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration) ns[r.run_name.str()].push_back(r.GetAdjustedCPUTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double median(const std::string& name) {
    auto& v = ns[name];
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Interleaved per mode, so that the memcpy it is compared with runs under the same load.
  for (const Mode& m : kModes) {
    benchmark::RegisterBenchmark((std::string("memcpy/") + m.name).c_str(), copy, &m);
    for (const usb::Converter& c : usb::converters()) {
      if (!m.sixteen && &c != &usb::best_converter()) continue;  // 24-bit is a copy in each
      benchmark::RegisterBenchmark((std::string(c.name) + "/" + m.name).c_str(), convert, &c, &m);
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n%-8s %-11s %14s  %s\n", "variant", "mode", "convert/memcpy",
              "share of real time (one core)");
  for (const Mode& m : kModes) {
    double base = reporter.median(std::string("memcpy/") + m.name);
    for (const usb::Converter& c : usb::converters()) {
      double conv = reporter.median(std::string(c.name) + "/" + m.name);
      if (conv <= 0 || base <= 0) continue;
      // One transfer carries 130560 samples per stream.
      double real_ns = 130560.0 / m.rate * 1e9;
      std::printf("%-8s %-11s %14.2f  %6.1f%% at %.0f MS/s per stream%s\n", c.name, m.name,
                  conv / base, 100.0 * conv / real_ns, m.rate / 1e6,
                  &c == &usb::best_converter() ? "  (used)" : "");
    }
  }
  benchmark::Shutdown();
  return 0;
}
