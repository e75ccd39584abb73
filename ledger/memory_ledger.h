#pragma once

// The ledger kept in memory alone, with the same contract as the SQLite
// store but no persistence: for the planner's tests and for runs without a
// ledger file. Safe to use from several threads.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/ledger.h"

namespace corvandel::ledger {

class TMemoryLedger final : public TLedger {
public:
  int64_t BeginRun(TTime started) override;
  void LastAnnouncements(std::string_view service, std::span<const std::string> urls,
                         std::vector<std::optional<TAnnouncement>>& found) override;
  void RecordCall(const TCallRecord& call) override;
  void ForEachCall(const TCallFilter& filter, const std::function<void(const TCallRecord&)>& visit) override;
  void HoldUntil(std::string_view endpoint, TTime until) override;
  std::optional<TTime> HeldUntil(std::string_view endpoint) override;

private:
  using TAnnouncements = std::map<std::string, TAnnouncement, std::less<>>;

  void RequireNotVisiting() const;

  // Recursive so that a visitor calling back in is refused, not deadlocked.
  std::recursive_mutex mutex_;
  bool visiting_ = false;
  int64_t lastRun_ = 0;
  std::map<std::string, TAnnouncements, std::less<>> announcements_;  // by service line, then URL
  std::vector<TCallRecord> calls_;                                     // in the order recorded
  std::map<std::string, TTime, std::less<>> holds_;
};

}  // namespace corvandel::ledger
