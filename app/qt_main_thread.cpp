#include "app/qt_main_thread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <utility>

namespace corvandel::app {

namespace {

QEvent::Type WakeEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

}  // namespace

class TQtMainThread::TWaker final : public QObject {
public:
  explicit TWaker(TQtMainThread& owner) : owner_(owner) {}

  bool event(QEvent* e) override {
    if (!owner_.TakeWake(*e)) return QObject::event(e);
    owner_.OnWake();
    return true;
  }

private:
  TQtMainThread& owner_;
};

TQtMainThread::TQtMainThread()
    : mainThread_(std::this_thread::get_id()), waker_(std::make_unique<TWaker>(*this)) {}

TQtMainThread::~TQtMainThread() { Close(); }

void TQtMainThread::Post(std::function<void()> fn) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) {
    ++dropped_;
    // Destroyed outside the lock: dropping a sent message wakes its sender.
    std::function<void()> dropped = std::move(fn);
    lock.unlock();
    return;
  }
  queue_.push_back(std::move(fn));
  posted_.notify_one();
  ScheduleWake();
}

void TQtMainThread::ScheduleWake() {
  if (wakePending_ || !waker_) return;
  wakePending_ = true;
  // Posted under mutex_, so that the event (made on this thread, read and
  // freed on the main thread after TakeWake took the same mutex) is ordered
  // for race detectors that cannot see Qt's own locking.
  QCoreApplication::postEvent(waker_.get(), new QEvent(WakeEventType()));
}

bool TQtMainThread::RunOne() {
  std::function<void()> fn;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return false;
    fn = std::move(queue_.front());
    queue_.pop_front();
  }
  fn();
  return true;
}

void TQtMainThread::ProcessPending() {
  try {
    while (RunOne()) {
    }
  } catch (...) {
    // The messages behind the failed one must not wait for the next post.
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!queue_.empty()) ScheduleWake();
    throw;
  }
}

void TQtMainThread::WaitAndProcess(std::chrono::milliseconds maxWait) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    posted_.wait_for(lock, maxWait, [this] { return !queue_.empty() || closed_; });
  }
  ProcessPending();
}

bool TQtMainThread::IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

bool TQtMainThread::TakeWake(const QEvent& event) {
  // A wake event was made by the posting thread under mutex_: take it before
  // reading the event.
  const std::lock_guard<std::mutex> lock(mutex_);
  if (event.type() != WakeEventType()) return false;
  wakePending_ = false;
  return true;
}

void TQtMainThread::OnWake() {
  ++wakeDepth_;
  for (;;) {
    try {
      ProcessPending();
      break;
    } catch (...) {
      if (onError_) onError_(std::current_exception());
    }
  }
  --wakeDepth_;
}

void TQtMainThread::Close() {
  std::deque<std::function<void()>> dropped;
  std::unique_ptr<QObject> waker;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    dropped_ += queue_.size();
    dropped.swap(queue_);
    waker = std::move(waker_);
    posted_.notify_all();
  }
  // A message that closes the window runs inside the waker's own event; the
  // waker then goes once that event is over.
  if (wakeDepth_ > 0) static_cast<void>(waker.release()->deleteLater());
  // Leaving this scope drops the messages, outside the lock, and with them
  // releases their senders.
}

bool TQtMainThread::Closed() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

std::size_t TQtMainThread::Dropped() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace corvandel::app
