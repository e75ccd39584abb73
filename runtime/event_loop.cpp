#include "runtime/event_loop.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace corvandel::runtime {

namespace {

constexpr const char* kNotMainThread = "event loop used off its main thread";

}  // namespace

TEventLoop::TEventLoop() : mainThread_(std::this_thread::get_id()) {}

TEventLoop::~TEventLoop() = default;

bool TEventLoop::IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

void TEventLoop::Post(std::function<void()> fn) {
  const std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(fn));
  posted_.notify_one();
}

bool TEventLoop::RunOne() {
  std::function<void()> fn;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return false;
    fn = std::move(queue_.front());
    queue_.pop_front();
  }
  // Runs without the lock: a message may post, send to itself, or run
  // ProcessPending again.
  fn();
  return true;
}

void TEventLoop::ProcessPending() {
  if (!IsMainThread()) throw std::logic_error(kNotMainThread);
  while (RunOne()) {
  }
}

void TEventLoop::WaitAndProcess(std::chrono::milliseconds maxWait) {
  if (!IsMainThread()) throw std::logic_error(kNotMainThread);
  WaitForWork(TClock::now() + maxWait);
  ProcessPending();
}

void TEventLoop::WaitForWork(std::optional<TClock::time_point> until) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [this] { return !queue_.empty(); };
  if (until)
    posted_.wait_until(lock, *until, ready);
  else
    posted_.wait(lock, ready);
}

TEventLoop::TTimerId TEventLoop::StartTimer(std::chrono::milliseconds interval, std::function<void()> fn) {
  if (!IsMainThread()) throw std::logic_error(kNotMainThread);
  const TTimerId id = ++lastTimerId_;
  timers_.push_back(TTimer{id, interval, TClock::now() + interval, std::move(fn)});
  return id;
}

void TEventLoop::StopTimer(TTimerId id) {
  if (!IsMainThread()) throw std::logic_error(kNotMainThread);
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
  if (!IsMainThread()) throw std::logic_error(kNotMainThread);
  const std::optional<TClock::time_point> deadline =
      limit ? std::optional<TClock::time_point>(TClock::now() + *limit) : std::nullopt;
  for (;;) {
    if (done()) return true;
    bool worked = false;
    while (RunOne()) {
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
    WaitForWork(until);
  }
}

void TEventLoop::Quit() {
  // Queued like any message, so the wait wakes and the request is seen on
  // the main thread, after what was posted before it.
  Post([this] { quitRequested_ = true; });
}

}  // namespace corvandel::runtime
