#include "runtime/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace corvandel::runtime {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 20s;  // only a hang comes near it

TEST(MainThreadTest, SendRunsOnTheMainThreadAndHandsBackItsFailure) {
  TEventLoop loop;
  std::thread::id ranOn;
  int value = 0, seenAfterSend = -1;
  std::string caught;
  std::atomic<bool> done{false};
  std::thread sender([&] {
    loop.Send([&] { ranOn = std::this_thread::get_id(); value = 42; });
    seenAfterSend = value;  // Send returned after the write: no lock needed
    try {
      loop.Send([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    done = true;
    loop.Post([] {});
  });
  ASSERT_TRUE(loop.RunUntil([&] { return done.load(); }, kPatience));
  sender.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(seenAfterSend, 42);
  EXPECT_EQ(caught, "handler failed");
}

TEST(MainThreadTest, MessagesRunInOrderAlsoWhenProcessedFromAMessage) {
  TEventLoop loop;
  std::vector<int> order;
  loop.Post([&] {
    order.push_back(1);
    loop.Post([&] { order.push_back(4); });
    loop.ProcessPending();
    order.push_back(3);
  });
  loop.Post([&] { order.push_back(2); });
  loop.ProcessPending();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 4, 3}));
  bool inline_ = false;
  loop.Send([&] { inline_ = true; });  // on the main thread itself: at once
  EXPECT_TRUE(inline_);
}

// A main thread that only collects messages, so that the test can drop them.
class TCollectingMainThread : public TMainThread {
public:
  void Post(std::function<void()> fn) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(fn));
    posted_.notify_all();
  }
  void ProcessPending() override {}
  void WaitAndProcess(std::chrono::milliseconds) override {}
  bool IsMainThread() const override { return false; }
  bool AwaitMessage() {
    std::unique_lock<std::mutex> lock(mutex_);
    return posted_.wait_for(lock, kPatience, [&] { return !queue_.empty(); });
  }
  void DropAll() {
    std::vector<std::function<void()>> dropped;
    const std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(queue_);
  }

private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::vector<std::function<void()>> queue_;
};

TEST(MainThreadTest, SenderOfADroppedMessageIsReleasedWithAnError) {
  TCollectingMainThread main;
  bool ran = false, failed = false;
  std::thread sender([&] {
    try {
      main.Send([&] { ran = true; });
    } catch (const std::runtime_error&) {
      failed = true;
    }
  });
  ASSERT_TRUE(main.AwaitMessage());
  main.DropAll();
  sender.join();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(failed);
}

TEST(EventLoopTest, TimerStopsItselfAndQuitEndsRun) {
  TEventLoop loop;
  int ticks = 0;
  TEventLoop::TTimerId id = loop.StartTimer(1ms, [&] {
    if (++ticks == 3) loop.StopTimer(id);
  });
  ASSERT_TRUE(loop.RunUntil([&] { return ticks == 3; }, kPatience));
  EXPECT_FALSE(loop.RunUntil([&] { return ticks > 3; }, 20ms));

  std::thread other([&] { loop.Quit(); });
  loop.Run();
  other.join();
}

}  // namespace
}  // namespace corvandel::runtime
