#pragma once

// Notices that standard output has gone (the reader of its pipe closed it,
// or its terminal hung up) while nothing is being written: a run whose
// calls are all waiting for slow services would otherwise learn of it only
// at its next line, minutes later. A thread waits in poll() for the
// descriptor's error or hang-up; a regular file never reports either.

#include <functional>
#include <thread>

namespace corvandel::cli {

class TOutputWatcher {
public:
  // onGone runs once, on the watcher's thread, when fd reports POLLERR or
  // POLLHUP. Signals should already be blocked in the calling thread, which
  // the watcher's thread inherits.
  TOutputWatcher(int fd, std::function<void()> onGone);
  // Stops watching; onGone does not run after this returns.
  ~TOutputWatcher();
  TOutputWatcher(const TOutputWatcher&) = delete;
  TOutputWatcher& operator=(const TOutputWatcher&) = delete;

private:
  void Watch();

  int fd_;
  std::function<void()> onGone_;
  int wake_[2] = {-1, -1};  // written by the destructor to end the wait
  std::thread thread_;
};

}  // namespace corvandel::cli
