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
    : mainThread_(std::this_thread::get_id()), waker_(std::make_unique<TWaker>(*this)) {
  queue_.SetWakeHook([this] { ScheduleWake(); });
}

TQtMainThread::~TQtMainThread() { Close(); }

void TQtMainThread::Post(std::function<void()> fn) { queue_.Post(std::move(fn)); }

void TQtMainThread::ScheduleWake() {
  if (wakePending_ || !waker_) return;
  wakePending_ = true;
  // Posted under the queue's lock, so that the event (made on this thread,
  // read and freed on the main thread after TakeWake took the same lock) is
  // ordered for race detectors that cannot see Qt's own locking.
  QCoreApplication::postEvent(waker_.get(), new QEvent(WakeEventType()));
}

void TQtMainThread::ProcessPending() {
  RequireMainThread();
  try {
    while (queue_.RunOne()) {
    }
  } catch (...) {
    // The messages behind the failed one must not wait for the next post.
    queue_.WakeIfPending();
    throw;
  }
}

void TQtMainThread::WaitAndProcess(std::chrono::milliseconds maxWait) {
  RequireMainThread();
  queue_.Wait(runtime::TMessageQueue::TClock::now() + maxWait);
  ProcessPending();
}

bool TQtMainThread::IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

bool TQtMainThread::TakeWake(const QEvent& event) {
  // A wake event was made by the posting thread under the queue's lock:
  // take it before reading the event.
  return queue_.WithLock([&] {
    if (event.type() != WakeEventType()) return false;
    wakePending_ = false;
    return true;
  });
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
  queue_.Close();
  std::unique_ptr<QObject> waker = queue_.WithLock([this] { return std::move(waker_); });
  // A message that closes the window runs inside the waker's own event; the
  // waker then goes once that event is over.
  if (waker && wakeDepth_ > 0) static_cast<void>(waker.release()->deleteLater());
}

bool TQtMainThread::Closed() const { return queue_.Closed(); }

std::size_t TQtMainThread::Dropped() const { return queue_.Dropped(); }

}  // namespace corvandel::app
