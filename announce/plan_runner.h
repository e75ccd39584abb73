#pragma once

// Runs a plan: one queue of planned calls served by a pool of workers.
//
// A worker takes the earliest call in plan order whose service line has
// fewer than the per-service limit in flight, so that one slow service
// delays only its own calls and no endpoint sees more than the limit at
// once. There is no pause between sites: a worker that finishes a call
// takes the next one at once. Each finished call is handed to the main thread
// synchronously, as the window's workers hand theirs, so the handler may
// write it out and record it before the worker takes its next call.
//
// A call whose failure may pass (see delivery_policy.h) is tried again, up
// to Retries times, after a back-off that doubles, as long as the waits
// stay inside the call's exchange bound. An endpoint that asks for a pause
// gets no further call of the run: its remaining calls are handed over as
// deferred, without being made, as are those of an endpoint that an earlier
// run was asked to leave alone (Holds).
//
// Stop ends the run at once: no new call starts, a back-off ends, and calls
// under way finish and are handed over. Every call on this object comes
// from the main thread.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "announce/delivery_policy.h"
#include "announce/plan.h"
#include "engine/ping_service.h"
#include "engine/ping_thread.h"
#include "runtime/main_thread.h"
#include "runtime/thread.h"

namespace corvandel::announce {

// How many calls of one service line are in flight at once by default:
// enough to keep a fast service busy, few enough that no endpoint sees a
// burst from every worker.
inline constexpr int kDefaultPerServiceCalls = 2;

// The answer of a websub call whose hub took the publication without a word.
inline constexpr std::string_view kPublishedAnswer = "published";

struct TRunnerSettings {
  int Workers = 1;
  int PerService = kDefaultPerServiceCalls;
  int Retries = kDefaultRetries;
  std::chrono::milliseconds FirstBackoff = kFirstBackoff;
  // The proxies, trust and read time-out of every call; the defaults when null.
  std::shared_ptr<const engine::TCallSettings> Call = {};
  // Per endpoint (engine::EndpointOf), until when it takes no call.
  std::map<std::string, ledger::TTime> Holds = {};
};

class TPlanRunner {
public:
  // Runs on the main thread for every finished call, while its worker waits.
  using TResultHandler = std::function<void(const TPlannedCall& call, const engine::TPingResult& result)>;

  // call replaces every worker's call (see engine::TPingCall); empty for the
  // real ones.
  TPlanRunner(runtime::TMainThread& mainThread, std::vector<std::string> serviceLines, std::vector<TPlannedCall> calls,
              const TRunnerSettings& settings, TResultHandler onResult, engine::TPingCall call = {});
  // Stops the run and waits for the workers, running main-thread messages
  // meanwhile.
  ~TPlanRunner();
  TPlanRunner(const TPlanRunner&) = delete;
  TPlanRunner& operator=(const TPlanRunner&) = delete;

  void Start();
  void Stop();

  // Calls handed over so far, of Total.
  int64_t Done() const { return done_; }
  int64_t Total() const { return static_cast<int64_t>(calls_.size()); }
  bool Stopped() const;
  // Every worker has ended: every call was made, or the run was stopped and
  // the calls under way have finished.
  bool Idle() const { return liveWorkers_ == 0; }

private:
  class TWorker;

  // The next call a worker may make, or nothing once the queue is empty or
  // the run stopped; waits while every queued call's service is at its limit.
  std::optional<std::size_t> Take();
  void Finish(std::size_t index);
  // Until when the endpoint of service takes no call, if it is held now.
  std::optional<ledger::TTime> HeldUntil(std::size_t service) const;
  void Hold(std::size_t service, ledger::TTime until);
  // Whether until is the hold an earlier run set for the endpoint of service.
  bool HeldEarlier(std::size_t service, ledger::TTime until) const;
  // Waits for delay, or less when the run stops; false when it stopped.
  bool Pause(std::chrono::milliseconds delay);

  runtime::TMainThread& mainThread_;
  const std::vector<std::string> serviceLines_;
  const std::vector<TPlannedCall> calls_;
  const std::vector<std::string> endpoints_;  // per service line
  const int workerCount_;
  const int perService_;
  const int retries_;
  const std::chrono::milliseconds firstBackoff_;
  const std::shared_ptr<const engine::TCallSettings> callSettings_;
  TResultHandler onResult_;
  engine::TPingCall call_;

  mutable std::mutex lock_;
  std::condition_variable ready_;
  // Per service line, the indexes of its calls not yet taken, in plan order.
  std::vector<std::deque<std::size_t>> queued_;
  std::vector<int> inFlight_;
  std::size_t waiting_ = 0;  // calls not yet taken
  bool stopped_ = false;
  // Per endpoint, until when it takes no call; the earlier runs' holds, and
  // those that this run's answers asked for.
  std::map<std::string, ledger::TTime> holds_;
  // Which of the holds an earlier run set, for the deferred calls' reason.
  std::map<std::string, ledger::TTime> earlierHolds_;

  std::vector<std::unique_ptr<TWorker>> workers_;
  int64_t done_ = 0;
  std::size_t liveWorkers_ = 0;
};

}  // namespace corvandel::announce
