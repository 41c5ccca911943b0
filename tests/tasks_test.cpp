#include "platform/tasks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// A gate a body waits on, so tests decide when it returns.
struct Gate {
  std::atomic<bool> open{false};
  void wait() const {
    while (!open.load()) tasks::sleep_ms(1);
  }
};

TEST(Task, EmptyHandleIsNotRunningAndWaitsAtOnce) {
  tasks::Task t;
  EXPECT_TRUE(t.empty());
  EXPECT_FALSE(t.running());
  EXPECT_TRUE(t.wait(0));
}

TEST(Task, FinishedTaskCountsAsNotRunning) {
  tasks::Pool pool;
  std::atomic<int> runs{0};
  tasks::Task t = pool.start([&] { runs.fetch_add(1); });
  ASSERT_FALSE(t.empty());
  EXPECT_TRUE(t.wait(5000));
  EXPECT_FALSE(t.running());
  EXPECT_EQ(runs.load(), 1);
  EXPECT_TRUE(pool.wait_idle(5000));
  EXPECT_EQ(pool.live(), 0);
}

TEST(Task, WaitIsBoundedWhileTheBodyRuns) {
  tasks::Pool pool;
  Gate gate;
  tasks::Task t = pool.start([&] { gate.wait(); });
  const long long before = tasks::now_ms();
  EXPECT_FALSE(t.wait(50));
  const long long waited = tasks::now_ms() - before;
  EXPECT_GE(waited, 45);
  EXPECT_LT(waited, 2000);
  EXPECT_TRUE(t.running());
  gate.open = true;
  EXPECT_TRUE(t.wait(5000));
  EXPECT_FALSE(t.running());
}

TEST(Task, DroppedTaskRunsOnAndIsStillCounted) {
  tasks::Pool pool;
  Gate gate;
  std::atomic<bool> finished{false};
  tasks::Task t = pool.start([&] {
    gate.wait();
    finished = true;
  });
  t.drop();
  EXPECT_TRUE(t.empty());
  EXPECT_FALSE(t.running());
  EXPECT_EQ(pool.live(), 1);
  EXPECT_FALSE(pool.wait_idle(20));
  gate.open = true;
  EXPECT_TRUE(pool.wait_idle(5000));
  EXPECT_TRUE(finished.load());
  EXPECT_EQ(pool.live(), 0);
}

TEST(Task, ExceptionEndsTheTaskNotTheProcess) {
  tasks::Pool pool;
  tasks::Task a = pool.start([] { throw std::runtime_error("body failed"); });
  tasks::Task b = pool.start([] { throw 42; });
  EXPECT_TRUE(a.wait(5000));
  EXPECT_TRUE(b.wait(5000));
  EXPECT_FALSE(a.running());
  EXPECT_TRUE(pool.wait_idle(5000));
  // The pool keeps working afterwards.
  std::atomic<bool> ran{false};
  EXPECT_TRUE(pool.start([&] { ran = true; }).wait(5000));
  EXPECT_TRUE(ran.load());
}

TEST(Task, CapturesAreGoneOnceTheTaskIsFinished) {
  tasks::Pool pool;
  auto resource = std::make_shared<int>(7);
  std::weak_ptr<int> watch = resource;
  tasks::Task t = pool.start([r = std::move(resource)] { (void)*r; });
  ASSERT_TRUE(t.wait(5000));
  EXPECT_TRUE(watch.expired());
}

TEST(Pool, CountsEveryLiveBody) {
  tasks::Pool pool;
  Gate gate;
  std::vector<tasks::Task> started;
  for (int i = 0; i < 5; ++i) started.push_back(pool.start([&] { gate.wait(); }));
  EXPECT_EQ(pool.live(), 5);
  started[0].drop();
  started[1].drop();
  EXPECT_EQ(pool.live(), 5);
  gate.open = true;
  EXPECT_TRUE(pool.wait_idle(5000));
  for (auto& t : started) EXPECT_FALSE(t.running());
}

TEST(Pool, ManyShortTasksAreJoinedAsTheyFinish) {
  tasks::Pool pool;
  std::atomic<int> runs{0};
  for (int i = 0; i < 200; ++i) {
    tasks::Task t = pool.start([&] { runs.fetch_add(1); });
    ASSERT_TRUE(t.wait(5000));
  }
  EXPECT_EQ(runs.load(), 200);
  EXPECT_TRUE(pool.release(5000));
}

TEST(Pool, ReleaseLetsAStuckBodyRunOnAndStartsNothingMore) {
  std::atomic<bool> finished{false};
  Gate gate;
  {
    tasks::Pool pool;
    pool.start([&] {
      gate.wait();
      finished = true;
    });
    EXPECT_FALSE(pool.release(20));
    std::atomic<bool> ran{false};
    tasks::Task late = pool.start([&] { ran = true; });
    EXPECT_TRUE(late.empty());
    EXPECT_FALSE(late.running());
    EXPECT_EQ(pool.live(), 1);
  }  // the pool object is gone; the body still runs on what it shares
  gate.open = true;
  for (int i = 0; i < 5000 && !finished.load(); ++i) tasks::sleep_ms(1);
  EXPECT_TRUE(finished.load());
  tasks::sleep_ms(20);  // let the detached thread leave before the process ends
}

TEST(Pool, DestructorWaitsForFinishingBodies) {
  std::atomic<bool> finished{false};
  {
    tasks::Pool pool;
    pool.start([&] {
      tasks::sleep_ms(30);
      finished = true;
    });
  }
  EXPECT_TRUE(finished.load());
}

TEST(Pool, AbandonDoesNotWait) {
  Gate gate;
  std::atomic<bool> finished{false};
  const long long before = tasks::now_ms();
  {
    tasks::Pool pool;
    pool.start([&] {
      gate.wait();
      finished = true;
    });
    pool.abandon();
  }
  EXPECT_LT(tasks::now_ms() - before, 1000);
  gate.open = true;
  for (int i = 0; i < 5000 && !finished.load(); ++i) tasks::sleep_ms(1);
  EXPECT_TRUE(finished.load());
  tasks::sleep_ms(20);
}

}  // namespace
