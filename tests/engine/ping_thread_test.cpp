#include "engine/ping_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/event_loop.h"

namespace corvandel::engine {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 30s;

// One batch of workers on one site, with the network replaced: every call
// is recorded; "boom" in a URL raises, "refuse" fails, "why" fails with a
// reason, "quiet" leaves the result alone; the call to holdURL waits until
// Release.
struct TBatch {
  runtime::TEventLoop loop;
  std::shared_ptr<TServiceTable> table;
  std::vector<TPingResult> results;
  std::vector<TThreadPingService*> workers;  // valid until their end
  int ended = 0;
  int built = 0;  // workers that ended holding a request
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> calls;
  std::string holdURL;
  bool held = false, released = false;

  explicit TBatch(std::vector<std::string> services) : table(std::make_shared<TServiceTable>(std::move(services))) {}

  bool Call(const std::string& url, TPingResult& result) {
    std::unique_lock<std::mutex> lock(mutex);
    calls.push_back(url);
    if (url == holdURL) {
      held = true;
      changed.notify_all();
      changed.wait(lock, [&] { return released; });
    }
    if (url.find("boom") != std::string::npos) throw std::runtime_error("call failed");
    if (url.find("quiet") != std::string::npos) return false;
    if (url.find("why") != std::string::npos) {
      result = TPingResult{};
      result.Code = 503;
      result.Answer = "Busy";
      result.Reason = "service said why";
      return false;
    }
    result.Success = url.find("refuse") == std::string::npos;
    result.Code = 200;
    result.Answer = result.Success ? "Thanks" : "Refused";
    return result.Success;
  }
  void Start(const std::string& site, int count) {
    for (int i = 0; i < count; ++i) {
      auto worker = std::make_unique<TThreadPingService>(
          loop, table, site, static_cast<uint16_t>(i + 1),
          [this](const TPingResult& result) { results.push_back(result); },
          [this](TPingService&, const std::string& url, TPingResult& result) { return Call(url, result); });
      worker->SetOnTerminate([this](runtime::TThread& thread) {
        ++ended;
        built += static_cast<TThreadPingService&>(thread).RequestBuilt();
      });
      workers.push_back(worker.get());
      runtime::TThread::Launch(std::move(worker));
    }
  }
  bool AwaitEnd() { return loop.RunUntil([&] { return ended == static_cast<int>(workers.size()); }, kPatience); }
};

TEST(PingThreadTest, SchemeIsAddedUnlessTheTextSaysHttpAnywhere) {
  const std::pair<const char*, const char*> cases[] = {
      {"rpc.example/ping", "http://rpc.example/ping"},
      {"http://rpc.example/", "http://rpc.example/"},
      {"HTTP://rpc.example/", "http://HTTP://rpc.example/"},  // case-sensitive
      {"rpc.example/xmlrpc/http-ping", "rpc.example/xmlrpc/http-ping"},
      {"https://rpc.example/", "https://rpc.example/"},
      {"", "http://"},
  };
  for (const auto& [text, called] : cases) EXPECT_EQ(WithScheme(text), called) << text;
}

TEST(PingThreadTest, OneWorkerFollowsTableOrderAndSkipsShortLines) {
  TBatch batch({"c.example", "", "abcd", "abcde", "a.example/refuse", "c.example"});
  batch.Start("blog.example", 1);
  ASSERT_TRUE(batch.AwaitEnd());
  EXPECT_EQ(batch.calls, (std::vector<std::string>{"http://c.example", "http://abcde", "http://a.example/refuse",
                                                   "http://c.example"}));
  const std::pair<const char*, bool> expected[] = {
      {"c.example", true}, {"abcde", true}, {"a.example/refuse", false}, {"c.example", true}};
  ASSERT_EQ(batch.results.size(), std::size(expected));
  for (std::size_t i = 0; i < batch.results.size(); ++i) {
    EXPECT_EQ(batch.results[i].ServiceURL, expected[i].first);  // as listed, without the prefix
    EXPECT_EQ(batch.results[i].Success, expected[i].second);
    EXPECT_EQ(batch.results[i].SiteURL, "http://blog.example");
    EXPECT_EQ(batch.results[i].ThreadNum, 1);
  }
  const TServState states[] = {ssDone, ssClaimed, ssClaimed, ssDone, ssDone, ssDone};
  for (std::size_t i = 0; i < std::size(states); ++i) EXPECT_EQ(batch.table->State(i), states[i]) << i;
}

// The worker's one record is refilled for every call: nothing of one
// call's outcome reaches the next, a failure always says why and a success
// never does.
TEST(PingThreadTest, EveryResultStartsFailedWithAReason) {
  TBatch batch({"a.example/why", "b.example", "c.example/quiet"});
  batch.Start("blog.example", 1);
  ASSERT_TRUE(batch.AwaitEnd());
  struct Expected {
    bool success;
    int32_t code;
    std::string answer;
    std::string reason;
  };
  const Expected expected[] = {
      {false, 503, "Busy", "service said why"}, {true, 200, "Thanks", ""}, {false, 0, "?", "call not made"}};
  ASSERT_EQ(batch.results.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(batch.results[i].Success, expected[i].success) << i;
    EXPECT_EQ(batch.results[i].Code, expected[i].code) << i;
    EXPECT_EQ(batch.results[i].Answer, expected[i].answer) << i;
    EXPECT_EQ(batch.results[i].Reason, expected[i].reason) << i;
  }
}

// A request is as large as its site: only workers that call build one.
TEST(PingThreadTest, OnlyWorkersThatCallBuildARequest) {
  TBatch shortLines({"", "abcd", "ab"});
  shortLines.Start("blog.example", 4);
  ASSERT_TRUE(shortLines.AwaitEnd());
  EXPECT_EQ(shortLines.built, 0);

  TBatch one({"a.example"});
  one.Start("blog.example", 14);
  ASSERT_TRUE(one.AwaitEnd());
  EXPECT_EQ(one.calls.size(), 1u);
  EXPECT_EQ(one.built, 1);
  EXPECT_EQ(one.results.at(0).SiteURL, "http://blog.example");
}

TEST(PingThreadTest, EmptyTableEndsEveryWorkerWithoutACall) {
  TBatch batch({});
  batch.Start("blog.example", 3);
  ASSERT_TRUE(batch.AwaitEnd());
  EXPECT_TRUE(batch.calls.empty());
  EXPECT_TRUE(batch.results.empty());
}

TEST(PingThreadTest, StopRequestLetsTheCallInProgressFinishAndReport) {
  TBatch batch({"first.example", "second.example"});
  batch.holdURL = "http://first.example";
  batch.Start("blog.example", 1);
  {
    std::unique_lock<std::mutex> lock(batch.mutex);
    ASSERT_TRUE(batch.changed.wait_for(lock, kPatience, [&] { return batch.held; }));
  }
  batch.workers[0]->Terminate();
  {
    const std::lock_guard<std::mutex> lock(batch.mutex);
    batch.released = true;
    batch.changed.notify_all();
  }
  ASSERT_TRUE(batch.AwaitEnd());
  ASSERT_EQ(batch.results.size(), 1u);
  EXPECT_EQ(batch.results[0].ServiceURL, "first.example");
  EXPECT_EQ(batch.table->State(1), ssPending);
}

TEST(PingThreadTest, WorkerEndedByAFailureLeavesItsEntryClaimedAndTheRestToOthers) {
  TBatch batch({"a.example", "boom.example", "c.example", "d.example", "e.example"});
  batch.Start("blog.example", 2);
  ASSERT_TRUE(batch.AwaitEnd());
  EXPECT_EQ(batch.results.size(), 4u);
  EXPECT_EQ(batch.calls.size(), 5u);  // nothing called twice
  const TServState states[] = {ssDone, ssClaimed, ssDone, ssDone, ssDone};
  for (std::size_t i = 0; i < std::size(states); ++i) EXPECT_EQ(batch.table->State(i), states[i]) << i;
}

}  // namespace
}  // namespace corvandel::engine
