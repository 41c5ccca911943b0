// Headless event loop (POSIX): the plug-in owns its user-interface thread, started on first use.
// Exports marshal onto it with run_on_ui; calls already on it run directly.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/loop_internal.h"
#include "platform/tasks.h"

namespace ui {

namespace {

struct Loop {
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::function<void()>> queue;
  std::thread::id ui_id;  // guarded by m
  bool have_ui = false;   // guarded by m
  std::thread thread;     // the owned thread, when we started one
  bool quit = false;      // guarded by m
  bool ended = false;     // guarded by m: the owned thread left its loop
};

// Created on first use; freed by shutdown() once the owned thread has ended (library unload).
std::atomic<Loop*> g_loop{nullptr};
std::mutex g_loop_create;

Loop& loop() {
  Loop* l = g_loop.load(std::memory_order_acquire);
  if (l) return *l;
  std::lock_guard<std::mutex> lock(g_loop_create);
  l = g_loop.load(std::memory_order_relaxed);
  if (!l) {
    l = new Loop;
    g_loop.store(l, std::memory_order_release);
  }
  return *l;
}

// Messages are plug-in code; nothing they throw may end the loop.
// A posted message is a handler while it runs.
void run_guarded(const std::function<void()>& fn) {
  HandlerScope scope;
  try {
    fn();
  } catch (...) {
  }
}

bool pop(std::function<void()>& fn) {
  Loop& l = loop();
  std::lock_guard<std::mutex> lock(l.m);
  if (l.queue.empty()) return false;
  fn = std::move(l.queue.front());
  l.queue.pop_front();
  return true;
}

void release_loop() {
  std::lock_guard<std::mutex> lock(g_loop_create);
  delete g_loop.exchange(nullptr);
}

}  // namespace
void handle_message_top(int limit_ms);
namespace {

void thread_body() {
  Loop& l = loop();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(l.m);
      if (l.quit) break;
    }
    handle_message_top(kHandleMessageLimitMs);
    detail::run_idle();
  }
  std::lock_guard<std::mutex> lock(l.m);
  l.ended = true;
  l.cv.notify_all();
}

void ensure_ui_thread() {
  Loop& l = loop();
  std::lock_guard<std::mutex> lock(l.m);
  if (l.have_ui) return;
  l.quit = false;
  l.ended = false;
  l.thread = std::thread(thread_body);
  l.ui_id = l.thread.get_id();
  l.have_ui = true;
}

}  // namespace

namespace detail {
void timers_changed() {
  loop().cv.notify_all();
}
}  // namespace detail

void post(std::function<void()> fn) {
  Loop& l = loop();
  std::lock_guard<std::mutex> lock(l.m);
  l.queue.push_back(std::move(fn));
  l.cv.notify_all();
}

void process_messages() {
  HandlerScope scope;
  // Bounded so that a handler that keeps posting cannot hold the caller for ever.
  for (int i = 0; i < 10000; ++i) {
    bool fired = detail::fire_due_timers();
    std::function<void()> fn;
    if (pop(fn)) {
      run_guarded(fn);
      detail::after_event();
    } else if (!fired) {
      return;
    }
  }
}

void handle_message(int limit_ms) {
  HandlerScope scope;
  handle_message_top(limit_ms);
}

// One message, as the owned thread's own loop runs it (not counted as a pump).
void handle_message_top(int limit_ms) {
  Loop& l = loop();
  long long limit = tasks::now_ms() + limit_ms;
  std::function<void()> fn;
  {
    std::unique_lock<std::mutex> lock(l.m);
    for (;;) {
      if (l.quit) break;
      long long now = tasks::now_ms();
      // Timers are only touched on this thread, so reading them under our lock is safe. Due
      // timers go first: a wait bounded by a timer must end even while work keeps arriving.
      long long due = detail::next_due_ms();
      if (due >= 0 && due <= now) break;
      if (!l.queue.empty()) {
        fn = std::move(l.queue.front());
        l.queue.pop_front();
        break;
      }
      if (now >= limit) return;
      long long until = (due >= 0 && due < limit) ? due : limit;
      l.cv.wait_for(lock, std::chrono::milliseconds(until - now));
    }
  }
  if (fn) {
    run_guarded(fn);
    detail::after_event();
  } else {
    try {
      detail::fire_due_timers();
    } catch (...) {
    }
  }
}

bool on_ui_thread() {
  Loop& l = loop();
  std::lock_guard<std::mutex> lock(l.m);
  return l.have_ui && l.ui_id == std::this_thread::get_id();
}

bool run_on_ui(const std::function<void()>& fn, int limit_ms) {
  if (on_ui_thread()) {
    HandlerScope scope;
    fn();
    return true;
  }
  ensure_ui_thread();
  auto call = std::make_shared<detail::MarshalledCall>(fn);
  post([call] { call->run(); });
  // A shutdown ends the wait: nothing runs the queue any more.
  return call->wait(limit_ms, [] {
    Loop& l = loop();
    std::lock_guard<std::mutex> lock(l.m);
    return l.quit || !l.have_ui;
  });
}

namespace detail {
void wait_step(int ms) {
  tasks::sleep_ms(ms);  // nothing is sent to this thread: only our own queue, left alone
}
}  // namespace detail

void adopt_this_thread() {
  Loop& l = loop();
  std::lock_guard<std::mutex> lock(l.m);
  if (l.have_ui) return;
  l.ui_id = std::this_thread::get_id();
  l.have_ui = true;
}

bool shutdown(int ms) {
  if (!g_loop.load()) return true;  // never used: nothing to stop, and nothing to create now
  Loop& l = loop();
  std::unique_lock<std::mutex> lock(l.m);
  if (l.thread.get_id() == std::this_thread::get_id()) return false;
  if (!l.thread.joinable()) {
    lock.unlock();
    release_loop();
    return true;
  }
  l.quit = true;
  l.cv.notify_all();
  bool ended = l.cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return l.ended; });
  std::thread t = std::move(l.thread);
  l.have_ui = false;
  lock.unlock();
  if (ended) {
    t.join();
    release_loop();
  } else {
    t.detach();  // still running our code: its loop must stay
  }
  return ended;
}

void message_box(const std::string& text, const std::string& caption) {
  detail::record_message_box(text, caption);
}

}  // namespace ui
