// Timer registry and message-box record shared by the event-loop backends.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/loop_internal.h"
#include "platform/tasks.h"

namespace ui {

namespace {
// Made on first use and freed only by release_statics(), once no thread of ours is left: the
// user-interface thread may still run while a host's exit destroys ordinary statics.
std::vector<Timer*>* g_registry = nullptr;  // user-interface thread only
std::vector<Timer*>& registry() {
  if (!g_registry) g_registry = new std::vector<Timer*>;
  return *g_registry;
}
std::mutex g_record_lock;  // trivially destroyed
std::mutex& record_lock() {
  return g_record_lock;
}
std::vector<MessageRecord>* g_record = nullptr;  // guarded by g_record_lock
std::vector<MessageRecord>& record() {
  if (!g_record) g_record = new std::vector<MessageRecord>;
  return *g_record;
}
std::atomic<bool> g_suppressed{false};
int g_handler_depth = 0;                                    // user-interface thread only
std::vector<std::function<void()>>* g_idle_work = nullptr;  // user-interface thread only
std::vector<std::function<void()>>& idle_work() {
  if (!g_idle_work) g_idle_work = new std::vector<std::function<void()>>;
  return *g_idle_work;
}
std::atomic<void (*)()> g_after_event{nullptr};
}  // namespace

int handler_depth() {
  return g_handler_depth;
}

HandlerScope::HandlerScope() {
  ++g_handler_depth;
}
HandlerScope::~HandlerScope() {
  --g_handler_depth;
}

void post_idle(std::function<void()> fn) {
  post([fn = std::move(fn)]() mutable {
    idle_work().push_back(std::move(fn));
    if (g_handler_depth == 0) detail::run_idle();
  });
}

void set_after_event(void (*fn)()) {
  g_after_event = fn;
}

void register_timer(Timer* t) {
  registry().push_back(t);
}

void unregister_timer(Timer* t) {
  auto& r = registry();
  r.erase(std::remove(r.begin(), r.end(), t), r.end());
}

void reschedule_timer(Timer* t) {
  t->due_ms = tasks::now_ms() + std::max(1, t->interval());
  detail::timers_changed();
}

namespace detail {

void run_idle() {
  if (g_handler_depth != 0) return;
  while (!idle_work().empty()) {
    auto work = std::move(idle_work());
    idle_work().clear();
    for (auto& fn : work) {
      try {
        fn();
      } catch (...) {
      }
    }
  }
}

long long next_due_ms() {
  long long due = -1;
  for (Timer* t : registry()) {
    if (t->is_enabled() && (due < 0 || t->due_ms < due)) due = t->due_ms;
  }
  return due;
}

bool fire_due_timers() {
  long long now = tasks::now_ms();
  std::vector<Timer*> due;
  for (Timer* t : registry()) {
    if (t->is_enabled() && t->due_ms <= now) due.push_back(t);
  }
  bool fired = false;
  for (Timer* t : due) {
    // A handler run before this one may have stopped or destroyed it.
    auto& r = registry();
    if (std::find(r.begin(), r.end(), t) == r.end() || !t->is_enabled() || t->due_ms > now)
      continue;
    t->due_ms = now + std::max(1, t->interval());
    fired = true;
    // Work posted for idle waits until the handler returns.
    HandlerScope scope;
    if (t->on_timer) t->on_timer(t);
  }
  if (fired) after_event();
  return fired;
}

}  // namespace detail

bool wait_until(int ms, const std::function<bool()>& done) {
  long long end = tasks::now_ms() + ms;
  for (;;) {
    if (done()) return true;
    long long now = tasks::now_ms();
    if (now >= end) return false;
    detail::wait_step(static_cast<int>(std::min<long long>(2, end - now)));
  }
}

namespace detail {

void release_statics() {
  delete g_registry;
  g_registry = nullptr;
  delete g_idle_work;
  g_idle_work = nullptr;
  std::lock_guard<std::mutex> lock(g_record_lock);
  delete g_record;
  g_record = nullptr;
}

void after_event() {
  if (void (*fn)() = g_after_event.load()) fn();
}

void MarshalledCall::run() {
  {
    std::lock_guard<std::mutex> lock(m_);
    if (state_ != kPending) return;
    state_ = kRunning;
  }
  try {
    (*fn_)();
  } catch (...) {
  }
  std::lock_guard<std::mutex> lock(m_);
  state_ = kDone;
  cv_.notify_all();
}

bool record_message_box(const std::string& text, const std::string& caption) {
  {
    std::lock_guard<std::mutex> lock(record_lock());
    record().push_back({caption, text});
  }
  std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  return !g_suppressed.load();
}

}  // namespace detail

std::vector<MessageRecord> message_boxes() {
  std::lock_guard<std::mutex> lock(record_lock());
  return record();
}

void clear_message_boxes() {
  std::lock_guard<std::mutex> lock(record_lock());
  record().clear();
}

void suppress_message_boxes(bool on) {
  g_suppressed = on;
}

}  // namespace ui
