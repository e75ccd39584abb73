#pragma once

// The ledger: what corvandel-ping has announced, to which service line, and
// every call it made. A run reads it to plan (which URLs are new or changed
// for each line) and writes each finished call as soon as it finishes.
//
// Guarantees every store keeps:
// - RecordCall is one transaction: a call is stored whole, with its URLs and
//   the announcements it settles, or not at all. A process killed at any
//   moment loses at most the calls not yet recorded.
// - A successful call makes its Site and each of its URLs that line's last
//   announcement, with the call's start and each URL's date, unless a
//   success that started later is kept already (calls finish out of order).
//   A failed call is recorded and settles nothing.
// - Several processes may write one store at once (the SQLite store waits
//   for the others' transactions instead of failing).
// - Reading never changes what is stored.
//
// Times are kept to the millisecond, in UTC.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvandel::ledger {

using TTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;

// Raised by a store that cannot do what was asked; what() names the store
// (its file) and the reason.
class ELedgerError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A page URL a call carried, with the date its sources gave it.
struct TCarriedURL {
  std::string URL;
  std::optional<TTime> Dated;

  bool operator==(const TCarriedURL&) const = default;
};

// The last successful announcement of one URL to one service line.
struct TAnnouncement {
  TTime AnnouncedAt{};         // when the successful call began
  std::optional<TTime> Dated;  // the date the URL carried then, if any

  bool operator==(const TAnnouncement&) const = default;
};

// One finished call, as recorded and as history shows it.
struct TCallRecord {
  int64_t Run = 0;       // from BeginRun
  std::string Service;   // the service line as listed
  std::string Kind;      // "xmlrpc", "indexnow" or "websub"
  std::string Site;      // what the call announced: a site, a page or a feed
  std::vector<TCarriedURL> URLs;  // the page URLs it carried, in order
  bool Success = false;
  int32_t Code = 0;
  std::string Answer;
  std::string Reason;
  TTime Started{};
  std::chrono::microseconds Elapsed{};

  bool operator==(const TCallRecord&) const = default;
};

// Which recorded calls history lists.
struct TCallFilter {
  std::optional<TTime> Since;  // started at or after
  std::string Service;         // the service line contains this text; empty for all
};

class TLedger {
public:
  virtual ~TLedger() = default;

  // Numbers a new run, started at started; numbers grow across processes.
  virtual int64_t BeginRun(TTime started) = 0;

  // The last successful announcement of each of urls to the service line,
  // in the order of urls (nothing where there is none), into found.
  virtual void LastAnnouncements(std::string_view service, std::span<const std::string> urls,
                                 std::vector<std::optional<TAnnouncement>>& found) = 0;

  // Stores one finished call in one transaction (see the guarantees above).
  virtual void RecordCall(const TCallRecord& call) = 0;

  // The recorded calls that pass filter, oldest first (by start, then by the
  // order of recording), handed one at a time. visit must not call back into
  // the store, which refuses it.
  virtual void ForEachCall(const TCallFilter& filter, const std::function<void(const TCallRecord&)>& visit) = 0;

  // An endpoint that asked callers to wait: no call to it before until.
  // A later hold replaces an earlier one.
  virtual void HoldUntil(std::string_view endpoint, TTime until) = 0;
  virtual std::optional<TTime> HeldUntil(std::string_view endpoint) = 0;
};

// The time now, to the store's precision.
inline TTime Now() { return std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now()); }

}  // namespace corvandel::ledger
