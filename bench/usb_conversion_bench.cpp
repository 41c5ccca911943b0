// USB task conversion per transfer, in the three sample formats: throughput against memcpy of
// the same bytes, and processing time as a share of real time at the fastest rates.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "usb/Usbtask1.h"

namespace {

struct Buffers {
  std::vector<uint8_t> transfer = std::vector<uint8_t>(usb::kReadBufferBytes);
  std::vector<uint8_t> a = std::vector<uint8_t>(usb::kHostBlockBytes + usb::kOutputSlack);
  std::vector<uint8_t> b = std::vector<uint8_t>(usb::kHostBlockBytes + usb::kOutputSlack);
  Buffers() {
    std::mt19937 rng(7);
    for (auto& x : transfer) x = static_cast<uint8_t>(rng());
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
  double rate;  // fastest per-link sample rate of the mode, samples per second
};
const Mode kModes[] = {
    {"24bit", 192, false, false, 60e6},
    {"16bit", 128, true, false, 90e6},
    {"16bit_dual", 256, true, true, 45e6},  // two streams sharing 90 MS/s
};

void BM_Convert(benchmark::State& state) {
  const Mode& m = kModes[state.range(0)];
  Buffers& buf = buffers();
  for (auto _ : state) {
    usb::convert_transfer(buf.transfer.data(), m.blocks, m.sixteen, m.dual, buf.a.data(),
                          buf.b.data());
    benchmark::DoNotOptimize(buf.a.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * m.blocks * usb::kBlockBytes);
  state.SetLabel(m.name);
}
BENCHMARK(BM_Convert)->DenseRange(0, 2);

// memcpy of the host blocks each mode produces (783360 bytes per stream): what the conversion
// would cost if the receiver sent the host format itself.
void BM_Memcpy(benchmark::State& state) {
  const Mode& m = kModes[state.range(0)];
  size_t out = usb::kHostBlockBytes * (m.dual ? 2 : 1);
  std::vector<uint8_t> src(out, 0x5A), dst(out);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), out);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * out);
  state.SetLabel(m.name);
}
BENCHMARK(BM_Memcpy)->DenseRange(0, 2);

// Collects the time per iteration of every run to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> ns;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration) ns[r.benchmark_name()] = r.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nmode        convert/memcpy  share of real time (one core)\n");
  for (int i = 0; i < 3; ++i) {
    const Mode& m = kModes[i];
    double conv = reporter.ns["BM_Convert/" + std::to_string(i)];
    double copy = reporter.ns["BM_Memcpy/" + std::to_string(i)];
    // One transfer carries 130560 samples per stream.
    double real_ns = 130560.0 / m.rate * 1e9;
    if (conv > 0 && copy > 0) {
      std::printf("%-11s %14.2f  %6.1f%% at %.0f MS/s per stream\n", m.name, conv / copy,
                  100.0 * conv / real_ns, m.rate / 1e6);
    }
  }
  benchmark::Shutdown();
  return 0;
}
