// The Win32 event loop as a host meets it: the test's main thread plays the host's
// user-interface thread and pumps a plain GetMessage/DispatchMessage loop of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/tasks.h"
#include "platform/ui.h"

namespace {

// The host's loop: GetMessage/DispatchMessage until done() or ms have passed. A thread timer
// wakes GetMessage so the bound holds even when nothing else arrives.
template <typename Pred>
void host_loop(int ms, Pred done) {
  UINT_PTR wake = SetTimer(nullptr, 0, 10, nullptr);
  long long end = tasks::now_ms() + ms;
  MSG msg;
  while (!done() && tasks::now_ms() < end && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  KillTimer(nullptr, wake);
}

class Win32Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::adopt_this_thread();
    ui::suppress_message_boxes(true);
    ui::clear_message_boxes();
    ui::process_messages();
  }
};

TEST_F(Win32Loop, PostedWorkRunsFromTheHostsLoopOnTheUiThread) {
  ASSERT_TRUE(ui::on_ui_thread());
  std::atomic<int> ran{0};
  std::atomic<bool> on_ui{false};
  std::thread worker([&] {
    EXPECT_FALSE(ui::on_ui_thread());
    for (int i = 0; i < 3; ++i) {
      ui::post([&] {
        on_ui = ui::on_ui_thread();
        ++ran;
      });
    }
  });
  worker.join();
  host_loop(2000, [&] { return ran == 3; });
  EXPECT_EQ(ran, 3);
  EXPECT_TRUE(on_ui);
}

TEST_F(Win32Loop, TimersTickFromTheHostsLoop) {
  ui::Timer periodic(nullptr, "T_Update", 30, true);
  ui::Timer once(nullptr, "Timer3", 50, true);
  int periodic_ticks = 0;
  int once_ticks = 0;
  periodic.on_timer = [&](ui::Control*) { ++periodic_ticks; };
  once.on_timer = [&](ui::Control*) {
    ++once_ticks;
    once.set_enabled(false);  // one-shot, the way the handlers do it
  };
  long long start = tasks::now_ms();
  host_loop(400, [] { return false; });
  long long elapsed = tasks::now_ms() - start;
  EXPECT_GE(periodic_ticks, 4) << "over " << elapsed << " ms";
  EXPECT_LE(periodic_ticks, elapsed / 30 + 1);
  EXPECT_EQ(once_ticks, 1);
}

TEST_F(Win32Loop, TimerStartedFromAnotherTimersHandlerAndDestroyedTimersAreSafe) {
  int ticks = 0;
  auto first = std::make_unique<ui::Timer>(nullptr, "Timer1", 20, true);
  ui::Timer second(nullptr, "Timer2", 40, false);
  first->on_timer = [&](ui::Control*) {
    first->set_enabled(false);
    second.set_enabled(true);
  };
  second.on_timer = [&](ui::Control*) { ++ticks; };
  host_loop(1000, [&] { return ticks >= 2; });
  EXPECT_GE(ticks, 2);
  // Its pending WM_TIMER, if any, must find nothing to call.
  first.reset();
  second.set_enabled(false);
  host_loop(100, [] { return false; });
  EXPECT_GE(ticks, 2);
}

TEST_F(Win32Loop, ProcessMessagesRunsPendingWorkAndLeavesQuitForTheHost) {
  int ran = 0;
  ui::post([&] { ++ran; });
  ui::post([&] { ++ran; });
  ui::process_messages();
  EXPECT_EQ(ran, 2);

  PostQuitMessage(7);
  ui::post([&] { ++ran; });
  ui::process_messages();
  MSG msg;
  bool quit_seen = false;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quit_seen = true;
      EXPECT_EQ(msg.wParam, 7u);
    } else {
      DispatchMessageA(&msg);
    }
  }
  EXPECT_TRUE(quit_seen) << "a pump inside the plug-in must not swallow the host's WM_QUIT";
  ui::process_messages();
  EXPECT_EQ(ran, 3);
}

TEST_F(Win32Loop, HandleMessageIsBoundedAndWakesForTimersAndPosts) {
  long long t0 = tasks::now_ms();
  ui::handle_message();
  long long idle = tasks::now_ms() - t0;
  EXPECT_GE(idle, ui::kHandleMessageLimitMs - 50);
  EXPECT_LE(idle, ui::kHandleMessageLimitMs + 500);

  ui::Timer timer(nullptr, "Timer3", 60, true);
  int ticks = 0;
  timer.on_timer = [&](ui::Control*) {
    ++ticks;
    timer.set_enabled(false);
  };
  t0 = tasks::now_ms();
  while (ticks == 0 && tasks::now_ms() - t0 < 2000) ui::handle_message();
  long long waited = tasks::now_ms() - t0;
  EXPECT_EQ(ticks, 1);
  EXPECT_GE(waited, 40);
  EXPECT_LE(waited, 600);

  std::atomic<bool> ran{false};
  std::thread worker([&] {
    Sleep(50);
    ui::post([&] { ran = true; });
  });
  t0 = tasks::now_ms();
  while (!ran && tasks::now_ms() - t0 < 2000) ui::handle_message();
  worker.join();
  EXPECT_TRUE(ran);
  EXPECT_LE(tasks::now_ms() - t0, 800);
}

TEST_F(Win32Loop, NestedWaitEndsThroughATimerWhileTheHostLoopIsBlocked) {
  // The acknowledgement-wait pattern: a handler pumps until a flag drops, bounded by a one-shot
  // timer that clears the flag.
  std::atomic<int> flag{1};
  ui::Timer limit(nullptr, "Timer3", 100, false);
  limit.on_timer = [&](ui::Control*) {
    limit.set_enabled(false);
    flag = 0;
  };
  bool finished = false;
  long long waited = 0;
  ui::post([&] {
    long long t0 = tasks::now_ms();
    limit.set_enabled(true);
    while (flag != 0) ui::handle_message();
    waited = tasks::now_ms() - t0;
    finished = true;
  });
  host_loop(2000, [&] { return finished; });
  EXPECT_TRUE(finished);
  EXPECT_GE(waited, 80);
  EXPECT_LE(waited, 700);
}

TEST_F(Win32Loop, TimerBoundedWaitEndsWhilePostedWorkNeverRunsOut) {
  // Work that posts more work keeps the queue from ever being empty, so WM_TIMER would never be
  // generated; the chain ends by itself after 2.5 s at the latest.
  std::atomic<bool> stop{false};
  int ran = 0;
  long long chain_end = tasks::now_ms() + 2500;
  std::function<void()> again = [&] {
    ++ran;
    if (!stop && tasks::now_ms() < chain_end) ui::post(again);
  };
  ui::post(again);
  ui::post(again);

  std::atomic<int> flag{1};
  ui::Timer limit(nullptr, "Timer3", 100, true);
  limit.on_timer = [&](ui::Control*) {
    limit.set_enabled(false);
    flag = 0;
  };
  long long t0 = tasks::now_ms();
  while (flag != 0 && tasks::now_ms() - t0 < 3000) ui::handle_message();
  long long waited = tasks::now_ms() - t0;
  stop = true;
  ui::process_messages();  // the last links of the chain, before the captures go out of scope
  EXPECT_EQ(flag, 0);
  EXPECT_LE(waited, 700);
  EXPECT_GT(ran, 2);
}

TEST_F(Win32Loop, RunOnUiMarshalsFromOtherThreadsAndRunsDirectlyWhenReentrant) {
  int direct = 0;
  ui::run_on_ui([&] {
    EXPECT_TRUE(ui::on_ui_thread());
    // Re-entrant: a host calling an export from inside a notification.
    ui::run_on_ui([&] { ++direct; });
  });
  EXPECT_EQ(direct, 1);

  std::atomic<bool> worker_done{false};
  std::atomic<bool> ran_on_ui{false};
  std::thread worker([&] {
    int value = 0;
    ui::run_on_ui([&] {
      ran_on_ui = ui::on_ui_thread();
      value = 42;
    });
    EXPECT_EQ(value, 42);  // run_on_ui returns only after the work ran
    worker_done = true;
  });
  host_loop(2000, [&] { return worker_done.load(); });
  worker.join();
  EXPECT_TRUE(worker_done);
  EXPECT_TRUE(ran_on_ui);
}

TEST_F(Win32Loop, SuppressedMessageBoxesAreRecordedWithoutBlocking) {
  long long t0 = tasks::now_ms();
  ui::message_box("USB-Task didn't stop!", "Close USB");
  ui::message_box("Can't close USB-Task!", "Close USB");
  EXPECT_LE(tasks::now_ms() - t0, 500);
  auto boxes = ui::message_boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, "Close USB");
  EXPECT_EQ(boxes[0].text, "USB-Task didn't stop!");
  EXPECT_EQ(boxes[1].text, "Can't close USB-Task!");
  ui::clear_message_boxes();
  EXPECT_TRUE(ui::message_boxes().empty());
}

TEST_F(Win32Loop, MessageBoxIsShownModallyWithItsCaptionAndText) {
  // Someone must press OK: a watcher finds the box by its caption, reads it and closes it.
  std::atomic<bool> found{false};
  char text[128] = {};
  std::thread watcher([&] {
    for (int i = 0; i < 200 && !found; ++i) {
      HWND box = FindWindowA(nullptr, "Close USB");
      if (box) {
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the box's text control
        found = true;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
      } else {
        Sleep(50);
      }
    }
  });
  ui::suppress_message_boxes(false);
  ui::message_box("Error on release USB!", "Close USB");
  ui::suppress_message_boxes(true);
  watcher.join();
  EXPECT_TRUE(found);
  EXPECT_STREQ(text, "Error on release USB!");
  auto boxes = ui::message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Error on release USB!");
}

TEST_F(Win32Loop, ShutdownDropsPendingWorkAndTheThreadCanBeAdoptedAgain) {
  int ran = 0;
  ui::post([&] { ++ran; });
  ui::shutdown(100);
  EXPECT_FALSE(ui::on_ui_thread());
  ui::adopt_this_thread();
  EXPECT_TRUE(ui::on_ui_thread());
  host_loop(100, [] { return false; });
  EXPECT_EQ(ran, 0);
  ui::post([&] { ++ran; });
  host_loop(1000, [&] { return ran == 1; });
  EXPECT_EQ(ran, 1);
}

}  // namespace
