#include "engine/service_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace corvandel::engine {
namespace {

TEST(ServiceTableTest, OnlyAPendingEntryCanBeClaimed) {
  TServiceTable table({"a", "b", "c"});
  table.MarkDone(2);
  struct Case {
    std::size_t index;
    bool claimed;
    TServState after;
  };
  const Case cases[] = {
      {0, true, ssClaimed},   // pending
      {0, false, ssClaimed},  // already claimed
      {2, false, ssDone},     // done
      {1, true, ssClaimed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(table.Claim(c.index), c.claimed) << c.index;
    EXPECT_EQ(table.State(c.index), c.after) << c.index;
  }
  table.ResetStates();
  for (std::size_t i = 0; i < table.Count(); ++i) EXPECT_TRUE(table.IsPending(i));
}

TEST(ServiceTableTest, RacingClaimersTakeEveryEntryExactlyOnce) {
  constexpr std::size_t kEntries = 5000;
  constexpr int kClaimers = 14;
  TServiceTable table(std::vector<std::string>(kEntries, "service"));
  std::vector<std::atomic<int>> claims(kEntries);
  std::vector<std::thread> claimers;
  for (int t = 0; t < kClaimers; ++t)
    claimers.emplace_back([&] {
      for (std::size_t i = 0; i < kEntries; ++i) {
        if (!table.IsPending(i)) continue;
        if (!table.Claim(i)) continue;
        ++claims[i];
        table.MarkDone(i);
      }
    });
  for (auto& claimer : claimers) claimer.join();
  for (std::size_t i = 0; i < kEntries; ++i) {
    ASSERT_EQ(claims[i], 1) << i;
    ASSERT_EQ(table.State(i), ssDone) << i;
  }
}

}  // namespace
}  // namespace corvandel::engine
