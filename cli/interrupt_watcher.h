#pragma once

// Ctrl-C and SIGTERM for a program with worker threads: the signals are
// blocked in every thread and taken by one watcher thread, so that what they
// do runs as ordinary code instead of inside a signal handler.

#include <functional>
#include <thread>

namespace corvandel::cli {

class TInterruptWatcher {
public:
  // Blocks the signals in the calling thread, which every thread created
  // afterwards inherits: construct it before any other thread starts.
  // onFirst runs on the watcher thread for the first signal, onAgain for
  // every later one.
  TInterruptWatcher(std::function<void()> onFirst, std::function<void()> onAgain);
  ~TInterruptWatcher();
  TInterruptWatcher(const TInterruptWatcher&) = delete;
  TInterruptWatcher& operator=(const TInterruptWatcher&) = delete;

private:
  void Watch();

  std::function<void()> onFirst_;
  std::function<void()> onAgain_;
  std::thread thread_;
};

}  // namespace corvandel::cli
