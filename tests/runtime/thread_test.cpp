#include "runtime/thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/event_loop.h"

namespace corvandel::runtime {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 20s;

// What happened to a thread, as the main thread saw it.
struct TTrace {
  std::atomic<bool> executed{false};
  bool destroyed = false;  // main thread only, like the rest
  int ends = 0;
  bool executedBeforeEnd = false, aliveAtEnd = false, endOnMainThread = false;
  std::string failure;
};

class TProbeThread : public TThread {
public:
  TProbeThread(TMainThread& main, TTrace& trace, std::function<void(TProbeThread&)> body = {})
      : TThread(main), trace_(trace), body_(std::move(body)) {
    SetOnTerminate([&trace, &main](TThread& sender) {
      trace.executedBeforeEnd = trace.executed;
      trace.aliveAtEnd = !trace.destroyed;
      trace.endOnMainThread = main.IsMainThread();
      try {
        if (sender.FatalException()) std::rethrow_exception(sender.FatalException());
      } catch (const std::exception& e) {
        trace.failure = e.what();
      }
      ++trace.ends;
    });
  }
  ~TProbeThread() override {
    if (!FreeOnTerminate()) {  // stopped while body_ and trace_ still exist
      Terminate();
      WaitFor();
    }
    // Reported through the main thread, so that a test waiting for it cannot
    // tear the loop down while this thread still posts to it.
    TTrace& trace = trace_;
    MainThread().Post([&trace] { trace.destroyed = true; });
  }
  using TThread::MainThread;
  using TThread::Synchronize;

protected:
  void Execute() override {
    if (body_) body_(*this);
    trace_.executed = true;
  }

private:
  TTrace& trace_;
  std::function<void(TProbeThread&)> body_;
};

TEST(ThreadTest, OwnedThreadRunsOnlyAfterStartAndEndsOnTheMainThread) {
  TEventLoop loop;
  TTrace trace;
  TProbeThread thread(loop, trace);
  loop.ProcessPending();
  EXPECT_FALSE(trace.executed);
  thread.Start();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_EQ(trace.ends, 1);
  EXPECT_TRUE(trace.executedBeforeEnd);
  EXPECT_TRUE(trace.endOnMainThread);
}

TEST(ThreadTest, LaunchedThreadEndsWhileAliveThenFreesItselfEvenAfterAFailure) {
  const std::function<void(TProbeThread&)> bodies[] = {{}, [](TProbeThread&) { throw std::runtime_error("failed"); }};
  for (const auto& body : bodies) {
    TEventLoop loop;
    TTrace trace;
    TThread::Launch(std::make_unique<TProbeThread>(loop, trace, body));
    ASSERT_TRUE(loop.RunUntil([&] { return trace.destroyed; }, kPatience));
    EXPECT_EQ(trace.ends, 1);
    EXPECT_TRUE(trace.aliveAtEnd);
    EXPECT_TRUE(trace.endOnMainThread);
    EXPECT_EQ(trace.executedBeforeEnd, !body);
    EXPECT_EQ(trace.failure, body ? "failed" : "");
  }
}

TEST(ThreadTest, DestroyingARunningThreadStopsItThroughTheTerminateFlag) {
  TEventLoop loop;
  TTrace trace;
  std::atomic<bool> looping{false};
  {
    TProbeThread thread(loop, trace, [&](TProbeThread& self) {
      looping = true;
      self.MainThread().Post([] {});
      while (!self.Terminated()) std::this_thread::yield();
    });
    thread.Start();
    ASSERT_TRUE(loop.RunUntil([&] { return looping.load(); }, kPatience));
  }
  EXPECT_TRUE(trace.executed);
  EXPECT_EQ(trace.ends, 1);
}

TEST(ThreadTest, MisuseIsRefused) {
  TEventLoop loop;
  TTrace trace;
  TProbeThread once(loop, trace), freeing(loop, trace);
  once.Start();
  EXPECT_THROW(once.Start(), std::logic_error);
  freeing.SetFreeOnTerminate(true);
  EXPECT_THROW(freeing.Start(), std::logic_error);  // would free a thread it does not own
  EXPECT_THROW(freeing.WaitFor(), std::logic_error);
  EXPECT_THROW(TThread::Launch(nullptr), std::invalid_argument);
}

TEST(ThreadTest, ManyLaunchedThreadsSynchronizeAndEnd) {
  constexpr int kThreads = 14, kRounds = 20;
  TEventLoop loop;
  std::vector<TTrace> traces(kThreads);
  int synchronized = 0;
  for (auto& trace : traces)
    TThread::Launch(std::make_unique<TProbeThread>(loop, trace, [&](TProbeThread& self) {
      for (int r = 0; r < kRounds; ++r) self.Synchronize([&] { ++synchronized; });
    }));
  ASSERT_TRUE(loop.RunUntil(
      [&] { return std::all_of(traces.begin(), traces.end(), [](const TTrace& t) { return t.destroyed; }); },
      kPatience));
  EXPECT_EQ(synchronized, kThreads * kRounds);
  for (const TTrace& t : traces) EXPECT_EQ(t.ends, 1);
}

}  // namespace
}  // namespace corvandel::runtime
