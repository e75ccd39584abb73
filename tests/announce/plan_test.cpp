#include "announce/plan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "announce/site_origin.h"
#include "ledger/memory_ledger.h"

namespace corvandel::announce {
namespace {

using namespace std::chrono_literals;
using engine::TServiceKind;

const TTime kDay1 = TTime(std::chrono::milliseconds(1'700'000'000'000));
const TTime kDay2 = kDay1 + 24h;
const TTime kDay3 = kDay2 + 24h;

const std::string kRPC = "rpc.example/RPC2";
const std::string kIndexNow = "indexnow:https://engine.example/indexnow?key=k1234567";
const std::string kHub = "websub:https://hub.example/";

// What one call of a plan comes to, in a form that reads in a table.
struct TCallSketch {
  std::size_t Service;
  std::string Site;
  std::vector<std::string> URLs;
  bool operator==(const TCallSketch&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TCallSketch& call) {
  out << call.Service << " " << call.Site << " [";
  for (const std::string& url : call.URLs) out << url << " ";
  return out << "]";
}

std::vector<TCallSketch> Sketch(const TPlan& plan) {
  std::vector<TCallSketch> sketch;
  for (const TPlannedCall& call : plan.Calls) {
    TCallSketch one{call.Service, call.Site, {}};
    for (const auto& url : call.URLs) one.URLs.push_back(url.URL);
    sketch.push_back(one);
  }
  return sketch;
}

class PlanTest : public ::testing::Test {
protected:
  std::vector<std::string> lines_ = {kRPC, kIndexNow, kHub};
  ledger::TMemoryLedger ledger_;

  TPlan Plan(const TSources& sources, TPlanOptions options = {}) {
    if (options.Now == TTime{}) options.Now = kDay3;
    return PlanCalls(sources, lines_, ledger_, options);
  }
  // Records every call of the plan as a success started at when.
  void Succeed(const TPlan& plan, TTime when) {
    for (const TPlannedCall& call : plan.Calls) {
      ledger::TCallRecord record;
      record.Service = lines_[call.Service];
      record.Kind = "xmlrpc";
      record.Site = call.Site;
      record.URLs = call.URLs;
      record.Success = true;
      record.Code = 200;
      record.Started = when;
      ledger_.RecordCall(record);
    }
  }
};

TSources SiteSources(std::optional<TTime> pageADate = kDay1) {
  TSources sources;
  sources.Pages = {{"https://blog.example/a", pageADate},
                   {"https://blog.example/b", std::nullopt},
                   {"https://news.example:8443/c", kDay1},
                   {"https://blog.example/d", kDay1}};
  sources.Feeds = {{"https://blog.example/feed.xml", kDay1}};
  return sources;
}

TEST(SiteOriginTest, NamesTheSiteAsAPingDoes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"https://Blog.Example/a/b?c#d", "https://blog.example/"},
      {"HTTP://blog.example:80/x", "http://blog.example/"},
      {"https://blog.example:443/", "https://blog.example/"},
      {"https://blog.example:8443/x", "https://blog.example:8443/"},
      {"http://user:pw@blog.example/x", "http://blog.example/"},
      {"http://[::1]:8080/x", "http://[::1]:8080/"},
  };
  for (const auto& [url, origin] : cases) EXPECT_EQ(SiteOrigin(url), origin) << url;
}

TEST_F(PlanTest, FirstRunSendsEachKindWhatItTakes) {
  const TPlan plan = Plan(SiteSources());
  const std::vector<TCallSketch> expected = {
      {0, "https://blog.example/",
       {"https://blog.example/a", "https://blog.example/b", "https://blog.example/d", "https://blog.example/feed.xml"}},
      {0, "https://news.example:8443/", {"https://news.example:8443/c"}},
      {1, "https://blog.example/", {"https://blog.example/a", "https://blog.example/b", "https://blog.example/d"}},
      {1, "https://news.example:8443/c", {"https://news.example:8443/c"}},
      {2, "https://blog.example/feed.xml", {"https://blog.example/feed.xml"}},
  };
  std::vector<TCallSketch> got = Sketch(plan);
  // The order is by what is announced, first mention first; compare as sets
  // here and check the grouping below.
  EXPECT_EQ(got.size(), expected.size());
  for (const TCallSketch& call : expected) EXPECT_NE(std::find(got.begin(), got.end(), call), got.end()) << call;
  for (std::size_t i = 1; i < plan.Calls.size(); ++i) {
    EXPECT_GE(plan.Calls[i].Group, plan.Calls[i - 1].Group);
    if (plan.Calls[i].Group == plan.Calls[i - 1].Group) {
      EXPECT_EQ(plan.Calls[i].Site, plan.Calls[i - 1].Site);
    }
  }
  EXPECT_EQ(plan.Unchanged, 0);
}

TEST_F(PlanTest, WhatChangedSinceTheLastSuccessIsAllThatGoes) {
  Succeed(Plan(SiteSources()), kDay2);
  // Nothing moved: nothing goes, and every line's share counts as unchanged
  // (2 sites, 4 pages, 1 feed).
  TPlan again = Plan(SiteSources());
  EXPECT_TRUE(again.Calls.empty());
  EXPECT_EQ(again.Unchanged, 7);

  // A's lastmod moves past the date it was announced with: A goes to the
  // indexnow line, and its site to the XML-RPC line, carrying A alone. The
  // undated B is never announced again.
  const TPlan moved = Plan(SiteSources(kDay1 + 1h));
  const std::vector<TCallSketch> expected = {
      {0, "https://blog.example/", {"https://blog.example/a"}},
      {1, "https://blog.example/a", {"https://blog.example/a"}},
  };
  EXPECT_EQ(Sketch(moved), expected);

  // A later date on a page that was announced without one counts from the
  // announcement itself.
  TSources dated = SiteSources();
  dated.Pages[1].Date = kDay2 - 1h;
  EXPECT_TRUE(Plan(dated).Calls.empty());
  dated.Pages[1].Date = kDay2 + 1h;
  EXPECT_EQ(Plan(dated).Calls.size(), 2u);
}

TEST_F(PlanTest, ASitesPagesGoInBulkSubmissionsOfTheProtocolsSize) {
  lines_ = {kIndexNow};
  for (const std::size_t count : {2u, 10000u, 10001u}) {
    TSources sources;
    for (std::size_t i = 0; i < count; ++i) sources.Pages.push_back({"https://blog.example/" + std::to_string(i), {}});
    sources.Pages.push_back({"https://news.example/only", {}});
    const TPlan plan = Plan(sources);
    std::vector<std::pair<std::size_t, bool>> shape;
    for (const TPlannedCall& call : plan.Calls) shape.emplace_back(call.URLs.size(), call.Bulk);
    std::vector<std::pair<std::size_t, bool>> expected = {{std::min<std::size_t>(count, 10000), true}};
    if (count > 10000) expected.emplace_back(count - 10000, true);
    expected.emplace_back(1, false);
    EXPECT_EQ(shape, expected) << count;
    EXPECT_EQ(plan.Calls.front().Site, "https://blog.example/");
    EXPECT_EQ(plan.Calls.back().Site, "https://news.example/only");
  }
}

TEST_F(PlanTest, DuplicatesGoOnceWithTheirLatestDate) {
  TSources sources;
  sources.Pages = {{"https://blog.example/a", kDay1}, {"https://blog.example/a", kDay2}, {"https://blog.example/a", {}}};
  lines_ = {kIndexNow};
  const TPlan plan = Plan(sources);
  ASSERT_EQ(plan.Calls.size(), 1u);
  EXPECT_EQ(plan.Calls[0].URLs, (std::vector<ledger::TCarriedURL>{{"https://blog.example/a", kDay2}}));
}

TEST_F(PlanTest, AllAndMinIntervalOverrideTheLedgerEachTheirWay) {
  Succeed(Plan(SiteSources()), kDay3 - 10min);
  EXPECT_EQ(Plan(SiteSources(), {.All = true, .MinInterval = {}, .Now = {}}).Calls.size(), 5u);
  // Announced 10 minutes ago: a 15-minute interval holds everything back,
  // --all included; a 5-minute one lets --all through.
  EXPECT_TRUE(Plan(SiteSources(), {.All = true, .MinInterval = 15min, .Now = {}}).Calls.empty());
  EXPECT_EQ(Plan(SiteSources(), {.All = true, .MinInterval = 5min, .Now = {}}).Calls.size(), 5u);
}

TEST_F(PlanTest, ListedSitesGoEveryTimeUnlessTooSoon) {
  TSources sources;
  sources.Sites = {"blog.example", "blog.example", "https://news.example/"};
  const TPlan plan = Plan(sources);
  // Every listed site to every line, duplicates kept, each a group of its own.
  ASSERT_EQ(plan.Calls.size(), 9u);
  EXPECT_EQ(plan.Calls[0].Site, "http://blog.example");
  EXPECT_EQ(plan.Calls[3].Group, 1u);
  Succeed(plan, kDay3 - 1h);
  EXPECT_EQ(Plan(sources).Calls.size(), 9u);
  const TPlan held = Plan(sources, {.All = false, .MinInterval = 2h, .Now = {}});
  EXPECT_TRUE(held.Calls.empty());
  EXPECT_EQ(held.Unchanged, 9);
}

TEST_F(PlanTest, AListedSiteThatSourcesChangeIsPingedOnce) {
  TSources sources;
  sources.Sites = {"https://blog.example/"};
  sources.Pages = {{"https://blog.example/a", kDay1}};
  lines_ = {kRPC};
  const TPlan plan = Plan(sources);
  ASSERT_EQ(plan.Calls.size(), 1u);
  EXPECT_EQ(Sketch(plan)[0], (TCallSketch{0, "https://blog.example/", {"https://blog.example/", "https://blog.example/a"}}));
}

TEST_F(PlanTest, ShortLinesAreSkippedAndCounted) {
  lines_ = {"", "abcd", kRPC};
  TSources sources;
  sources.Sites = {"blog.example"};
  sources.Pages = {{"https://news.example/a", kDay1}};
  const TPlan plan = Plan(sources);
  EXPECT_EQ(plan.Calls.size(), 2u);
  EXPECT_EQ(plan.Skipped, 4);
}

}  // namespace
}  // namespace corvandel::announce
