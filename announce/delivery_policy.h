#pragma once

// How a run treats a call that failed: whether it is tried again, after
// how long, and for how long an endpoint that asked for a pause is left
// alone. The decisions read a result's typed outcome, never its texts.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "engine/ping_service.h"
#include "ledger/ledger.h"

namespace corvandel::announce {

// How often a failure that may pass is tried again by default.
inline constexpr int kDefaultRetries = 2;
// The wait before the first retry, give or take half of it; each further
// wait doubles, up to kMaxBackoff.
inline constexpr std::chrono::milliseconds kFirstBackoff{1000};
inline constexpr std::chrono::milliseconds kMaxBackoff{30000};
// How long an endpoint that said 429 without a readable Retry-After is
// left alone, and the longest pause any endpoint gets, whatever it asks.
inline constexpr std::chrono::minutes kDefaultHold{10};
inline constexpr std::chrono::hours kMaxHold{24};

// Whether calling again may give another outcome, soon: a connection
// refused, reset or timed out, or a 500, 502, 503 or 504 without
// Retry-After.
bool ShouldRetry(const engine::TPingResult& result);
// Whether the endpoint asked for a pause: a 429, or a 503 with Retry-After.
bool AsksToWait(const engine::TPingResult& result);
// Whether the failure may pass later, by retrying or by waiting.
bool MayPass(const engine::TPingResult& result);

// A Retry-After value at now: seconds from now, or an HTTP-date. Nothing
// when it reads as neither.
std::optional<ledger::TTime> ParseRetryAfter(std::string_view value, ledger::TTime now);
// Until when an endpoint that asked for a pause with retryAfter is left
// alone: the time it asked for, kDefaultHold when it gave none that can be
// read, never before now and never past now + kMaxHold.
ledger::TTime HoldEnd(std::string_view retryAfter, ledger::TTime now);

// The wait before retry number retry (1 for the first) with a jitter in
// [0, 1): the first wait from 0.5 to 1.5 times first, each next one twice
// the one before, at most kMaxBackoff.
std::chrono::milliseconds Backoff(int retry, double jitter, std::chrono::milliseconds first = kFirstBackoff);

// The reason of a call not made because endpoint asked for no calls until
// until; earlier says that it asked on an earlier run.
std::string DeferredReason(std::string_view endpoint, ledger::TTime until, bool earlier);

}  // namespace corvandel::announce
