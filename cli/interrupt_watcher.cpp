#include "cli/interrupt_watcher.h"

#include <pthread.h>
#include <signal.h>

namespace corvandel::cli {

namespace {

// Sent by the destructor to end the watcher; never acted on otherwise.
constexpr int kWakeSignal = SIGUSR2;

sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, kWakeSignal);
  return set;
}

}  // namespace

TInterruptWatcher::TInterruptWatcher(std::function<void()> onFirst, std::function<void()> onAgain)
    : onFirst_(std::move(onFirst)), onAgain_(std::move(onAgain)) {
  const sigset_t set = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  thread_ = std::thread([this] { Watch(); });
}

TInterruptWatcher::~TInterruptWatcher() {
  pthread_kill(thread_.native_handle(), kWakeSignal);
  thread_.join();
}

void TInterruptWatcher::Watch() {
  const sigset_t set = WatchedSignals();
  bool first = true;
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (signal == kWakeSignal) return;
    if (first) {
      first = false;
      if (onFirst_) onFirst_();
    } else if (onAgain_) {
      onAgain_();
    }
  }
}

}  // namespace corvandel::cli
