#pragma once

// The program's main thread as seen from other threads: the one thread that
// runs the window (or the headless front-end) and every handler of it.
// Workers reach it only through Send and Post.

#include <chrono>
#include <functional>

namespace corvandel::runtime {

class TMainThread {
public:
  virtual ~TMainThread() = default;

  // Runs fn on the main thread and returns once it has run; an exception
  // that fn raises is raised again here, in the sender. Called on the main
  // thread itself, fn runs at once.
  void Send(const std::function<void()>& fn);

  // Queues fn to run on the main thread and returns at once. Messages run in
  // the order in which they were posted. Safe from any thread.
  virtual void Post(std::function<void()> fn) = 0;

  // Main thread only: runs the queued messages, including those queued while
  // they run, until none is left. An exception raised by a message leaves
  // this call; the messages behind it stay queued.
  virtual void ProcessPending() = 0;

  // Main thread only: when nothing is queued, waits up to maxWait for a
  // message; then runs what is queued, like ProcessPending.
  virtual void WaitAndProcess(std::chrono::milliseconds maxWait) = 0;

  virtual bool IsMainThread() const = 0;

protected:
  TMainThread() = default;
  // Raises std::logic_error unless called on the main thread; for the calls
  // that only the main thread may make.
  void RequireMainThread() const;
  TMainThread(const TMainThread&) = delete;
  TMainThread& operator=(const TMainThread&) = delete;
};

}  // namespace corvandel::runtime
