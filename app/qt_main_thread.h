#pragma once

// The window's main thread: the Qt GUI thread. Messages from workers wait in
// a queue of this class's own, and one posted Qt event wakes the GUI loop to
// run whatever is queued; a Send from a worker is thus a blocking queued
// invocation on the window's thread. ProcessPending and WaitAndProcess run
// these messages only, never other window events, so a handler that waits
// for workers cannot be re-entered by a click.
//
// Close ends the main thread's service for good: the messages queued then,
// and every message posted later, are dropped without running, which
// releases their senders with an error. A worker still inside a network call
// when the window closes thus ends on its own as soon as its call returns,
// without touching the window.

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include "runtime/main_thread.h"
#include "runtime/message_queue.h"

class QEvent;
class QObject;

namespace corvandel::app {

class TQtMainThread final : public runtime::TMainThread {
public:
  using TErrorHandler = std::function<void(std::exception_ptr failure)>;

  // The constructing thread, which must own the QApplication, becomes the
  // main thread. The object must outlive every thread that posts to it.
  TQtMainThread();
  ~TQtMainThread() override;

  void Post(std::function<void()> fn) override;
  void ProcessPending() override;
  void WaitAndProcess(std::chrono::milliseconds maxWait) override;
  bool IsMainThread() const override;

  // Main thread only. Receives what a message raises when the GUI loop ran
  // it (exceptions must not cross Qt's event loop).
  void SetOnError(TErrorHandler handler) { onError_ = std::move(handler); }

  // Main thread only; see above. Cannot be undone.
  void Close();
  bool Closed() const;
  // Messages dropped since Close: two for a worker that was still in a
  // call (its result and its end notification).
  std::size_t Dropped() const;

private:
  class TWaker;
  friend class TWaker;

  void ScheduleWake();  // the queue's wake hook: runs under its lock
  bool TakeWake(const QEvent& event);
  void OnWake();

  const std::thread::id mainThread_;
  TErrorHandler onError_;
  runtime::TMessageQueue queue_;
  // Shared with the wake hook, so touched under the queue's lock: the
  // receiver of the wake event (gone once closed), and whether one is on
  // its way.
  std::unique_ptr<QObject> waker_;
  bool wakePending_ = false;
  int wakeDepth_ = 0;  // main thread only: OnWake calls in progress
};

}  // namespace corvandel::app
