#pragma once

// A worker thread in the classic shape: created suspended, started once,
// asked to stop through a cooperative flag, and told apart from its owner by
// an end notification that runs on the main thread after the body returned.
//
//   class TWorker : public TThread { void Execute() override { ... } };
//   auto worker = std::make_unique<TWorker>(mainThread);
//   worker->SetOnTerminate([](TThread& sender) { ... });  // main thread
//   TThread::Launch(std::move(worker));                     // frees itself

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/main_thread.h"

namespace corvandel::runtime {

class TThread {
public:
  using TNotifyEvent = std::function<void(TThread& sender)>;

  // Created suspended: nothing runs until Start or Launch.
  explicit TThread(TMainThread& mainThread);
  // A thread that is still running is asked to stop and waited for (see
  // WaitFor); a thread that frees itself destroys itself after its end.
  // By the time this runs, a derived class's members are gone while its
  // Execute may still use them: a derived class whose owner can destroy it
  // while it runs calls Terminate and WaitFor in its own destructor.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts a thread its owner keeps: the owner destroys it, which waits for
  // it. A thread set to free itself must be started with Launch instead.
  void Start();
  // Starts thread and hands it over to itself: it frees itself once its end
  // notification has run. The caller may keep a plain pointer to it until
  // then, and never after.
  static void Launch(std::unique_ptr<TThread> thread);

  // Sets the stop request; Execute looks at Terminated and returns soon.
  void Terminate() noexcept { terminated_.store(true, std::memory_order_relaxed); }
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_relaxed); }

  bool FreeOnTerminate() const { return freeOnTerminate_; }
  void SetFreeOnTerminate(bool value) { freeOnTerminate_ = value; }

  // Runs on the main thread after Execute has returned or raised, while the
  // thread waits; set before the thread starts.
  void SetOnTerminate(TNotifyEvent handler) { onTerminate_ = std::move(handler); }

  // The exception that ended Execute, if one did; read it in the end
  // notification or after WaitFor.
  std::exception_ptr FatalException() const { return fatalException_; }

  // True once the end notification has run.
  bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }

  // Waits for the end of a thread its owner keeps. On the main thread it
  // keeps running main-thread messages meanwhile, so that the thread's own
  // sends and its end notification can run.
  void WaitFor();

protected:
  // The thread body. An exception that leaves it is caught and kept in
  // FatalException.
  virtual void Execute() = 0;

  TMainThread& MainThread() const { return mainThread_; }
  // Runs fn on the main thread and waits for it (TMainThread::Send).
  void Synchronize(const std::function<void()>& fn) { mainThread_.Send(fn); }

private:
  std::thread BeginThread();
  void ThreadMain();

  TMainThread& mainThread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  bool freeOnTerminate_ = false;
  bool started_ = false;
  TNotifyEvent onTerminate_;
  std::exception_ptr fatalException_;
  std::thread thread_;  // only for threads their owner keeps
};

}  // namespace corvandel::runtime
