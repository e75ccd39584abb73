#pragma once

// Drives a whole ping run on the main thread: "Ping!" starts a batch of
// workers on the first site, the timer moves on to the next site once a
// batch has ended, every result a worker hands over moves the counters, the
// log and the progress bar, and "Stop ping!" ends the run.
//
// Runs and batches are numbered. A run pings from a copy of the service list
// taken when it starts, and each worker reports to the run and the batch it
// was made for: a worker of a stopped run that ends during a later run never
// counts against the later batch, and its late result, once a later run has
// started, is left out of that run's log and counters.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ping_service.h"
#include "engine/ping_thread.h"
#include "engine/run_view.h"
#include "engine/service_table.h"
#include "runtime/main_thread.h"
#include "runtime/thread.h"

namespace corvandel::engine {

// Texts the run shows.
inline constexpr std::string_view kPingCaption = "Ping!";
inline constexpr std::string_view kStopPingCaption = "Stop ping!";
inline constexpr std::string_view kZeroCount = "0";
inline constexpr std::string_view kLogURLLabel = " URL:";
inline constexpr std::string_view kLogCodeLabel = " Code:";
inline constexpr std::string_view kLogThreadLabel = " Th:";
inline constexpr std::string_view kLogAnswerLabel = " Answer:";

// The worker count of a batch.
inline constexpr int kMinWorkers = 1;
inline constexpr int kMaxWorkers = 14;
inline constexpr int kDefaultWorkers = 10;
// The timer that moves a run from site to site.
inline constexpr std::chrono::milliseconds kPingTimerInterval{200};

// The log line of one result.
std::string LogLine(const TPingResult& result);
// The progress bar's position after done of total results: the share still
// to do, rounded half to even, taken from 100; 0 when total is 0.
int Progress(int64_t total, int64_t done);

class TRunController {
public:
  // call replaces the ping call of every worker (see TPingCall); empty for
  // the real one. settings are the proxies, trust and time-out of every
  // call; the defaults when null.
  TRunController(runtime::TMainThread& mainThread, TRunView& view, TPingCall call = {},
                 std::shared_ptr<const TCallSettings> settings = {});
  // Stops a run and waits for the workers still in a call (Shutdown).
  ~TRunController();
  TRunController(const TRunController&) = delete;
  TRunController& operator=(const TRunController&) = delete;

  // The window's handlers.
  void bbtnPingClick();
  void pingTimerTimer() { NextSite(); }

  // Starts a run over every site with the chosen number of workers. Does
  // nothing and returns false while a run is active or being stopped, or
  // when the site list is empty or the service list has no line to call.
  bool StartRun();
  // Ends the run at once: workers in a call finish it and report afterwards.
  void StopRun();
  // The timer's work: once the current batch has ended, checks off its site
  // and starts the next batch, or stops the run after the last site.
  void NextSite();
  // The handling of one result (WM_PINGRESULT): counters, log line, progress.
  void WMPingResult(const TPingResult& result);

  // Stops a run if one is active, then runs main-thread messages until no
  // worker of any run is left. Afterwards nothing refers to this object.
  void Shutdown();

  // The run state.
  bool Pinging() const { return Pinging_; }
  int64_t TotalPings() const { return TotalPings_; }
  int64_t DonePings() const { return DonePings_; }
  uint16_t LiveWorkers() const { return LiveWorkers_; }
  bool BatchDone() const { return BatchDone_; }
  // Workers of every run and batch whose end notification has not yet run.
  std::size_t AliveWorkers() const { return aliveWorkers_; }
  // No run active and no worker left.
  bool Idle() const { return !Pinging_ && aliveWorkers_ == 0; }

private:
  void StartBatch(std::size_t siteIndex);
  void OnThreadTerminate(uint64_t batch, std::size_t slot);
  void CountResult(bool success);

  runtime::TMainThread& mainThread_;
  TRunView& view_;
  TPingCall call_;
  std::shared_ptr<const TCallSettings> settings_;

  bool Pinging_ = false;
  int64_t TotalPings_ = 0;  // wider than the counts can get: sites x services
  int64_t DonePings_ = 0;
  // The current batch; a slot is cleared when its worker has ended.
  std::vector<runtime::TThread*> Workers_;
  uint16_t LiveWorkers_ = 0;
  bool BatchDone_ = false;

  int workerCount_ = kDefaultWorkers;          // N of the current run
  std::shared_ptr<TServiceTable> table_;       // the current run's services
  uint64_t run_ = 0;                           // number of the latest run started
  uint64_t batch_ = 0;                         // number of the latest batch started
  std::size_t aliveWorkers_ = 0;
  bool stopping_ = false;                      // inside StopRun
};

}  // namespace corvandel::engine
