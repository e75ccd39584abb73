#include "runtime/main_thread.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace corvandel::runtime {

namespace {

constexpr const char* kMessageDropped = "the main thread dropped a message before running it";

// Where a sender waits for its message. Shared with the queued message, so
// that neither side outlives the state it touches.
struct TSendState {
  std::mutex mutex;
  std::condition_variable ran;
  bool done = false;
  std::exception_ptr failure;

  void Finish(std::exception_ptr outcome) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (done) return;
    failure = std::move(outcome);
    done = true;
    ran.notify_one();
  }

  // Releases a sender whose message will never run.
  void Abandon() {
    const std::lock_guard<std::mutex> lock(mutex);
    if (done) return;
    failure = std::make_exception_ptr(std::runtime_error(kMessageDropped));
    done = true;
    ran.notify_one();
  }
};

// Owned by the queued message. If the message is destroyed without having
// run (its queue went away), the sender is released with an error instead of
// waiting for ever.
struct TSendTicket {
  std::shared_ptr<TSendState> state;
  explicit TSendTicket(std::shared_ptr<TSendState> sendState) : state(std::move(sendState)) {}
  ~TSendTicket() { state->Abandon(); }
  TSendTicket(const TSendTicket&) = delete;
  TSendTicket& operator=(const TSendTicket&) = delete;
};

}  // namespace

void TMainThread::RequireMainThread() const {
  if (!IsMainThread()) throw std::logic_error("main-thread call made off the main thread");
}

void TMainThread::Send(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  auto state = std::make_shared<TSendState>();
  auto ticket = std::make_shared<TSendTicket>(state);
  // fn is borrowed: the sender blocks until the message has run, so the
  // reference stays valid for as long as the message can use it.
  Post([ticket, &fn] {
    std::exception_ptr failure;
    try {
      fn();
    } catch (...) {
      failure = std::current_exception();
    }
    // Handed over whole: the main thread keeps no share of the exception,
    // which the sender alone raises and frees.
    ticket->state->Finish(std::move(failure));
  });
  ticket.reset();
  std::exception_ptr failure;
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->ran.wait(lock, [&] { return state->done; });
    failure = std::move(state->failure);
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace corvandel::runtime
