#include "session.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "wav_writer.h"

namespace extio_host {

namespace {

constexpr size_t kBlockSamples = 130560;
constexpr size_t kBlockBytes = kBlockSamples * 6;
// Blocks the host can hold between the plug-in's thread and the file: about a second of
// stream at 90 MS/s, so a slow disk shows up as counted overruns, not as a stalled plug-in.
constexpr size_t kRingBlocks = 32;

// Single producer (the plug-in's stream thread) and single consumer (the writer).
struct Ring {
  std::vector<uint8_t> storage = std::vector<uint8_t>(kRingBlocks * kBlockBytes);
  std::atomic<uint64_t> head{0}, tail{0};
  std::atomic<uint64_t> overruns{0};
  bool push(const void* block) {
    uint64_t h = head.load(std::memory_order_relaxed);
    if (h - tail.load(std::memory_order_acquire) == kRingBlocks) return false;
    std::memcpy(&storage[(h % kRingBlocks) * kBlockBytes], block, kBlockBytes);
    head.store(h + 1, std::memory_order_release);
    return true;
  }
  const uint8_t* front() {
    return tail.load(std::memory_order_relaxed) == head.load(std::memory_order_acquire)
               ? nullptr
               : &storage[(tail.load(std::memory_order_relaxed) % kRingBlocks) * kBlockBytes];
  }
  void pop() { tail.fetch_add(1, std::memory_order_release); }
};

struct Host {
  const EntryPoints* e = nullptr;
  Ring ring;
  std::atomic<uint64_t> received{0};
  std::atomic<bool> recording{false};
  std::atomic<int32_t> rate{0};
  std::atomic<int64_t> lo{0};
  std::atomic<int32_t> att{-1};
};
Host* g_host = nullptr;  // the C callback carries no context

// Called on the plug-in's threads: notifications on its user-interface thread, blocks on its
// stream tasks. A host reads the notified value back, as the interface expects.
void callback(int32_t count, int32_t status, float, void* data) {
  Host* h = g_host;
  if (!h) return;
  if (count < 0) {
    if (status == 100) h->rate = h->e->GetHWSR();
    if (status == 101 && h->e->GetHWLO64) h->lo = h->e->GetHWLO64();
    if (status == 125 && h->e->GetActualAttIdx) h->att = h->e->GetActualAttIdx();
    return;
  }
  if (count != int32_t(kBlockSamples) || !data || !h->recording.load()) return;
  if (!h->ring.push(data)) {
    h->ring.overruns.fetch_add(1);
    return;
  }
  h->received.fetch_add(1);
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The settings file lives in the working directory: unless asked, a session runs in a folder of
// its own so that the user's file stays as it was.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& settings_dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    original_ = fs::current_path(ec);
    if (!settings_dir.empty()) {
      fs::current_path(settings_dir, ec);
      return;
    }
    auto base = fs::temp_directory_path(ec);
    for (int i = 0; i < 100 && !ec; ++i) {
      fs::path p =
          base / ("extio-host-" +
                  std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() %
                                 1000000007) +
                  "-" + std::to_string(i));
      if (fs::create_directory(p, ec)) {
        temp_ = p;
        fs::current_path(p, ec);
        return;
      }
    }
  }
  ~WorkingDirectory() {
    std::error_code ec;
    std::filesystem::current_path(original_, ec);
    if (!temp_.empty()) std::filesystem::remove_all(temp_, ec);
  }
  // Paths given on the command line are relative to where the user started us.
  std::string resolve(const std::string& path) const {
    std::filesystem::path p(path);
    return p.is_absolute() ? path : (original_ / p).string();
  }

 private:
  std::filesystem::path original_, temp_;
};

// The rates the plug-in offers, as a host's rate menu shows them, the current one in brackets.
void print_rates(const EntryPoints& e) {
  if (!e.ExtIoGetSrates) return;
  int32_t current = e.ExtIoGetActualSrateIdx ? e.ExtIoGetActualSrateIdx() : -1;
  std::string line;
  double rate = 0;
  // A host asks until the plug-in says -1; a list of more than a few dozen would be a fault.
  for (int32_t i = 0; i < 64 && e.ExtIoGetSrates(i, &rate) == 0; ++i) {
    char r[64];
    std::snprintf(r, sizeof r, i == current ? " [%.0f]" : " %.0f", rate);
    line += r;
  }
  if (!line.empty()) std::printf("rates:%s\n", line.c_str());
}

}  // namespace

void wait_pumping(int ms) {
#if defined(_WIN32)
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
  }
#else
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#endif
}

int run_session(const EntryPoints& e, const Options& o, const SessionHooks& hooks) {
  const auto& receiver_lost = hooks.receiver_lost;
  WorkingDirectory wd(o.settings_dir);
  if (hooks.before_open) hooks.before_open();
  std::string out_path = o.out.empty() ? std::string() : wd.resolve(o.out);

  auto host = std::make_unique<Host>();
  host->e = &e;
  g_host = host.get();

  char name[64] = {}, model[64] = {};
  int32_t type = 0;
  e.InitHW(name, model, &type);
  if (e.VersionInfo) e.VersionInfo("extio-host", 1, 0);
  e.SetCallback(callback);
  if (!e.OpenHW()) {
    std::fprintf(stderr, "extio-host: OpenHW failed\n");
    g_host = nullptr;
    return 5;
  }
  if (o.att >= 0 && e.SetAttenuators) {
    // The panel sends at most one scroll-bar command every 50 ms and the open has just sent
    // its own: give the throttle time to pass, or the move would be ignored.
    wait_pumping(150);
    e.SetAttenuators(o.att);
  }
  if (o.rate_index >= 0) {
    if (!e.ExtIoSetSrate || e.ExtIoSetSrate(o.rate_index) != 0) {
      std::fprintf(stderr, "extio-host: no rate %d to pick\n", o.rate_index);
    }
  }
  print_rates(e);
  std::fflush(stdout);
  if (hooks.before_start && !hooks.before_start()) {
    e.CloseHW();
    g_host = nullptr;
    return 5;
  }

  host->recording = true;
  // The receiver drops blocks while nothing reads them, before the start: count from here.
  uint64_t receiver_lost_before = receiver_lost ? receiver_lost() : 0;
  int32_t started = e.StartHW64 ? e.StartHW64(o.freq) : e.StartHW(int32_t(o.freq));
  if (started <= 0) {
    std::fprintf(stderr, "extio-host: StartHW64 returned %d: nothing streams\n", started);
  }
  if (o.tune >= 0 && e.TuneChanged) e.TuneChanged(int32_t(o.tune));
  host->rate = e.GetHWSR();
  host->lo = e.GetHWLO64 ? e.GetHWLO64() : e.GetHWLO();

  // Writer: takes blocks off the ring until the session ends.
  WavWriter wav;
  bool wav_ok = out_path.empty() || wav.open(out_path, uint32_t(std::max(1, host->rate.load())));
  if (!wav_ok) {
    std::fprintf(stderr, "extio-host: cannot write %s: %s\n", out_path.c_str(),
                 std::strerror(errno));
  }
  std::atomic<uint64_t> written{0};
  std::atomic<bool> done{false};
  uint64_t want = o.blocks;
  std::thread writer([&] {
    while (true) {
      const uint8_t* block = host->ring.front();
      if (!block) {
        if (done.load()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (want == 0 || written.load() < want) {
        if (!out_path.empty()) wav_ok = wav.write(block, kBlockBytes) && wav_ok;
        written.fetch_add(1);
      }
      host->ring.pop();
    }
  });

  // Bounded: by the seconds asked for, or by a generous multiple of the stream time the
  // requested blocks need.
  auto start = std::chrono::steady_clock::now();
  double rate = std::max(41000, host->rate.load());
  double limit = o.seconds > 0 ? o.seconds
                               : 20.0 + 3.0 * double(std::max<uint64_t>(want, 1)) *
                                            double(kBlockSamples) / rate;
  auto lost_so_far = [&] {
    return host->ring.overruns.load() +
           (receiver_lost ? receiver_lost() - receiver_lost_before : 0);
  };
  auto progress = [&] {
    double s = seconds_since(start);
    uint64_t n = written.load();
    std::fprintf(stderr, "\rblocks %" PRIu64 "%s  %.1f s  %.2f MS/s  lost %" PRIu64 " ", n,
                 want ? (" of " + std::to_string(want)).c_str() : "", s,
                 s > 0 ? double(n) * double(kBlockSamples) / s / 1e6 : 0.0, lost_so_far());
  };
  double next_report = 0;
  while (seconds_since(start) < limit && !(want > 0 && written.load() >= want)) {
    wait_pumping(20);
    if (seconds_since(start) >= next_report) {
      progress();
      next_report += 0.5;
    }
  }
  host->recording = false;
  progress();  // where the session ended, not where the last report was
  uint64_t receiver_lost_after = receiver_lost ? receiver_lost() : 0;
  e.StopHW();
  done = true;
  writer.join();
  std::fprintf(stderr, "\n");
  int32_t att = e.GetActualAttIdx ? e.GetActualAttIdx() : -1;
  e.CloseHW();
  g_host = nullptr;
  if (!out_path.empty()) wav_ok = wav.close() && wav_ok;

  uint64_t blocks = written.load();
  uint64_t lost = host->ring.overruns.load() + (receiver_lost_after - receiver_lost_before);
  if (hooks.report) hooks.report();
  std::printf("summary blocks=%" PRIu64 " samples=%" PRIu64 " rate=%d lo=%" PRId64 " lost=%" PRIu64
              " att=%d\n",
              blocks, blocks * kBlockSamples, host->rate.load(), host->lo.load(), lost, att);
  std::fflush(stdout);
  bool enough = want > 0 ? blocks >= want : blocks > 0;
  return enough && wav_ok ? 0 : 1;
}

}  // namespace extio_host
