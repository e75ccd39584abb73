#include "announce/delivery_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvandel::announce {
namespace {

using engine::TCallOutcome;
using http::TExchangeFailure;
using std::chrono::milliseconds;
using std::chrono::seconds;

// What each answer leads to: tried again, a pause for the endpoint, or a
// failure that stands.
TEST(DeliveryPolicyTest, EachOutcomeIsRetriedDeferredOrFinal) {
  enum class TNext { Done, Retry, Defer };
  struct Case {
    int32_t status;  // 0: no answer
    bool success;
    bool retryAfter;
    TExchangeFailure failure;
    TNext next;
  };
  const std::vector<Case> cases = {
      {200, true, false, TExchangeFailure::None, TNext::Done},
      {200, false, false, TExchangeFailure::None, TNext::Done},  // a fault or flerror
      {400, false, false, TExchangeFailure::None, TNext::Done},
      {403, false, false, TExchangeFailure::None, TNext::Done},
      {404, false, true, TExchangeFailure::None, TNext::Done},
      {422, false, false, TExchangeFailure::None, TNext::Done},
      {301, false, false, TExchangeFailure::None, TNext::Done},
      {501, false, false, TExchangeFailure::None, TNext::Done},
      {429, false, false, TExchangeFailure::None, TNext::Defer},
      {429, false, true, TExchangeFailure::None, TNext::Defer},
      {503, false, true, TExchangeFailure::None, TNext::Defer},
      {500, false, false, TExchangeFailure::None, TNext::Retry},
      {502, false, false, TExchangeFailure::None, TNext::Retry},
      {503, false, false, TExchangeFailure::None, TNext::Retry},
      {504, false, false, TExchangeFailure::None, TNext::Retry},
      {0, false, false, TExchangeFailure::ConnectFailed, TNext::Retry},
      {0, false, false, TExchangeFailure::ConnectTimedOut, TNext::Retry},
      {0, false, false, TExchangeFailure::ReadTimedOut, TNext::Retry},
      {0, false, false, TExchangeFailure::ConnectionReset, TNext::Retry},
      {0, false, false, TExchangeFailure::PeerClosed, TNext::Retry},
      {0, false, false, TExchangeFailure::NameNotResolved, TNext::Done},
      {0, false, false, TExchangeFailure::SecureLayerFailed, TNext::Done},
      {0, false, false, TExchangeFailure::BodyTooLarge, TNext::Done},
      {0, false, false, TExchangeFailure::HeaderBlockTooLarge, TNext::Done},
      {0, false, false, TExchangeFailure::None, TNext::Done},  // refused before any request
  };
  for (const Case& c : cases) {
    engine::TPingResult result;
    result.Code = c.status;
    result.Success = c.success;
    result.Failure = c.failure;
    result.Outcome = c.status != 0                           ? engine::OutcomeOfStatus(c.status, c.success, c.retryAfter)
                     : c.failure != TExchangeFailure::None ? TCallOutcome::TransportFailure
                                                           : TCallOutcome::Refused;
    const TNext next = ShouldRetry(result) ? TNext::Retry : AsksToWait(result) ? TNext::Defer : TNext::Done;
    EXPECT_EQ(next, c.next) << c.status << " " << static_cast<int>(c.failure);
    EXPECT_EQ(MayPass(result), c.next != TNext::Done) << c.status;
  }
}

// Retry-After in seconds or as any HTTP-date; a pause is never longer than
// a day, never in the past, and ten minutes when it cannot be read.
TEST(DeliveryPolicyTest, RetryAfterSetsAPauseWithinItsBounds) {
  const ledger::TTime now{milliseconds(784111777000)};  // Sun, 06 Nov 1994 08:49:37 GMT
  struct Case {
    std::string value;
    ledger::TTime until;
  };
  const std::vector<Case> cases = {
      {"120", now + seconds(120)},
      {" 0 ", now},
      {"999999999", now + kMaxHold},
      {"99999999999999999999999", now + kMaxHold},
      {"Sun, 06 Nov 1994 08:59:37 GMT", now + seconds(600 - 0)},
      {"Sunday, 06-Nov-94 09:49:37 GMT", now + seconds(3600)},
      {"Sun Nov  6 08:50:37 1994", now + seconds(60)},
      {"Sat, 05 Nov 1994 08:49:37 GMT", now},
      {"Sun, 06 Nov 2094 08:49:37 GMT", now + kMaxHold},
      {"soon", now + kDefaultHold},
      {"-5", now + kDefaultHold},
      {"1.5", now + kDefaultHold},
      {"", now + kDefaultHold},
  };
  for (const Case& c : cases) EXPECT_EQ(HoldEnd(c.value, now), c.until) << c.value;
}

TEST(DeliveryPolicyTest, BackoffDoublesWithJitterUpToItsCap) {
  EXPECT_EQ(Backoff(1, 0.0), milliseconds(500));
  EXPECT_EQ(Backoff(1, 0.999), milliseconds(1499));
  EXPECT_EQ(Backoff(2, 0.5), milliseconds(2000));
  EXPECT_EQ(Backoff(3, 0.5), milliseconds(4000));
  EXPECT_EQ(Backoff(6, 0.5), kMaxBackoff);
  EXPECT_EQ(Backoff(1000, 1.0), kMaxBackoff);
}

}  // namespace
}  // namespace corvandel::announce
