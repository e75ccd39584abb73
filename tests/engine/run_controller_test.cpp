#include "engine/run_controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/event_loop.h"

namespace corvandel::engine {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 60s;
// The tests' timer runs faster than the window's: only the order of events
// matters here, and the benchmark measures the real interval.
constexpr auto kTestTimerInterval = 5ms;

// The window, reduced to values; its timer is a timer of the test's loop.
struct TFakeView : TRunView {
  TFakeView(runtime::TEventLoop& loop, std::vector<std::string> siteList, std::vector<std::string> serviceList,
            int workerCount)
      : loop(loop), sites(std::move(siteList)), checks(sites.size()), services(std::move(serviceList)),
        workers(workerCount) {}

  std::size_t SiteCount() const override { return sites.size(); }
  std::string Site(std::size_t index) const override { return sites.at(index); }
  bool SiteChecked(std::size_t index) const override { return checks.at(index); }
  void SetSiteChecked(std::size_t index, bool checked) override { checks.at(index) = checked; }
  const std::vector<std::string>& Services() const override { return services; }
  int WorkerCount() const override { return workers; }
  void SetWorkerCountEnabled(bool enabled) override { workerCountEnabled = enabled; }
  void SetAddURLEnabled(bool enabled) override { addURLEnabled = enabled; }
  void SetPingCaption(const std::string& caption) override { pingCaption = caption; }
  std::string SuccessCaption() const override { return success; }
  void SetSuccessCaption(const std::string& caption) override { success = caption; }
  std::string ErrorCaption() const override { return error; }
  void SetErrorCaption(const std::string& caption) override { error = caption; }
  void ClearLog() override { log.clear(); }
  void AppendLog(const std::string& line) override { log.push_back(line); }
  void SetProgress(int position) override { progress.push_back(position); }
  void SetTimerEnabled(bool enabled) override {
    if (enabled && !timer) timer = loop.StartTimer(kTestTimerInterval, [this] { controller->pingTimerTimer(); });
    if (!enabled && timer) loop.StopTimer(*std::exchange(timer, std::nullopt));
  }

  runtime::TEventLoop& loop;
  TRunController* controller = nullptr;
  std::vector<std::string> sites;
  std::vector<bool> checks;
  std::vector<std::string> services;
  int workers;
  std::optional<runtime::TEventLoop::TTimerId> timer;
  std::string pingCaption = "Ping!", success = "0", error = "0";
  bool workerCountEnabled = true, addURLEnabled = true;
  std::vector<std::string> log;
  std::vector<int> progress;
};

// Stands in for the network. Calls are keyed "<site> <url>"; a held key
// waits in its call until released.
class TFakeNetwork {
public:
  TPingCall Call() {
    return [this](TPingService& pinger, const std::string& url, TPingResult& result) {
      const std::string key = pinger.SiteURL + " " + url;
      std::unique_lock<std::mutex> lock(mutex_);
      calls_.push_back(key);
      changed_.notify_all();
      if (held_.count(key)) {
        entered_.insert(key);
        changed_.notify_all();
        changed_.wait(lock, [&] { return held_.count(key) == 0; });
      }
      result.Success = url.find("refuse") == std::string::npos;
      result.Code = result.Success ? 200 : 500;
      result.Answer = result.Success ? "Thanks" : "?";
      return result.Success;
    };
  }
  void Hold(const std::string& key) {
    const std::lock_guard<std::mutex> lock(mutex_);
    held_.insert(key);
  }
  bool AwaitEntered(const std::string& key) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return entered_.count(key) > 0; });
  }
  void Release(const std::string& key) {
    const std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(key);
    changed_.notify_all();
  }
  std::vector<std::string> Calls() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  bool AwaitCalls(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return calls_.size() >= count; });
  }
  std::map<std::string, int> CallCounts() {
    std::map<std::string, int> counts;
    for (const auto& key : Calls()) ++counts[key];
    return counts;
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<std::string> held_;
  std::set<std::string> entered_;
  std::vector<std::string> calls_;
};

struct TRig {
  runtime::TEventLoop loop;
  TFakeNetwork network;
  TFakeView view;
  TRunController controller;

  TRig(std::vector<std::string> sites, std::vector<std::string> services, int workers)
      : view(loop, std::move(sites), std::move(services), workers), controller(loop, view, network.Call()) {
    view.controller = &controller;
  }
  bool AwaitIdle() {
    return loop.RunUntil([&] { return controller.Idle(); }, kPatience);
  }
};

std::vector<std::string> Numbered(const std::string& stem, int count) {
  std::vector<std::string> lines;
  for (int i = 1; i <= count; ++i) lines.push_back(stem + std::to_string(i) + ".example/rpc");
  return lines;
}

TEST(RunControllerTest, ProgressRoundsHalvesToEven) {
  struct Case {
    int64_t total;
    std::vector<int> expected;  // after each result
  };
  const Case cases[] = {
      {8, {12, 25, 38, 50, 62, 75, 88, 100}},
      {3, {33, 67, 100}},
      {4, {25, 50, 75, 100}},
      {1, {100}},
  };
  for (const Case& c : cases)
    for (int64_t done = 1; done <= c.total; ++done)
      EXPECT_EQ(Progress(c.total, done), c.expected[done - 1]) << done << "/" << c.total;
  EXPECT_EQ(Progress(0, 5), 0);
  // Counts past 32 bits, and more done than planned, stay within the bar.
  EXPECT_EQ(Progress(int64_t{65536} * 65536, int64_t{65536} * 32768), 50);
  EXPECT_EQ(Progress(3, 5), 100);
}

TEST(RunControllerTest, TwoSitesAreDoneInTurnThenTheRunStopsItself) {
  TRig rig({"first.example", "second.example"}, Numbered("s", 3), 2);
  ASSERT_TRUE(rig.controller.StartRun());
  EXPECT_EQ(rig.controller.TotalPings(), 6);
  EXPECT_EQ(rig.view.pingCaption, "Stop ping!");
  EXPECT_FALSE(rig.view.addURLEnabled);
  EXPECT_FALSE(rig.view.workerCountEnabled);
  EXPECT_TRUE(rig.view.timer.has_value());
  ASSERT_TRUE(rig.AwaitIdle());

  ASSERT_EQ(rig.view.log.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    const char* site = i < 3 ? " URL:http://first.example " : " URL:http://second.example ";
    EXPECT_NE(rig.view.log[i].find(site), std::string::npos) << rig.view.log[i];
  }
  EXPECT_EQ(rig.network.Calls().size(), 6u);
  EXPECT_EQ(rig.view.checks, (std::vector<bool>{true, true}));
  EXPECT_EQ(rig.view.success, "6");
  EXPECT_EQ(rig.view.error, "0");
  EXPECT_EQ(rig.view.progress, (std::vector<int>{17, 33, 50, 67, 83, 100, 0}));
  EXPECT_EQ(rig.view.pingCaption, "Ping!");
  EXPECT_TRUE(rig.view.addURLEnabled);
  EXPECT_TRUE(rig.view.workerCountEnabled);
  EXPECT_FALSE(rig.view.timer.has_value());
  EXPECT_EQ(rig.controller.TotalPings(), 0);
}

TEST(RunControllerTest, OneWorkerFollowsTableOrderAndShortLinesAreNotCounted) {
  TRig rig({"blog.example"}, {"b.example/rpc", "", "abcd", "a.example/refuse", "c.example/rpc"}, 1);
  ASSERT_TRUE(rig.controller.StartRun());
  ASSERT_TRUE(rig.AwaitIdle());
  EXPECT_EQ(rig.view.log, (std::vector<std::string>{
                              "b.example/rpc URL:http://blog.example Code:200 Th:1 Answer:Thanks",
                              "a.example/refuse URL:http://blog.example Code:500 Th:1 Answer:?",
                              "c.example/rpc URL:http://blog.example Code:200 Th:1 Answer:Thanks",
                          }));
  EXPECT_EQ(rig.view.success, "2");
  EXPECT_EQ(rig.view.error, "1");
  // The skipped lines give no result and are not part of the total.
  EXPECT_EQ(rig.view.progress, (std::vector<int>{33, 67, 100, 0}));
}

TEST(RunControllerTest, NothingStartsWithoutSitesOrServices) {
  struct Case {
    std::vector<std::string> sites, services;
  };
  const Case cases[] = {{{}, {"rpc.example"}}, {{"blog.example"}, {}}, {{}, {}}, {{"blog.example"}, {"", "abcd"}}};
  for (const Case& c : cases) {
    TRig rig(c.sites, c.services, 10);
    rig.view.log = {"kept"};
    rig.view.success = "4";
    EXPECT_FALSE(rig.controller.StartRun());
    rig.controller.bbtnPingClick();
    EXPECT_FALSE(rig.controller.Pinging());
    EXPECT_EQ(rig.view.log, std::vector<std::string>{"kept"});
    EXPECT_EQ(rig.view.success, "4");
    EXPECT_EQ(rig.view.pingCaption, "Ping!");
    EXPECT_FALSE(rig.view.timer.has_value());
  }
}

TEST(RunControllerTest, StopLetsCallsUnderWayReportWhileTheBarStaysAtZero) {
  TRig rig({"blog.example", "other.example"}, {"a.example/rpc", "b.example/refuse", "c.example/rpc"}, 2);
  rig.network.Hold("http://blog.example http://a.example/rpc");
  rig.network.Hold("http://blog.example http://b.example/refuse");
  rig.controller.bbtnPingClick();
  ASSERT_TRUE(rig.network.AwaitEntered("http://blog.example http://a.example/rpc"));
  ASSERT_TRUE(rig.network.AwaitEntered("http://blog.example http://b.example/refuse"));

  rig.controller.bbtnPingClick();
  EXPECT_FALSE(rig.controller.Pinging());
  EXPECT_EQ(rig.view.pingCaption, "Ping!");
  EXPECT_EQ(rig.view.progress, std::vector<int>{0});
  EXPECT_FALSE(rig.view.timer.has_value());

  rig.network.Release("http://blog.example http://a.example/rpc");
  rig.network.Release("http://blog.example http://b.example/refuse");
  ASSERT_TRUE(rig.AwaitIdle());
  EXPECT_EQ(rig.view.log.size(), 2u);
  EXPECT_EQ(rig.view.success, "1");
  EXPECT_EQ(rig.view.error, "1");
  EXPECT_EQ(rig.view.progress, (std::vector<int>{0, 0, 0}));
  // Nobody took the third service, and the second site was never started.
  EXPECT_EQ(rig.network.Calls().size(), 2u);
  EXPECT_EQ(rig.view.checks, (std::vector<bool>{false, false}));
}

// A worker of the stopped run ends while the new run's first batch is still
// in a call: the new batch must not be taken for finished, or the next site
// would start and reset the table under a live worker.
TEST(RunControllerTest, StopThenImmediateNewRunKeepsBatchesApart) {
  TRig rig({"old.example"}, {"a.example/rpc", "b.example/rpc"}, 1);
  const std::string oldCall = "http://old.example http://a.example/rpc";
  const std::string newCall = "http://new1.example http://a.example/rpc";
  rig.network.Hold(oldCall);
  rig.network.Hold(newCall);
  ASSERT_TRUE(rig.controller.StartRun());
  ASSERT_TRUE(rig.network.AwaitEntered(oldCall));
  rig.controller.StopRun();

  rig.view.sites = {"new1.example", "new2.example"};
  rig.view.checks.assign(2, false);
  ASSERT_TRUE(rig.controller.StartRun());
  ASSERT_TRUE(rig.network.AwaitEntered(newCall));
  rig.network.Release(oldCall);
  ASSERT_TRUE(rig.loop.RunUntil([&] { return rig.controller.AliveWorkers() == 1; }, kPatience));
  EXPECT_FALSE(rig.controller.BatchDone());
  rig.network.Release(newCall);
  ASSERT_TRUE(rig.AwaitIdle());

  EXPECT_EQ(rig.view.log, (std::vector<std::string>{
                              "a.example/rpc URL:http://new1.example Code:200 Th:1 Answer:Thanks",
                              "b.example/rpc URL:http://new1.example Code:200 Th:1 Answer:Thanks",
                              "a.example/rpc URL:http://new2.example Code:200 Th:1 Answer:Thanks",
                              "b.example/rpc URL:http://new2.example Code:200 Th:1 Answer:Thanks",
                          }));
  EXPECT_EQ(rig.view.success, "4");
  EXPECT_EQ(rig.view.progress, (std::vector<int>{0, 25, 50, 75, 100, 0}));
  EXPECT_EQ(rig.network.Calls(), (std::vector<std::string>{oldCall, newCall,
                                                           "http://new1.example http://b.example/rpc",
                                                           "http://new2.example http://a.example/rpc",
                                                           "http://new2.example http://b.example/rpc"}));
}

TEST(RunControllerTest, ServicesReloadedDuringARunApplyToTheNextRun) {
  TRig rig({"blog.example"}, {"a.example/rpc"}, 1);
  const std::string held = "http://blog.example http://a.example/rpc";
  rig.network.Hold(held);
  ASSERT_TRUE(rig.controller.StartRun());
  ASSERT_TRUE(rig.network.AwaitEntered(held));
  rig.view.services = {"x.example/rpc", "y.example/rpc", "z.example/rpc"};
  rig.network.Release(held);
  ASSERT_TRUE(rig.AwaitIdle());
  EXPECT_EQ(rig.network.Calls(), std::vector<std::string>{held});

  ASSERT_TRUE(rig.controller.StartRun());
  EXPECT_EQ(rig.controller.TotalPings(), 3);
  ASSERT_TRUE(rig.AwaitIdle());
  EXPECT_EQ(rig.view.log.size(), 3u);
}

TEST(RunControllerTest, FourteenWorkersOverSeveralSitesCallEachServiceOncePerSite) {
  const auto services = Numbered("svc", 150);
  TRig rig({"one.example", "two.example", "three.example"}, services, 14);
  // The first call is held until another worker has made one, so that the
  // batch is shared whatever the machine's load.
  const std::string first = "http://one.example http://svc1.example/rpc";
  rig.network.Hold(first);
  ASSERT_TRUE(rig.controller.StartRun());
  ASSERT_TRUE(rig.network.AwaitEntered(first));
  ASSERT_TRUE(rig.network.AwaitCalls(2));
  rig.network.Release(first);
  ASSERT_TRUE(rig.AwaitIdle());
  const auto counts = rig.network.CallCounts();
  EXPECT_EQ(counts.size(), 450u);
  for (const auto& [key, count] : counts) EXPECT_EQ(count, 1) << key;
  EXPECT_EQ(rig.view.log.size(), 450u);
  EXPECT_EQ(rig.view.success, "450");
  ASSERT_GE(rig.view.progress.size(), 2u);
  EXPECT_EQ(rig.view.progress[rig.view.progress.size() - 2], 100);
  std::set<std::string> threads;
  for (const auto& line : rig.view.log) threads.insert(line.substr(line.find(" Th:")));
  EXPECT_GT(threads.size(), 1u);
}

TEST(RunControllerTest, DestroyingTheControllerMidRunWaitsForItsWorkers) {
  runtime::TEventLoop loop;
  TFakeNetwork network;
  TFakeView view(loop, {"blog.example"}, Numbered("s", 5), 3);
  const std::string held = "http://blog.example http://s1.example/rpc";
  network.Hold(held);
  std::thread releaser;
  {
    TRunController controller(loop, view, network.Call());
    view.controller = &controller;
    ASSERT_TRUE(controller.StartRun());
    ASSERT_TRUE(network.AwaitEntered(held));
    releaser = std::thread([&] { network.Release(held); });
  }
  releaser.join();
  EXPECT_FALSE(view.timer.has_value());
  // Workers not in a call stopped at their next entry; the one in a call
  // finished it. Nothing is left to report to the destroyed controller.
  EXPECT_LE(network.Calls().size(), 5u);
}

}  // namespace
}  // namespace corvandel::engine
