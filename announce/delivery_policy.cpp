#include "announce/delivery_policy.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "announce/source_dates.h"
#include "runtime/utc_time.h"

namespace corvandel::announce {

namespace {

using engine::TCallOutcome;

bool IsRetriedFailure(http::TExchangeFailure failure) {
  switch (failure) {
    case http::TExchangeFailure::ConnectFailed:
    case http::TExchangeFailure::ConnectTimedOut:
    case http::TExchangeFailure::SendFailed:
    case http::TExchangeFailure::ReadTimedOut:
    case http::TExchangeFailure::PeerClosed:
    case http::TExchangeFailure::ConnectionReset: return true;
    default: return false;
  }
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = text.find_first_not_of(' ', at);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(text.find(' ', start), text.size());
    words.push_back(text.substr(start, end - start));
    at = end;
  }
  return words;
}

// An HTTP-date in any of its three forms: "Sun, 06 Nov 1994 08:49:37 GMT",
// "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994".
std::optional<ledger::TTime> ParseHTTPDate(std::string_view text) {
  if (const std::optional<ledger::TTime> date = ParseRFC822DateTime(text)) return date;
  const std::vector<std::string_view> words = Words(text);
  if (words.size() != 5 || words[2].size() > 2 || words[4].size() != 4) return std::nullopt;
  const std::string reordered = std::string(words[0]) + ", " + std::string(words[2]) + " " + std::string(words[1]) +
                                " " + std::string(words[4]) + " " + std::string(words[3]) + " GMT";
  return ParseRFC822DateTime(reordered);
}

}  // namespace

bool ShouldRetry(const engine::TPingResult& result) {
  if (result.Deferred) return false;
  return result.Outcome == TCallOutcome::ServerError ||
         (result.Outcome == TCallOutcome::TransportFailure && IsRetriedFailure(result.Failure));
}

bool AsksToWait(const engine::TPingResult& result) {
  return !result.Deferred && result.Outcome == TCallOutcome::RateLimited;
}

bool MayPass(const engine::TPingResult& result) {
  return result.Deferred || ShouldRetry(result) || AsksToWait(result);
}

std::optional<ledger::TTime> ParseRetryAfter(std::string_view value, ledger::TTime now) {
  const std::size_t first = value.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  value = value.substr(first, value.find_last_not_of(" \t") - first + 1);
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    // Anything past the longest pause reads as that pause; the digits are
    // not converted, so that no count of them can overflow.
    const std::size_t digits = value.find_first_not_of('0');
    if (digits == std::string_view::npos) return now;
    if (value.size() - digits > 9) return now + std::chrono::duration_cast<std::chrono::milliseconds>(kMaxHold) * 2;
    int64_t seconds = 0;
    for (const char c : value.substr(digits)) seconds = seconds * 10 + (c - '0');
    return now + std::chrono::seconds(seconds);
  }
  return ParseHTTPDate(value);
}

ledger::TTime HoldEnd(std::string_view retryAfter, ledger::TTime now) {
  const std::optional<ledger::TTime> asked = ParseRetryAfter(retryAfter, now);
  const ledger::TTime until = asked ? *asked : now + std::chrono::duration_cast<std::chrono::milliseconds>(kDefaultHold);
  return std::clamp(until, now, now + std::chrono::duration_cast<std::chrono::milliseconds>(kMaxHold));
}

std::chrono::milliseconds Backoff(int retry, double jitter, std::chrono::milliseconds first) {
  const double doubled = std::ldexp(1.0, std::clamp(retry, 1, 32) - 1);
  const double wait = static_cast<double>(first.count()) * (0.5 + std::clamp(jitter, 0.0, 1.0)) * doubled;
  return std::chrono::milliseconds(static_cast<int64_t>(std::min(wait, static_cast<double>(kMaxBackoff.count()))));
}

std::string DeferredReason(std::string_view endpoint, ledger::TTime until, bool earlier) {
  return "deferred: " + std::string(endpoint) + (earlier ? " asked on an earlier run" : " asked") +
         " for no calls until " + runtime::FormatUTC(until);
}

}  // namespace corvandel::announce
