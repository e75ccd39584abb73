#include "announce/plan_runner.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/announce_call.h"
#include "engine/ping_texts.h"

namespace corvandel::announce {

namespace {

std::vector<std::string> Endpoints(const std::vector<std::string>& lines) {
  std::vector<std::string> endpoints;
  endpoints.reserve(lines.size());
  for (const std::string& line : lines) endpoints.push_back(engine::EndpointOf(line));
  return endpoints;
}

}  // namespace

class TPlanRunner::TWorker : public runtime::TThread {
public:
  TWorker(TPlanRunner& runner, uint16_t threadNum) : TThread(runner.mainThread_), runner_(runner), threadNum_(threadNum) {}
  ~TWorker() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override {
    pinger_.Settings = runner_.callSettings_;
    while (const std::optional<std::size_t> index = runner_.Take()) {
      const TPlannedCall& call = runner_.calls_[*index];
      if (const std::optional<ledger::TTime> until = runner_.HeldUntil(call.Service))
        Defer(call, *until);
      else
        Make(call);
      result_.ThreadNum = threadNum_;
      result_.URLs = call.URLs.size();
      // A call counts as in flight until its result has been handed over,
      // also when the handler raises.
      const TFinished finished{runner_, *index};
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

  // The call, and its retries while its failure may pass.
  void Make(const TPlannedCall& call) {
    std::vector<std::string> pages;
    if (call.Bulk) {
      pages.reserve(call.URLs.size());
      for (const ledger::TCarriedURL& url : call.URLs) pages.push_back(url.URL);
    }
    const std::string& line = runner_.serviceLines_[call.Service];
    const auto bound = engine::ExchangeBound(pinger_.Settings->ReadTimeout);
    const auto begun = std::chrono::steady_clock::now();
    std::chrono::system_clock::time_point started;
    for (int attempt = 1;; ++attempt) {
      engine::MakeCall(pinger_, line, call.Site, runner_.call_, result_, pages);
      if (attempt == 1) started = result_.Started;
      result_.Attempts = attempt;
      result_.Deferred = false;
      result_.RetryAt.reset();
      if (AsksToWait(result_)) {
        const ledger::TTime until = HoldEnd(result_.RetryAfter, ledger::Now());
        runner_.Hold(call.Service, until);
        result_.RetryAt = until;
        break;
      }
      if (attempt > runner_.retries_ || !ShouldRetry(result_)) break;
      const auto wait = Backoff(attempt, jitter_(random_), runner_.firstBackoff_);
      if (std::chrono::steady_clock::now() + wait - begun > bound) break;
      if (!runner_.Pause(wait) || runner_.HeldUntil(call.Service)) break;
    }
    result_.Started = started;
    result_.Elapsed = std::chrono::steady_clock::now() - begun;
    // A hub's 2xx says nothing more than that the publication was taken.
    if (result_.Success && result_.Kind == engine::TServiceKind::WebSub && result_.Answer == engine::kNoAnswer)
      result_.Answer = kPublishedAnswer;
    result_.Retryable = !result_.Success && MayPass(result_);
  }

  // The result of a call not made, since its endpoint takes none until until.
  void Defer(const TPlannedCall& call, ledger::TTime until) {
    const std::string& line = runner_.serviceLines_[call.Service];
    result_.ServiceURL = line;
    result_.SiteURL = call.Site;
    result_.Kind = engine::KindOf(line);
    result_.Success = false;
    result_.Code = 0;
    result_.Answer = std::string(engine::kNoAnswer);
    result_.Reason = DeferredReason(runner_.endpoints_[call.Service], until, runner_.HeldEarlier(call.Service, until));
    result_.Outcome = engine::TCallOutcome::RateLimited;
    result_.Failure = http::TExchangeFailure::None;
    result_.RetryAfter.clear();
    result_.Started = std::chrono::system_clock::now();
    result_.Elapsed = {};
    result_.Attempts = 0;
    result_.Deferred = true;
    result_.Retryable = true;
    result_.RetryAt = until;
  }

  TPlanRunner& runner_;
  const uint16_t threadNum_;
  engine::TPingService pinger_;
  engine::TPingResult result_;
  std::mt19937_64 random_{std::random_device{}()};
  std::uniform_real_distribution<double> jitter_{0.0, 1.0};
};

TPlanRunner::TPlanRunner(runtime::TMainThread& mainThread, std::vector<std::string> serviceLines,
                         std::vector<TPlannedCall> calls, const TRunnerSettings& settings, TResultHandler onResult,
                         engine::TPingCall call)
    : mainThread_(mainThread),
      serviceLines_(std::move(serviceLines)),
      calls_(std::move(calls)),
      endpoints_(Endpoints(serviceLines_)),
      workerCount_(std::max(settings.Workers, 1)),
      perService_(std::max(settings.PerService, 1)),
      retries_(std::max(settings.Retries, 0)),
      firstBackoff_(settings.FirstBackoff),
      callSettings_(settings.Call ? settings.Call : engine::DefaultCallSettings()),
      onResult_(std::move(onResult)),
      call_(std::move(call)),
      queued_(serviceLines_.size()),
      inFlight_(serviceLines_.size(), 0),
      holds_(settings.Holds),
      earlierHolds_(settings.Holds) {
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

std::optional<ledger::TTime> TPlanRunner::HeldUntil(std::size_t service) const {
  std::lock_guard guard(lock_);
  const auto held = holds_.find(endpoints_[service]);
  if (held == holds_.end() || held->second <= ledger::Now()) return std::nullopt;
  return held->second;
}

bool TPlanRunner::HeldEarlier(std::size_t service, ledger::TTime until) const {
  std::lock_guard guard(lock_);
  const auto held = earlierHolds_.find(endpoints_[service]);
  return held != earlierHolds_.end() && held->second == until;
}

void TPlanRunner::Hold(std::size_t service, ledger::TTime until) {
  std::lock_guard guard(lock_);
  holds_[endpoints_[service]] = until;
}

bool TPlanRunner::Pause(std::chrono::milliseconds delay) {
  std::unique_lock guard(lock_);
  return !ready_.wait_for(guard, delay, [this] { return stopped_; });
}

}  // namespace corvandel::announce
