#include "runtime/message_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/event_loop.h"

namespace corvandel::runtime {
namespace {

TEST(MessageQueueTest, RunsInOrderWakesOncePerPostAndGoesOnAfterAFailure) {
  TMessageQueue queue;
  int wakes = 0;
  queue.SetWakeHook([&] { ++wakes; });
  std::vector<int> ran;
  queue.Post([&] { ran.push_back(1); });
  queue.Post([] { throw std::runtime_error("boom"); });
  queue.Post([&] { ran.push_back(3); });
  EXPECT_EQ(wakes, 3);
  EXPECT_TRUE(queue.RunOne());
  EXPECT_THROW(queue.RunOne(), std::runtime_error);
  // What stands behind the failed message asks for a wake again.
  queue.WakeIfPending();
  EXPECT_EQ(wakes, 4);
  EXPECT_TRUE(queue.RunOne());
  EXPECT_FALSE(queue.RunOne());
  queue.WakeIfPending();
  EXPECT_EQ(wakes, 4);
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
}

// Closing drops what is queued and what comes later, destroys it outside
// the lock (a dropped message may post again), and wakes a waiting thread.
TEST(MessageQueueTest, CloseDropsMessagesAndWakesTheWaiter) {
  TMessageQueue queue;
  std::thread waiter([&] { queue.Wait(std::nullopt); });
  auto token = std::make_shared<int>(0);
  struct TPostOnDrop {
    explicit TPostOnDrop(TMessageQueue& target) : queue(target) {}
    ~TPostOnDrop() { queue.Post([] {}); }
    TMessageQueue& queue;
  };
  auto postOnDrop = std::make_shared<TPostOnDrop>(queue);
  queue.Post([token] {});
  queue.Post([postOnDrop] {});
  postOnDrop.reset();
  queue.Close();
  waiter.join();
  EXPECT_TRUE(queue.Closed());
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_FALSE(queue.Post([] {}));
  EXPECT_EQ(queue.Dropped(), 4u);
  queue.Wait(std::nullopt);  // closed: no wait
}

// The waiter above may also have woken for the first post; this one can
// only wake for the close.
TEST(MessageQueueTest, CloseWakesAWaiterOfAnEmptyQueue) {
  TMessageQueue queue;
  std::thread waiter([&] { queue.Wait(std::nullopt); });
  queue.Close();
  waiter.join();
  EXPECT_EQ(queue.Dropped(), 0u);
}

TEST(MessageQueueTest, MainThreadCallsAreRefusedElsewhere) {
  TEventLoop loop;
  std::thread other([&] {
    EXPECT_THROW(loop.ProcessPending(), std::logic_error);
    EXPECT_THROW(loop.WaitAndProcess(std::chrono::milliseconds(0)), std::logic_error);
  });
  other.join();
}

}  // namespace
}  // namespace corvandel::runtime
