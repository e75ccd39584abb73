#pragma once

// The queue of messages for a main thread, shared by every TMainThread:
// any thread posts, the main thread takes them in order and runs them
// without the lock held.
//
// A wake hook lets a front-end learn of new messages in its own way (the
// window posts one toolkit event); it runs under the queue's lock, so what
// it touches may also be touched inside WithLock. Close ends the queue for
// good: what is queued then, and everything posted later, is dropped
// without running, which releases the senders of dropped Sends.
//
// Thread safety: every member may be called from any thread, except that
// only one thread (the main thread) should take messages.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace corvandel::runtime {

class TMessageQueue {
public:
  using TMessage = std::function<void()>;
  using TClock = std::chrono::steady_clock;

  TMessageQueue() = default;
  // Drops what is still queued.
  ~TMessageQueue();
  TMessageQueue(const TMessageQueue&) = delete;
  TMessageQueue& operator=(const TMessageQueue&) = delete;

  // Called, under the lock, after each message that is queued. Set it
  // before any thread posts.
  void SetWakeHook(std::function<void()> hook) { wakeHook_ = std::move(hook); }

  // Queues fn; false when the queue is closed and fn was dropped.
  bool Post(TMessage fn);
  // Takes the first message and runs it outside the lock; false when none
  // was queued. What the message raises leaves this call.
  bool RunOne();
  // Waits until a message is queued or the queue closes; until that time
  // at the most, when given.
  void Wait(std::optional<TClock::time_point> until);
  // Calls the wake hook again if messages are queued (after a message
  // failed, those behind it must not wait for the next post).
  void WakeIfPending();

  // Drops every queued message and every later one. Cannot be undone.
  void Close();
  bool Closed() const;
  bool Empty() const;
  // Messages dropped by Close and by posts after it.
  std::size_t Dropped() const;

  // Runs fn under the queue's lock, for state that the wake hook shares.
  template <typename F>
  decltype(auto) WithLock(F&& fn) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fn();
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<TMessage> queue_;
  std::function<void()> wakeHook_;
  bool closed_ = false;
  std::size_t dropped_ = 0;
};

}  // namespace corvandel::runtime
