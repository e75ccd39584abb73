#include "announce/plan_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/event_loop.h"
#include "runtime/utc_time.h"

namespace corvandel::announce {
namespace {

// Stands in for every call: counts what is in flight per service, and can
// hold each call until the test lets it go.
class TFakeCalls {
public:
  explicit TFakeCalls(runtime::TEventLoop& loop) : loop_(loop) {}

  engine::TPingCall Call() {
    return [this](engine::TPingService& pinger, const std::string& url, engine::TPingResult& result) {
      {
        std::unique_lock guard(lock_);
        const int now = ++inFlight_[url];
        maxInFlight_[url] = std::max(maxInFlight_[url], now);
        started_.push_back(pinger.SiteURL + " " + url);
        changed_.notify_all();
        // Wakes the main thread, which waits for messages only.
        loop_.Post([] {});
        changed_.wait(guard, [this] { return !holding_; });
        --inFlight_[url];
      }
      result.Success = true;
      result.Code = 200;
      return true;
    };
  }
  void Hold(bool holding) {
    std::lock_guard guard(lock_);
    holding_ = holding;
    changed_.notify_all();
  }
  std::size_t Started() {
    std::lock_guard guard(lock_);
    return started_.size();
  }
  std::map<std::string, int> MaxInFlight() {
    std::lock_guard guard(lock_);
    return maxInFlight_;
  }

private:
  runtime::TEventLoop& loop_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool holding_ = false;
  std::map<std::string, int> inFlight_;
  std::map<std::string, int> maxInFlight_;
  std::vector<std::string> started_;
};

// sites x services, each site a group, as a site list plans them.
std::vector<TPlannedCall> SiteListPlan(std::size_t sites, std::size_t services) {
  std::vector<TPlannedCall> calls;
  for (std::size_t site = 0; site < sites; ++site)
    for (std::size_t service = 0; service < services; ++service)
      calls.push_back(TPlannedCall{service, engine::TServiceKind::XMLRPC, "http://site" + std::to_string(site), {}, site});
  return calls;
}

std::vector<std::string> Services(std::size_t count) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < count; ++i) lines.push_back("http://rpc.example/" + std::to_string(i));
  return lines;
}

TEST(PlanRunnerTest, EveryCallOnceWithinTheLimitOfEachService) {
  for (const int perService : {1, 2, 3}) {
    runtime::TEventLoop loop;
    TFakeCalls fake(loop);
    std::vector<std::string> handed;
    TPlanRunner runner(
        loop, Services(6), SiteListPlan(20, 6), TRunnerSettings{8, perService},
        [&](const TPlannedCall& call, const engine::TPingResult& result) {
          EXPECT_TRUE(loop.IsMainThread());
          EXPECT_EQ(result.SiteURL, call.Site);
          handed.push_back(result.SiteURL + " " + result.ServiceURL);
        },
        fake.Call());
    runner.Start();
    loop.RunUntil([&] { return runner.Idle(); });
    EXPECT_EQ(handed.size(), 120u);
    EXPECT_EQ(runner.Done(), 120);
    std::sort(handed.begin(), handed.end());
    EXPECT_EQ(std::unique(handed.begin(), handed.end()), handed.end());
    for (const auto& [service, most] : fake.MaxInFlight()) EXPECT_LE(most, perService) << service;
  }
}

TEST(PlanRunnerTest, StopLetsCallsUnderWayFinishAndStartsNoOther) {
  runtime::TEventLoop loop;
  TFakeCalls fake(loop);
  fake.Hold(true);
  int64_t handed = 0;
  TPlanRunner runner(loop, Services(4), SiteListPlan(5, 4), TRunnerSettings{3, 1},
                     [&](const TPlannedCall&, const engine::TPingResult&) { ++handed; }, fake.Call());
  runner.Start();
  loop.RunUntil([&] { return fake.Started() == 3; });
  runner.Stop();
  fake.Hold(false);
  loop.RunUntil([&] { return runner.Idle(); });
  EXPECT_EQ(handed, 3);
  EXPECT_EQ(fake.Started(), 3u);
  EXPECT_TRUE(runner.Stopped());
}

// A failure that may pass is tried again; a refusal is not; an endpoint
// that asks for a pause, now or on an earlier run, gets no further call.
TEST(PlanRunnerTest, RetriesWhatMayPassAndDefersWhatAsksToWait) {
  using engine::TCallOutcome;
  const std::vector<std::string> services = {"http://busy.example/", "http://bad.example/", "http://limited.example/",
                                             "http://held.example/", "http://reset.example/"};
  const ledger::TTime earlier = ledger::Now() + std::chrono::hours(1);
  std::mutex lock;
  std::map<std::string, int> calls;
  const engine::TPingCall call = [&](engine::TPingService&, const std::string& url, engine::TPingResult& result) {
    int made = 0;
    {
      std::lock_guard guard(lock);
      made = ++calls[url];
    }
    if (url == services[0] && made % 3 == 0) {
      result.Success = true;
      result.Code = 200;
    } else if (url == services[0]) {
      result.Code = 503;
      result.Outcome = TCallOutcome::ServerError;
    } else if (url == services[1]) {
      result.Code = 400;
    } else if (url == services[2]) {
      result.Code = 429;
      result.Outcome = TCallOutcome::RateLimited;
      result.RetryAfter = "120";
    } else {
      result.Outcome = TCallOutcome::TransportFailure;
      result.Failure = http::TExchangeFailure::ConnectionReset;
    }
    return result.Success;
  };
  runtime::TEventLoop loop;
  std::map<std::string, std::vector<engine::TPingResult>> handed;
  TRunnerSettings settings{3, 1, 2, std::chrono::milliseconds(1)};
  settings.Holds.emplace("http://held.example/", earlier);
  const ledger::TTime started = ledger::Now();
  TPlanRunner runner(
      loop, services, SiteListPlan(3, services.size()), settings,
      [&](const TPlannedCall&, const engine::TPingResult& result) { handed[result.ServiceURL].push_back(result); },
      call);
  runner.Start();
  loop.RunUntil([&] { return runner.Idle(); });

  struct Expected {
    std::vector<int> attempts;  // per site, in order
    bool success;
    bool retryable;
  };
  const std::map<std::string, Expected> expected = {
      {services[0], {{3, 3, 3}, true, false}},  {services[1], {{1, 1, 1}, false, false}},
      {services[2], {{1, 0, 0}, false, true}},  {services[3], {{0, 0, 0}, false, true}},
      {services[4], {{3, 3, 3}, false, true}},
  };
  for (const auto& [service, want] : expected) {
    ASSERT_EQ(handed[service].size(), 3u) << service;
    for (std::size_t i = 0; i < 3; ++i) {
      const engine::TPingResult& result = handed[service][i];
      EXPECT_EQ(result.Attempts, want.attempts[i]) << service << " " << i;
      EXPECT_EQ(result.Success, want.success) << service;
      EXPECT_EQ(result.Retryable, want.retryable) << service;
      EXPECT_EQ(result.Deferred, want.attempts[i] == 0) << service;
    }
  }
  // The pause asked for is kept to its second, and said in the reason.
  const engine::TPingResult& limited = handed[services[2]][0];
  ASSERT_TRUE(limited.RetryAt);
  EXPECT_GE(*limited.RetryAt, started + std::chrono::seconds(120));
  EXPECT_LE(*limited.RetryAt, ledger::Now() + std::chrono::seconds(120));
  EXPECT_EQ(handed[services[2]][1].RetryAt, limited.RetryAt);
  EXPECT_EQ(handed[services[2]][1].Reason.rfind("deferred: http://limited.example/ asked for no calls until ", 0), 0u);
  EXPECT_EQ(handed[services[3]][0].Reason,
            "deferred: http://held.example/ asked on an earlier run for no calls until " + runtime::FormatUTC(earlier));
  EXPECT_EQ(calls.count(services[3]), 0u);
}

}  // namespace
}  // namespace corvandel::announce
