// Shared between the event-loop backends: the timer registry and the message-box record.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "platform/ui.h"

namespace ui::detail {

// Earliest due time (tasks::now_ms clock) of an enabled timer, or -1 when none runs.
long long next_due_ms();
// Fire every enabled timer that is due, each once; true when one fired. UI thread only.
bool fire_due_timers();
// Backend hook: the set of timers or a due time changed (wake the waiting loop).
void timers_changed();
// Run the work of post_idle() when no handler runs; backends call it at their top level.
void run_idle();
// Backend: sleep up to ms in a wait of wait_until, serving what other threads send (Windows).
void wait_step(int ms);
// Free what the loop keeps, once no thread of ours is left (library unload, process exit).
void release_statics();
// The plug-in's after-event hook (set_after_event); backends call it after each message, timer
// and native event.
void after_event();
// A posted call of run_on_ui: runs fn at most once, and never after its waiter gave up.
class MarshalledCall {
 public:
  explicit MarshalledCall(const std::function<void()>& fn) : fn_(&fn) {}
  // On the user-interface thread: run fn unless the waiter gave up.
  void run();
  // On the waiting thread: wait until fn ran or the limit passed (or stop() says so); after a
  // give-up fn is never run. True when it ran.
  template <class Stop>
  bool wait(int limit_ms, Stop stop);

 private:
  enum State { kPending, kRunning, kDone, kGivenUp };
  std::mutex m_;
  std::condition_variable cv_;
  State state_ = kPending;
  const std::function<void()>* fn_;
};

// Record a message box; true when it should also be shown natively.
bool record_message_box(const std::string& text, const std::string& caption);

template <class Stop>
bool MarshalledCall::wait(int limit_ms, Stop stop) {
  std::unique_lock<std::mutex> lock(m_);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    if (state_ == kDone) return true;
    // A call that has started must be waited for: it may be using the caller's stack.
    if (state_ == kPending && (stop() || std::chrono::steady_clock::now() >= until)) {
      state_ = kGivenUp;
      return false;
    }
    cv_.wait_for(lock, std::chrono::milliseconds(20));
  }
}

}  // namespace ui::detail
