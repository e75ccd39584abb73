#include "runtime/message_queue.h"

#include <utility>

namespace corvandel::runtime {

TMessageQueue::~TMessageQueue() { Close(); }

bool TMessageQueue::Post(TMessage fn) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) {
    ++dropped_;
    // Destroyed outside the lock: dropping a sent message wakes its sender.
    TMessage dropped = std::move(fn);
    lock.unlock();
    return false;
  }
  queue_.push_back(std::move(fn));
  posted_.notify_one();
  if (wakeHook_) wakeHook_();
  return true;
}

bool TMessageQueue::RunOne() {
  TMessage fn;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return false;
    fn = std::move(queue_.front());
    queue_.pop_front();
  }
  // Runs without the lock: a message may post, send to itself, or run the
  // queue again.
  fn();
  return true;
}

void TMessageQueue::Wait(std::optional<TClock::time_point> until) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [this] { return !queue_.empty() || closed_; };
  if (until)
    posted_.wait_until(lock, *until, ready);
  else
    posted_.wait(lock, ready);
}

void TMessageQueue::WakeIfPending() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_.empty() && wakeHook_) wakeHook_();
}

void TMessageQueue::Close() {
  std::deque<TMessage> dropped;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    dropped_ += queue_.size();
    dropped.swap(queue_);
    posted_.notify_all();
  }
  // Leaving this scope drops the messages, outside the lock, and with them
  // releases their senders.
}

bool TMessageQueue::Closed() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool TMessageQueue::Empty() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return queue_.empty();
}

std::size_t TMessageQueue::Dropped() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace corvandel::runtime
