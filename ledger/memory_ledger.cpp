#include "ledger/memory_ledger.h"

#include <algorithm>
#include <cstddef>

namespace corvandel::ledger {

namespace {

// The date a call gave its Site: that of the carried URL with the same text.
std::optional<TTime> SiteDate(const TCallRecord& call) {
  for (const TCarriedURL& url : call.URLs)
    if (url.URL == call.Site) return url.Dated;
  return std::nullopt;
}

// A success that started earlier than the one already kept (calls finish
// out of order) leaves the later one in place.
void Settle(std::map<std::string, TAnnouncement, std::less<>>& kept, const std::string& url, TTime started,
            std::optional<TTime> dated) {
  auto [at, added] = kept.try_emplace(url, TAnnouncement{started, dated});
  if (!added && started >= at->second.AnnouncedAt) at->second = TAnnouncement{started, dated};
}

}  // namespace

void TMemoryLedger::RequireNotVisiting() const {
  if (visiting_) throw ELedgerError("Cannot use the ledger in memory while its calls are being listed.");
}

int64_t TMemoryLedger::BeginRun(TTime) {
  std::lock_guard lock(mutex_);
  RequireNotVisiting();
  return ++lastRun_;
}

void TMemoryLedger::LastAnnouncements(std::string_view service, std::span<const std::string> urls,
                                      std::vector<std::optional<TAnnouncement>>& found) {
  std::lock_guard lock(mutex_);
  RequireNotVisiting();
  found.assign(urls.size(), std::nullopt);
  const auto line = announcements_.find(service);
  if (line == announcements_.end()) return;
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const auto at = line->second.find(urls[i]);
    if (at != line->second.end()) found[i] = at->second;
  }
}

void TMemoryLedger::RecordCall(const TCallRecord& call) {
  std::lock_guard lock(mutex_);
  RequireNotVisiting();
  calls_.push_back(call);
  if (!call.Success) return;
  TAnnouncements& settled = announcements_[call.Service];
  Settle(settled, call.Site, call.Started, SiteDate(call));
  for (const TCarriedURL& url : call.URLs) Settle(settled, url.URL, call.Started, url.Dated);
}

void TMemoryLedger::ForEachCall(const TCallFilter& filter, const std::function<void(const TCallRecord&)>& visit) {
  std::lock_guard lock(mutex_);
  RequireNotVisiting();
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < calls_.size(); ++i) {
    const TCallRecord& call = calls_[i];
    if (filter.Since && call.Started < *filter.Since) continue;
    if (call.Service.find(filter.Service) == std::string::npos) continue;
    order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return calls_[a].Started < calls_[b].Started; });
  visiting_ = true;
  struct TDone {
    bool& Flag;
    ~TDone() { Flag = false; }
  } done{visiting_};
  for (const std::size_t i : order) visit(calls_[i]);
}

void TMemoryLedger::HoldUntil(std::string_view endpoint, TTime until) {
  std::lock_guard lock(mutex_);
  RequireNotVisiting();
  holds_.insert_or_assign(std::string(endpoint), until);
}

std::optional<TTime> TMemoryLedger::HeldUntil(std::string_view endpoint) {
  std::lock_guard lock(mutex_);
  RequireNotVisiting();
  const auto at = holds_.find(endpoint);
  if (at == holds_.end()) return std::nullopt;
  return at->second;
}

}  // namespace corvandel::ledger
