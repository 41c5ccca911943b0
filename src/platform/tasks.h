// Worker pool and task handles for the long-running link tasks.
//
// A task runs a body on a pool thread. Its handle supports start, a wait with a time limit and
// drop; a finished task counts as not running. A dropped task keeps running until its body
// returns (it is abandoned, not killed); the pool keeps count of every body still executing so
// that teardown can tell whether anything may still touch shared state.
#pragma once

#include <functional>
#include <memory>

namespace tasks {

class Pool;

// Handle to one started task. Empty when default-constructed or dropped.
class Task {
 public:
  Task() = default;
  // Empty handle, or a task that has finished.
  bool running() const;
  bool empty() const { return !state_; }
  // Wait up to ms milliseconds; true when the task has finished (or the handle is empty).
  bool wait(int ms) const;
  // Forget the task; it goes on running on its own if it has not finished.
  void drop() { state_.reset(); }

  struct State;

 private:
  friend class Pool;
  std::shared_ptr<State> state_;
};

class Pool {
 public:
  Pool();
  ~Pool();  // release(kReleaseWaitMs) unless released or abandoned before
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Start body on a pool thread. Never throws; an exception escaping the body is swallowed.
  Task start(std::function<void()> body);
  // Bodies that have not returned yet, dropped ones included.
  int live() const;
  // Wait up to ms for every body to return; true when none is left.
  bool wait_idle(int ms) const;
  // Wait up to ms for the bodies, join every thread whose body returned and let the others run on
  // detached. True when none was left running. The pool starts nothing afterwards.
  bool release(int ms);
  // Detach every thread without waiting: for library unload, where joining could deadlock.
  void abandon();

  static constexpr int kReleaseWaitMs = 2000;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// True on a thread of a pool (inside a task's body, and in host code it calls).
bool on_worker_thread();
// Pool threads of the process that have not finished yet, abandoned ones included: while one is
// left, the library's code must stay mapped.
int threads_alive();

// Millisecond sleep used by the tasks.
void sleep_ms(int ms);
// Milliseconds from a steady clock.
long long now_ms();

}  // namespace tasks
