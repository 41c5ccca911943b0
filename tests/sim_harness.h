// Shared by the tests that run the plug-in in process against the simulated receiver: bounded
// waits, the user-interface thread, the simulator's state and command log, the test pattern's
// check.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "kmvsim.h"
#include "platform/tasks.h"
#include "platform/ui.h"

namespace harness {

// The suite works in a folder of its own (the settings file is written there). True when entered.
inline bool enter_private_dir(const char* prefix) {
  auto dir = std::filesystem::temp_directory_path() / (prefix + std::to_string(getpid()));
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return !ec && chdir(dir.c_str()) == 0;
}

// The simulated receiver as it powers up, sending the test pattern.
inline void reset_simulator() {
  KMVSIM_Reset();
  KMVSIM_LanReset();
  KMVSIM_SetTestPattern(1);
}

inline void on_ui(const std::function<void()>& fn) {
  ui::run_on_ui(fn);
}

// True as soon as cond holds, false when it still does not after ms.
inline bool eventually(const std::function<bool()>& cond, int ms = 5000) {
  const long long end = tasks::now_ms() + ms;
  while (tasks::now_ms() < end) {
    if (cond()) return true;
    tasks::sleep_ms(5);
  }
  return cond();
}

inline KMVSIM_State sim_state() {
  KMVSIM_State s{};
  s.size = sizeof s;
  KMVSIM_GetState(&s);
  return s;
}

inline KMVSIM_LanState lan_state() {
  KMVSIM_LanState s{};
  s.size = sizeof s;
  KMVSIM_LanGetState(&s);
  return s;
}

// Every message the receiver took since the last clear, without its sequence header.
inline std::vector<std::vector<uint8_t>> received() {
  std::vector<std::vector<uint8_t>> out;
  const uint32_t n = KMVSIM_ReceivedCount();
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t buf[300];
    uint32_t seq = 0;
    const uint32_t len = KMVSIM_Received(i, buf, sizeof buf, &seq);
    out.emplace_back(buf, buf + (len < sizeof buf ? len : sizeof buf));
  }
  return out;
}

inline int received_starting(std::initializer_list<uint8_t> head) {
  int n = 0;
  for (const auto& m : received()) {
    bool match = m.size() >= head.size();
    size_t i = 0;
    for (uint8_t b : head) match = match && m[i++] == b;
    n += match;
  }
  return n;
}

// The simulator's test pattern in host blocks of one stream (channel 1): inside a block the
// samples count up by one and Q is the pattern of I; from block to block the count goes on
// unless samples were lost. A block with a wrong sample or a jump inside is incomplete. 16-bit
// samples arrive widened: 0x80, then the 16-bit value.
class PatternWatch {
 public:
  static constexpr uint32_t kSamples = 130560;

  void set_bits(int bits) { bits_ = bits; }
  // Called from the sample callback (one thread at a time).
  void block(const uint8_t* data) {
    const bool wide = bits_.load() == 24;
    const uint32_t mask = wide ? 0xFFFFFF : 0xFFFF;
    uint32_t first = 0, previous = 0;
    bool wrong = false, jump = false;
    for (uint32_t k = 0; k < kSamples; ++k) {
      const uint8_t* s = data + 6 * k;
      uint32_t i = s[0] | s[1] << 8 | uint32_t(s[2]) << 16;
      uint32_t q = s[3] | s[4] << 8 | uint32_t(s[5]) << 16;
      if (!wide) {
        wrong = wrong || s[0] != 0x80 || s[3] != 0x80;
        i >>= 8;
        q >>= 8;
      }
      if ((uint32_t(KMVSIM_PatternQ(0, i, wide ? 24 : 16)) & mask) != q) wrong = true;
      if (k == 0) first = i;
      if (k > 0 && ((previous + 1) & mask) != i) jump = true;
      previous = i;
    }
    const long long now = tasks::now_ms();
    if (wrong) ++wrong_blocks_;
    if (jump) ++gapped_blocks_;
    if (!wrong && !jump) {
      ++good_blocks_;
      last_good_ms_ = now;
    }
    if (any_.load() && ((last_.load() + 1) & mask) != first) ++breaks_;
    any_ = true;
    last_ = previous;
    ++blocks_;
  }
  void reset() {
    blocks_ = good_blocks_ = wrong_blocks_ = gapped_blocks_ = breaks_ = 0;
    any_ = false;
    last_good_ms_ = 0;
  }
  int blocks() const { return blocks_.load(); }
  int good() const { return good_blocks_.load(); }
  int wrong() const { return wrong_blocks_.load(); }    // a sample not of the pattern
  int gapped() const { return gapped_blocks_.load(); }  // samples missing inside a block
  int breaks() const { return breaks_.load(); }         // samples missing between blocks
  // Milliseconds from t0 until the first complete block delivered at or after `after` (a time
  // no earlier than t0), or -1 when none came within limit_ms.
  long long good_block_after(long long t0, long long after, int limit_ms) const {
    if (!eventually([&] { return last_good_ms_.load() >= after; }, limit_ms)) return -1;
    return last_good_ms_.load() - t0;
  }

 private:
  std::atomic<int> bits_{24};
  std::atomic<int> blocks_{0}, good_blocks_{0}, wrong_blocks_{0}, gapped_blocks_{0}, breaks_{0};
  std::atomic<long long> last_good_ms_{0};
  // A test may reset the counts while a block is being checked.
  std::atomic<bool> any_{false};
  std::atomic<uint32_t> last_{0};
};

}  // namespace harness
