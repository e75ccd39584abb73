#include "cli/output_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace corvandel::cli {

TOutputWatcher::TOutputWatcher(int fd, std::function<void()> onGone) : fd_(fd), onGone_(std::move(onGone)) {
  // Without its wake-up pipe the watcher does not run: the run then learns
  // of a closed output at its next line, as it always could.
  if (::pipe2(wake_, O_CLOEXEC) == 0) thread_ = std::thread([this] { Watch(); });
}

TOutputWatcher::~TOutputWatcher() {
  if (thread_.joinable()) {
    const char byte = 0;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (const int fd : wake_)
    if (fd >= 0) ::close(fd);
}

void TOutputWatcher::Watch() {
  // No events asked for: poll() reports the error and hang-up conditions
  // of the output whatever is asked, and never its readiness to write.
  pollfd watched[2] = {{fd_, 0, 0}, {wake_[0], POLLIN, 0}};
  for (;;) {
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0 || (watched[0].revents & POLLNVAL) != 0) return;
    if ((watched[0].revents & (POLLERR | POLLHUP)) != 0) {
      onGone_();
      return;
    }
  }
}

}  // namespace corvandel::cli
