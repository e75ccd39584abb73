#include "runtime/thread.h"

#include <chrono>
#include <stdexcept>

namespace corvandel::runtime {

namespace {

constexpr const char* kStartedTwice = "thread started twice";
constexpr const char* kFreeingNeedsLaunch = "a thread that frees itself is started with Launch";
constexpr const char* kLaunchNeedsThread = "Launch needs a thread";
constexpr const char* kWaitForFreeing = "cannot wait for a thread that frees itself";
constexpr const char* kWaitForSelf = "a thread cannot wait for itself";

// How long the main thread waits for messages in one go while it waits for
// a thread; the thread's end posts a message, so this only bounds a lost wake.
constexpr std::chrono::milliseconds kWaitSlice{100};

}  // namespace

TThread::TThread(TMainThread& mainThread) : mainThread_(mainThread) {}

TThread::~TThread() {
  // A thread that frees itself runs this on its own thread, where thread_
  // was detached at Launch. Only an owner-kept thread can still be running.
  if (thread_.joinable()) {
    Terminate();
    WaitFor();
  }
}

void TThread::Start() {
  if (freeOnTerminate_) throw std::logic_error(kFreeingNeedsLaunch);
  thread_ = BeginThread();
}

void TThread::Launch(std::unique_ptr<TThread> thread) {
  if (!thread) throw std::invalid_argument(kLaunchNeedsThread);
  thread->freeOnTerminate_ = true;
  // The system thread is never stored in the object: the object may be
  // gone (deleted by ThreadMain) before this call returns.
  std::thread running = thread->BeginThread();
  (void)thread.release();
  running.detach();
}

std::thread TThread::BeginThread() {
  if (started_) throw std::logic_error(kStartedTwice);
  started_ = true;
  return std::thread([this] { ThreadMain(); });
}

void TThread::ThreadMain() {
  try {
    Execute();
  } catch (...) {
    fatalException_ = std::current_exception();
  }
  if (onTerminate_) {
    try {
      mainThread_.Send([this] { onTerminate_(*this); });
    } catch (...) {
      // The handler belongs to the main thread; its failure cannot be
      // reported from here and must not end the process.
    }
  }
  if (freeOnTerminate_) {
    delete this;
    return;
  }
  finished_.store(true, std::memory_order_release);
  // Wakes an owner that waits on the main thread (WaitFor).
  mainThread_.Post([] {});
}

void TThread::WaitFor() {
  if (freeOnTerminate_) throw std::logic_error(kWaitForFreeing);
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) throw std::logic_error(kWaitForSelf);
  if (mainThread_.IsMainThread()) {
    while (!Finished()) mainThread_.WaitAndProcess(kWaitSlice);
  }
  thread_.join();
}

}  // namespace corvandel::runtime
