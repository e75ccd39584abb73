#pragma once

// A plain main-thread loop without any window toolkit: a message queue that
// other threads post to, and periodic timers. It serves the headless
// front-end and the tests; the window brings its own TMainThread.
//
//   TEventLoop loop;                       // this thread is the main thread
//   loop.StartTimer(200ms, [&] { ... });
//   loop.RunUntil([&] { return finished; });

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "runtime/main_thread.h"
#include "runtime/message_queue.h"

namespace corvandel::runtime {

class TEventLoop final : public TMainThread {
public:
  using TTimerId = uint32_t;
  using TClock = std::chrono::steady_clock;

  // The constructing thread becomes the main thread. The loop must outlive
  // every thread that sends or posts to it.
  TEventLoop();
  ~TEventLoop() override;

  void Post(std::function<void()> fn) override;
  void ProcessPending() override;
  void WaitAndProcess(std::chrono::milliseconds maxWait) override;
  bool IsMainThread() const override;

  // Main thread only. Calls fn every interval, from Run and RunUntil, until
  // the timer is stopped. Ticks missed while the thread was busy are
  // dropped, not made up for.
  TTimerId StartTimer(std::chrono::milliseconds interval, std::function<void()> fn);
  void StopTimer(TTimerId id);

  // Main thread only: runs messages and timers until Quit.
  void Run();
  // Main thread only: runs messages and timers until done() holds, looked at
  // before waiting and after every message or timer tick. Without a limit it
  // waits as long as it takes; with one, false means the time ran out first.
  bool RunUntil(const std::function<bool()>& done,
                std::optional<std::chrono::milliseconds> limit = std::nullopt);
  // Makes Run return after the messages posted before this call have run.
  // Safe from any thread.
  void Quit();

private:
  struct TTimer {
    TTimerId id;
    std::chrono::milliseconds interval;
    TClock::time_point due;
    std::function<void()> fn;
  };

  // Runs the timers that are due; true when at least one ran.
  bool FireTimers();
  std::optional<TClock::time_point> NextDue() const;

  const std::thread::id mainThread_;
  TMessageQueue queue_;

  // Touched on the main thread only.
  bool quitRequested_ = false;
  std::vector<TTimer> timers_;
  TTimerId lastTimerId_ = 0;
};

}  // namespace corvandel::runtime
