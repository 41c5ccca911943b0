// Win32 event loop: the host's thread that first calls into the plug-in is the user-interface
// thread, and the host pumps its own message loop. A hidden message-only window owned by that
// thread receives posted work and one SetTimer timer that stands for the whole timer registry,
// so plug-in messages and timers run from whatever loop the host (or a nested pump) runs.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/loop_internal.h"
#include "platform/tasks.h"

namespace ui {

namespace {

constexpr UINT kRunMessage = WM_APP + 0x4B4;    // one posted function is waiting
constexpr UINT kRearmMessage = WM_APP + 0x4B5;  // timers changed off the user-interface thread
constexpr UINT_PTR kTimerId = 1;
// Bounds process_messages() so that a handler that keeps posting cannot hold the caller for ever.
constexpr int kProcessMessagesLimit = 10000;

struct Loop {
  std::mutex m;
  std::condition_variable cv;               // run_on_ui completions and shutdown
  std::deque<std::function<void()>> queue;  // guarded by m
  std::atomic<DWORD> ui_id{0};              // 0: no user-interface thread yet
  std::atomic<HWND> window{nullptr};
  std::atomic<unsigned> generation{0};  // advanced by shutdown: waiters stop waiting
};

Loop& loop() {
  static Loop* l = new Loop;  // never destroyed: detach may run after static destruction
  return *l;
}

// Messages are plug-in code; nothing they throw may end the host's loop.
// A posted message is a handler while it runs.
void run_guarded(const std::function<void()>& fn) {
  HandlerScope scope;
  try {
    fn();
  } catch (...) {
  }
}

bool run_one_posted() {
  Loop& l = loop();
  std::function<void()> fn;
  {
    std::lock_guard<std::mutex> lock(l.m);
    if (l.queue.empty()) return false;
    fn = std::move(l.queue.front());
    l.queue.pop_front();
  }
  run_guarded(fn);
  detail::after_event();
  return true;
}

bool fire_timers_guarded() {
  try {
    return detail::fire_due_timers();
  } catch (...) {
    return true;
  }
}

// Point the window's timer at the earliest due registry timer, or stop it. UI thread only.
void arm_timer() {
  HWND w = loop().window.load();
  if (!w) return;
  long long due = detail::next_due_ms();
  if (due < 0) {
    KillTimer(w, kTimerId);
    return;
  }
  long long wait = std::clamp<long long>(due - tasks::now_ms(), USER_TIMER_MINIMUM, 0x7FFFFFFF);
  SetTimer(w, kTimerId, static_cast<UINT>(wait), nullptr);
}

LRESULT CALLBACK window_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case kRunMessage:
      run_one_posted();
      detail::run_idle();
      return 0;
    case kRearmMessage:
      arm_timer();
      return 0;
    case WM_TIMER:
      if (wp != kTimerId) break;
      fire_timers_guarded();
      arm_timer();
      detail::run_idle();
      return 0;
    default:
      break;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

HINSTANCE this_module() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&window_proc), &module);
  return module;
}

// The class name carries the window procedure's address so that two copies of the plug-in in one
// process (hosts that load a renamed copy per view) never share a class.
void class_name(char (&name)[64]) {
  wsprintfA(name, "KMV410LoopWindow%p", reinterpret_cast<void*>(&window_proc));
}

void create_window() {
  Loop& l = loop();
  HINSTANCE module = this_module();
  char name[64];
  class_name(name);
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = window_proc;
  wc.hInstance = module;
  wc.lpszClassName = name;
  RegisterClassExA(&wc);
  HWND w = CreateWindowExA(0, name, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
  l.window = w;
  if (!w) return;
  // Work posted before this thread became the user-interface thread.
  size_t waiting;
  {
    std::lock_guard<std::mutex> lock(l.m);
    waiting = l.queue.size();
  }
  for (size_t i = 0; i < waiting; ++i) PostMessageA(w, kRunMessage, 0, 0);
  arm_timer();
}

// Handle one message taken from the thread's queue. False when it was WM_QUIT, which belongs to
// the host's loop and is put back for it.
bool dispatch(const MSG& msg) {
  if (msg.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(msg.wParam));
    return false;
  }
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
  return true;
}

// No window may outlive the code of its procedure: a host that unloads the plug-in goes on
// pumping messages. Takes no lock, so it is safe under the loader lock at unload.
void release_window() {
  HWND w = loop().window.exchange(nullptr);
  if (!w) return;
  if (on_ui_thread()) {
    KillTimer(w, kTimerId);
    DestroyWindow(w);
    char name[64];
    class_name(name);
    UnregisterClassA(name, this_module());
  } else {
    // Only the owning thread may destroy the window: hand it to the system's procedure, which
    // closes it when the owner's loop runs.
    SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcA));
    PostMessageA(w, WM_CLOSE, 0, 0);
  }
}

// The DLL's static destructors run when it is unloaded (FreeLibrary or process exit).
struct ReleaseWindowAtUnload {
  ~ReleaseWindowAtUnload() { release_window(); }
} g_release_window_at_unload;

}  // namespace

namespace detail {

void timers_changed() {
  Loop& l = loop();
  HWND w = l.window.load();
  if (!w) return;  // armed when the window is created
  if (on_ui_thread()) {
    arm_timer();
  } else {
    PostMessageA(w, kRearmMessage, 0, 0);
  }
}

}  // namespace detail

void post(std::function<void()> fn) {
  Loop& l = loop();
  {
    std::lock_guard<std::mutex> lock(l.m);
    l.queue.push_back(std::move(fn));
  }
  // Without a window yet (or when the post fails) the work stays queued; create_window() and the
  // pumps below pick it up.
  if (HWND w = l.window.load()) PostMessageA(w, kRunMessage, 0, 0);
}

void process_messages() {
  HandlerScope scope;
  fire_timers_guarded();  // not starved by a flood of posted work (see handle_message)
  MSG msg;
  for (int i = 0; i < kProcessMessagesLimit; ++i) {
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!dispatch(msg)) return;
    } else if (!run_one_posted() && !fire_timers_guarded()) {
      break;
    }
  }
  arm_timer();
}

void handle_message(int limit_ms) {
  HandlerScope scope;
  long long limit = tasks::now_ms() + limit_ms;
  MSG msg;
  for (;;) {
    // Due timers first: WM_TIMER only comes when no posted message waits, and a wait bounded
    // by a timer must end even while workers keep posting.
    long long now = tasks::now_ms();
    long long due = detail::next_due_ms();
    if (due >= 0 && due <= now) {
      fire_timers_guarded();
      arm_timer();
      return;
    }
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      dispatch(msg);
      return;
    }
    if (run_one_posted()) return;
    if (now >= limit) return;
    long long until = (due >= 0 && due < limit) ? due : limit;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(until - now), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
}

bool on_ui_thread() {
  DWORD id = loop().ui_id.load();
  return id != 0 && id == GetCurrentThreadId();
}

void adopt_this_thread() {
  Loop& l = loop();
  DWORD none = 0;
  if (!l.ui_id.compare_exchange_strong(none, GetCurrentThreadId())) return;
  create_window();
}

bool run_on_ui(const std::function<void()>& fn, int limit_ms) {
  Loop& l = loop();
  adopt_this_thread();  // the host's first calling thread becomes the user-interface thread
  if (on_ui_thread()) {
    HandlerScope scope;
    fn();
    return true;
  }
  // Another thread: the host's loop (or a nested pump) runs it; a shutdown meanwhile ends the wait.
  auto call = std::make_shared<detail::MarshalledCall>(fn);
  unsigned generation = l.generation.load();
  post([call] { call->run(); });
  return call->wait(limit_ms, [&] { return l.generation.load() != generation; });
}

namespace detail {
void wait_step(int ms) {
  // Sent messages only: PeekMessage delivers them before it looks at the (untouched) queue.
  MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(ms), QS_SENDMESSAGE, 0);
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}
}  // namespace detail

bool shutdown(int /*ms*/) {
  Loop& l = loop();
  release_window();
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(l.m);
    dropped.swap(l.queue);
    l.ui_id = 0;
    l.generation.fetch_add(1);
    l.cv.notify_all();
  }
  return true;  // the host owns the thread
}

void message_box(const std::string& text, const std::string& caption) {
  if (!detail::record_message_box(text, caption)) return;
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_TASKMODAL);
}

}  // namespace ui
