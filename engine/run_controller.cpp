#include "engine/run_controller.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <utility>

namespace corvandel::engine {

namespace {

// How long Shutdown waits for messages in one go; every worker's end sends
// one, so this only bounds a wake that went missing.
constexpr std::chrono::milliseconds kShutdownWaitSlice{100};

constexpr int kFullProgress = 100;

// A counter's caption read as a decimal count. The window never lets the
// user edit it; anything unreadable counts as 0.
int64_t CaptionCount(const std::string& caption) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(caption.data(), caption.data() + caption.size(), value);
  if (error != std::errc() || end != caption.data() + caption.size()) return 0;
  return value;
}

// Nearest integer, halves to the even neighbour, whatever the floating
// point environment's rounding mode is.
double RoundHalfEven(double x) {
  const double lower = std::floor(x);
  const double fraction = x - lower;
  if (fraction > 0.5) return lower + 1;
  if (fraction < 0.5) return lower;
  return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

}  // namespace

std::string LogLine(const TPingResult& result) {
  std::string line;
  line.reserve(result.ServiceURL.size() + result.SiteURL.size() + result.Answer.size() + 48);
  line += result.ServiceURL;
  line += kLogURLLabel;
  line += result.SiteURL;
  line += kLogCodeLabel;
  line += std::to_string(result.Code);
  line += kLogThreadLabel;
  line += std::to_string(result.ThreadNum);
  line += kLogAnswerLabel;
  line += result.Answer;
  return line;
}

int Progress(int64_t total, int64_t done) {
  if (total <= 0) return 0;
  // 64-bit: sites x services can pass what 32 bits hold, and so can the
  // remainder times 100.
  const double remaining = static_cast<double>((total - done) * kFullProgress) / static_cast<double>(total);
  const double position = kFullProgress - RoundHalfEven(remaining);
  // A site list that grew during the run can push done past total.
  return static_cast<int>(std::clamp(position, 0.0, static_cast<double>(kFullProgress)));
}

TRunController::TRunController(runtime::TMainThread& mainThread, TRunView& view, TPingCall call,
                               std::shared_ptr<const TCallSettings> settings)
    : mainThread_(mainThread), view_(view), call_(std::move(call)), settings_(std::move(settings)) {}

TRunController::~TRunController() {
  try {
    Shutdown();
  } catch (...) {
    // A failing view must not turn the end of the window into a crash; the
    // workers have been asked to stop either way.
  }
}

void TRunController::bbtnPingClick() {
  if (Pinging_)
    StopRun();
  else
    StartRun();
}

bool TRunController::StartRun() {
  // While StopRun runs pending messages, a click that arrives must not start
  // a run that StopRun would then tear down.
  if (Pinging_ || stopping_) return false;
  const std::vector<std::string>& services = view_.Services();
  const std::size_t siteCount = view_.SiteCount();
  const std::size_t pinged = CountPingedServices(services);
  if (pinged == 0 || siteCount == 0) return false;

  Pinging_ = true;
  ++run_;
  view_.ClearLog();
  view_.SetErrorCaption(std::string(kZeroCount));
  view_.SetSuccessCaption(std::string(kZeroCount));
  view_.SetAddURLEnabled(false);
  view_.SetWorkerCountEnabled(false);
  view_.SetPingCaption(std::string(kStopPingCaption));
  // Skipped lines give no result, so they are not part of the total.
  TotalPings_ = static_cast<int64_t>(pinged) * static_cast<int64_t>(siteCount);
  DonePings_ = 0;
  for (std::size_t i = 0; i < siteCount; ++i) view_.SetSiteChecked(i, false);
  // A table of the run's own: reloading the service list during the run
  // cannot change the lines the workers read.
  table_ = std::make_shared<TServiceTable>(services);
  workerCount_ = std::clamp(view_.WorkerCount(), kMinWorkers, kMaxWorkers);
  BatchDone_ = false;
  // The timer first: should the system refuse a thread, the ticks still
  // move the run on or end it.
  view_.SetTimerEnabled(true);
  StartBatch(0);
  return true;
}

void TRunController::StartBatch(std::size_t siteIndex) {
  const std::string site = view_.Site(siteIndex);
  const uint64_t batch = ++batch_;
  const uint64_t run = run_;
  Workers_.assign(static_cast<std::size_t>(workerCount_), nullptr);
  LiveWorkers_ = static_cast<uint16_t>(workerCount_);

  std::vector<std::unique_ptr<TThreadPingService>> created;
  for (int i = 0; i < workerCount_; ++i) {
    auto worker = std::make_unique<TThreadPingService>(
        mainThread_, table_, site, static_cast<uint16_t>(i + 1),
        [this, run](const TPingResult& result) {
          // Late results of a stopped run still count, until a later run
          // has taken over the log and the counters.
          if (run == run_) WMPingResult(result);
        },
        call_, settings_);
    const std::size_t slot = static_cast<std::size_t>(i);
    worker->SetOnTerminate([this, batch, slot](runtime::TThread&) { OnThreadTerminate(batch, slot); });
    Workers_[slot] = worker.get();
    created.push_back(std::move(worker));
  }

  std::size_t launched = 0;
  try {
    for (auto& worker : created) {
      runtime::TThread::Launch(std::move(worker));
      ++launched;
      ++aliveWorkers_;
    }
  } catch (...) {
    // The system refused a thread: the batch goes on with the workers it
    // has, and ends when they end.
    for (std::size_t slot = launched; slot < Workers_.size(); ++slot) Workers_[slot] = nullptr;
    LiveWorkers_ = static_cast<uint16_t>(launched);
    if (launched == 0 && Pinging_) BatchDone_ = true;
    throw;
  }
}

void TRunController::OnThreadTerminate(uint64_t batch, std::size_t slot) {
  --aliveWorkers_;
  // A worker of an earlier batch (of a stopped run) has nothing to do with
  // the current one.
  if (batch != batch_) return;
  if (LiveWorkers_ > 0) --LiveWorkers_;
  if (slot < Workers_.size()) Workers_[slot] = nullptr;
  if (Pinging_ && LiveWorkers_ == 0) BatchDone_ = true;
}

void TRunController::NextSite() {
  if (!Pinging_ || !BatchDone_) return;
  const std::size_t siteCount = view_.SiteCount();
  std::size_t next = siteCount;
  for (std::size_t i = 0; i < siteCount; ++i) {
    if (!view_.SiteChecked(i)) {
      view_.SetSiteChecked(i, true);
      next = i + 1;
      break;
    }
  }
  if (next >= siteCount) {
    StopRun();
    return;
  }
  // Safe without waiting: BatchDone means every worker of the batch ended.
  table_->ResetStates();
  BatchDone_ = false;
  StartBatch(next);
}

void TRunController::StopRun() {
  if (stopping_) return;
  stopping_ = true;
  Pinging_ = false;
  BatchDone_ = false;
  for (runtime::TThread* worker : Workers_)
    if (worker) worker->Terminate();
  try {
    // Results and ends that workers have already sent are handled now.
    mainThread_.ProcessPending();
  } catch (...) {
    stopping_ = false;
    throw;
  }
  view_.SetTimerEnabled(false);
  Workers_.clear();
  view_.SetAddURLEnabled(true);
  view_.SetWorkerCountEnabled(true);
  view_.SetProgress(0);
  view_.SetPingCaption(std::string(kPingCaption));
  TotalPings_ = 0;
  DonePings_ = 0;
  stopping_ = false;
}

void TRunController::WMPingResult(const TPingResult& result) {
  CountResult(result.Success);
  view_.ShowResult(result);
  view_.AppendLog(LogLine(result));
  ++DonePings_;
  view_.SetProgress(Progress(TotalPings_, DonePings_));
}

void TRunController::CountResult(bool success) {
  if (success)
    view_.SetSuccessCaption(std::to_string(CaptionCount(view_.SuccessCaption()) + 1));
  else
    view_.SetErrorCaption(std::to_string(CaptionCount(view_.ErrorCaption()) + 1));
}

void TRunController::Shutdown() {
  if (Pinging_) StopRun();
  while (aliveWorkers_ > 0) mainThread_.WaitAndProcess(kShutdownWaitSlice);
}

}  // namespace corvandel::engine
