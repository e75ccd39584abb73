#include "announce/plan_runner.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

namespace corvandel::announce {

class TPlanRunner::TWorker : public runtime::TThread {
public:
  TWorker(TPlanRunner& runner, uint16_t threadNum) : TThread(runner.mainThread_), runner_(runner), threadNum_(threadNum) {}
  ~TWorker() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override {
    while (const std::optional<std::size_t> index = runner_.Take()) {
      const TPlannedCall& call = runner_.calls_[*index];
      std::vector<std::string> pages;
      if (call.Bulk) {
        pages.reserve(call.URLs.size());
        for (const ledger::TCarriedURL& url : call.URLs) pages.push_back(url.URL);
      }
      engine::MakeCall(pinger_, runner_.serviceLines_[call.Service], call.Site, runner_.call_, result_,
                       std::move(pages));
      result_.ThreadNum = threadNum_;
      result_.URLs = call.URLs.size();
      // A call counts as in flight until its result has been handed over,
      // also when the handler raises.
      const TFinished finished(runner_, *index);
      Synchronize([&] {
        ++runner_.done_;
        if (runner_.onResult_) runner_.onResult_(call, result_);
      });
    }
  }

private:
  struct TFinished {
    TPlanRunner& Runner;
    std::size_t Index;
    ~TFinished() { Runner.Finish(Index); }
  };

  TPlanRunner& runner_;
  const uint16_t threadNum_;
  engine::TPingService pinger_;
  engine::TPingResult result_;
};

TPlanRunner::TPlanRunner(runtime::TMainThread& mainThread, std::vector<std::string> serviceLines,
                         std::vector<TPlannedCall> calls, const TRunnerSettings& settings, TResultHandler onResult,
                         engine::TPingCall call)
    : mainThread_(mainThread),
      serviceLines_(std::move(serviceLines)),
      calls_(std::move(calls)),
      workerCount_(std::max(settings.Workers, 1)),
      perService_(std::max(settings.PerService, 1)),
      onResult_(std::move(onResult)),
      call_(std::move(call)),
      queued_(serviceLines_.size()),
      inFlight_(serviceLines_.size(), 0) {
  for (std::size_t i = 0; i < calls_.size(); ++i) queued_.at(calls_[i].Service).push_back(i);
  waiting_ = calls_.size();
}

TPlanRunner::~TPlanRunner() {
  Stop();
  workers_.clear();
}

void TPlanRunner::Start() {
  // No more workers than calls: an idle worker would only wait.
  const auto count = std::min<std::size_t>(static_cast<std::size_t>(workerCount_), calls_.size());
  for (std::size_t i = 0; i < count; ++i) {
    auto worker = std::make_unique<TWorker>(*this, static_cast<uint16_t>(i + 1));
    worker->SetOnTerminate([this](runtime::TThread&) { --liveWorkers_; });
    workers_.push_back(std::move(worker));
  }
  liveWorkers_ = workers_.size();
  for (auto& worker : workers_) worker->Start();
}

void TPlanRunner::Stop() {
  {
    std::lock_guard guard(lock_);
    stopped_ = true;
  }
  ready_.notify_all();
}

bool TPlanRunner::Stopped() const {
  std::lock_guard guard(lock_);
  return stopped_;
}

std::optional<std::size_t> TPlanRunner::Take() {
  std::unique_lock guard(lock_);
  for (;;) {
    if (stopped_ || waiting_ == 0) return std::nullopt;
    std::size_t best = std::numeric_limits<std::size_t>::max();
    std::size_t bestService = 0;
    for (std::size_t service = 0; service < queued_.size(); ++service) {
      if (queued_[service].empty() || inFlight_[service] >= perService_) continue;
      const std::size_t front = queued_[service].front();
      if (front < best) {
        best = queued_[service].front();
        bestService = service;
      }
    }
    if (best != std::numeric_limits<std::size_t>::max()) {
      queued_[bestService].pop_front();
      ++inFlight_[bestService];
      --waiting_;
      return best;
    }
    ready_.wait(guard);
  }
}

void TPlanRunner::Finish(std::size_t index) {
  {
    std::lock_guard guard(lock_);
    --inFlight_[calls_[index].Service];
  }
  ready_.notify_all();
}

}  // namespace corvandel::announce
