#include "runtime/event_loop.h"

#include <algorithm>
#include <utility>

namespace corvandel::runtime {

TEventLoop::TEventLoop() : mainThread_(std::this_thread::get_id()) {}

TEventLoop::~TEventLoop() = default;

bool TEventLoop::IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

void TEventLoop::Post(std::function<void()> fn) { queue_.Post(std::move(fn)); }

void TEventLoop::ProcessPending() {
  RequireMainThread();
  while (queue_.RunOne()) {
  }
}

void TEventLoop::WaitAndProcess(std::chrono::milliseconds maxWait) {
  RequireMainThread();
  queue_.Wait(TClock::now() + maxWait);
  ProcessPending();
}

TEventLoop::TTimerId TEventLoop::StartTimer(std::chrono::milliseconds interval, std::function<void()> fn) {
  RequireMainThread();
  const TTimerId id = ++lastTimerId_;
  timers_.push_back(TTimer{id, interval, TClock::now() + interval, std::move(fn)});
  return id;
}

void TEventLoop::StopTimer(TTimerId id) {
  RequireMainThread();
  std::erase_if(timers_, [id](const TTimer& timer) { return timer.id == id; });
}

bool TEventLoop::FireTimers() {
  const auto now = TClock::now();
  std::vector<TTimerId> due;
  for (const TTimer& timer : timers_)
    if (timer.due <= now) due.push_back(timer.id);
  for (const TTimerId id : due) {
    // A tick may stop or start timers, so each one is looked up afresh and
    // its handler copied before it runs.
    auto it = std::find_if(timers_.begin(), timers_.end(), [id](const TTimer& timer) { return timer.id == id; });
    if (it == timers_.end()) continue;
    it->due += it->interval;
    if (it->due <= now) it->due = now + it->interval;
    const std::function<void()> fn = it->fn;
    fn();
  }
  return !due.empty();
}

std::optional<TEventLoop::TClock::time_point> TEventLoop::NextDue() const {
  std::optional<TClock::time_point> next;
  for (const TTimer& timer : timers_)
    if (!next || timer.due < *next) next = timer.due;
  return next;
}

void TEventLoop::Run() {
  RunUntil([this] { return std::exchange(quitRequested_, false); });
}

bool TEventLoop::RunUntil(const std::function<bool()>& done, std::optional<std::chrono::milliseconds> limit) {
  RequireMainThread();
  const std::optional<TClock::time_point> deadline =
      limit ? std::optional<TClock::time_point>(TClock::now() + *limit) : std::nullopt;
  for (;;) {
    if (done()) return true;
    bool worked = false;
    while (queue_.RunOne()) {
      worked = true;
      if (done()) return true;
    }
    if (FireTimers()) {
      worked = true;
      if (done()) return true;
    }
    if (worked) continue;
    if (deadline && TClock::now() >= *deadline) return false;
    std::optional<TClock::time_point> until = NextDue();
    if (deadline && (!until || *deadline < *until)) until = deadline;
    queue_.Wait(until);
  }
}

void TEventLoop::Quit() {
  // Queued like any message, so the wait wakes and the request is seen on
  // the main thread, after what was posted before it.
  Post([this] { quitRequested_ = true; });
}

}  // namespace corvandel::runtime
