// One thread per task: the link tasks block for long stretches in bridge and socket calls, so a
// shared queue of workers would only add waiting. The pool keeps every thread it made so that it
// can join them, and counts the bodies that have not returned yet.
#include "platform/tasks.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tasks {

namespace {
thread_local bool t_worker = false;
std::atomic<int> g_threads_alive{0};
}  // namespace

struct Task::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;  // guarded by mutex
};

struct Pool::Impl {
  struct Worker {
    std::thread thread;
    std::shared_ptr<Task::State> state;
  };

  mutable std::mutex mutex;
  mutable std::condition_variable idle;
  int live = 0;                 // bodies not returned yet; guarded by mutex
  bool closed = false;          // released or abandoned: start nothing more
  std::vector<Worker> workers;  // guarded by mutex

  // Join the threads whose bodies have returned; their exit is only a few instructions away.
  void reap_locked(std::vector<std::thread>& finished) {
    for (size_t i = 0; i < workers.size();) {
      bool done;
      {
        std::lock_guard<std::mutex> lock(workers[i].state->mutex);
        done = workers[i].state->done;
      }
      if (done) {
        finished.push_back(std::move(workers[i].thread));
        workers[i] = std::move(workers.back());
        workers.pop_back();
      } else {
        ++i;
      }
    }
  }
};

namespace {

std::chrono::milliseconds bounded(int ms) {
  return std::chrono::milliseconds(ms > 0 ? ms : 0);
}

void join_all(std::vector<std::thread>& threads) {
  for (std::thread& t : threads) {
    if (t.joinable() && t.get_id() != std::this_thread::get_id()) {
      t.join();
    } else if (t.joinable()) {
      t.detach();  // a body releasing its own pool
    }
  }
  threads.clear();
}

}  // namespace

bool Task::running() const {
  if (!state_) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return !state_->done;
}

bool Task::wait(int ms) const {
  if (!state_) return true;
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, bounded(ms), [this] { return state_->done; });
}

Pool::Pool() : impl_(std::make_shared<Impl>()) {}

Pool::~Pool() {
  bool closed;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    closed = impl_->closed;
  }
  if (!closed) release(kReleaseWaitMs);
}

Task Pool::start(std::function<void()> body) {
  Task task;
  std::vector<std::thread> finished;
  bool counted = false;
  try {
    auto state = std::make_shared<Task::State>();
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (impl_->closed || !body) return task;
    impl_->reap_locked(finished);
    // The thread owns the body and shares the pool's bookkeeping, which outlives the Pool object
    // when a dropped body is still running at release.
    g_threads_alive.fetch_add(1);
    counted = true;
    std::thread thread([impl = impl_, state, body = std::move(body)]() mutable {
      t_worker = true;
      try {
        body();
      } catch (...) {
        // A body's failure ends the task, never the process.
      }
      body = nullptr;  // captured resources go before anyone sees the task as finished
      {
        std::lock_guard<std::mutex> guard(state->mutex);
        state->done = true;
      }
      state->changed.notify_all();
      {
        std::lock_guard<std::mutex> guard(impl->mutex);
        --impl->live;
      }
      impl->idle.notify_all();
      impl.reset();
      g_threads_alive.fetch_sub(1);
    });
    counted = false;  // the thread counts itself out
    ++impl_->live;
    impl_->workers.push_back({std::move(thread), state});
    task.state_ = std::move(state);
  } catch (...) {
    // No thread could be made: the empty handle reads as a task that is not running.
    if (counted) g_threads_alive.fetch_sub(1);
    task.state_.reset();
  }
  join_all(finished);
  return task;
}

int Pool::live() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->live;
}

bool Pool::wait_idle(int ms) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->idle.wait_for(lock, bounded(ms), [this] { return impl_->live == 0; });
}

bool Pool::release(int ms) {
  const bool idle = wait_idle(ms);
  std::vector<std::thread> finished;
  std::vector<Impl::Worker> running;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->closed = true;
    impl_->reap_locked(finished);
    running.swap(impl_->workers);
  }
  join_all(finished);
  for (Impl::Worker& w : running) w.thread.detach();
  return idle && running.empty();
}

void Pool::abandon() {
  std::vector<Impl::Worker> all;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->closed = true;
    all.swap(impl_->workers);
  }
  for (Impl::Worker& w : all) w.thread.detach();
}

bool on_worker_thread() {
  return t_worker;
}

int threads_alive() {
  return g_threads_alive.load();
}

void sleep_ms(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace tasks
