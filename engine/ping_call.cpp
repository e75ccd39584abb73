#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "engine/announce_call.h"
#include "engine/call_setup.h"
#include "engine/ping_service.h"
#include "engine/ping_texts.h"
#include "http/http_send.h"
#include "http/proxy_config.h"
#include "http/secure_layer.h"
#include "runtime/ascii_case.h"
#include "xml/reader.h"
#include "xml/writer.h"

namespace corvandel::engine {

namespace {

constexpr const char* kPingMethod = "post";
constexpr int32_t kOKStatus = 200;

// Classifies the body of a 200 answer. A body that does not parse, or that
// the classification finds malformed, is reported whole after the not-XML
// prefix, as the raw bytes it came in; reason then says what was wrong.
bool ClassifyBody(const TPingService& service, runtime::TMemoryStream& body, std::string& answer,
                  std::string& reason) {
  try {
    std::unique_ptr<xml::TXMLDocument> document;
    body.SetPosition(0);
    // The defaults leave external entities unresolved: an answer from the
    // network must not make the reader open this machine's files.
    const xml::TXMLReaderSettings settings;
    xml::ReadDocumentFromStream(document, body, u"stream:", settings);
    if (!document) throw EMalformedAnswer("no document");
    std::string message(kNoAnswer);
    const bool success = service.ClassifyAnswer(*document, message, &reason);
    answer = std::move(message);
    return success;
  } catch (const std::bad_alloc&) {
    // Not the answer's fault; the answer still counts as unreadable.
    answer = std::string(kNotXMLPrefix) + std::string(body.View());
    reason = kOutOfMemoryReason;
    return false;
  } catch (const std::exception& e) {
    answer = std::string(kNotXMLPrefix) + std::string(body.View());
    reason = std::string(kNotXMLReason) + e.what();
    return false;
  } catch (...) {
    answer = std::string(kNotXMLPrefix) + std::string(body.View());
    reason = std::string(kNotXMLReason) + "unreadable";
    return false;
  }
}

constexpr std::string_view kRetryAfterHeader = "retry-after:";
constexpr std::string_view kLocationHeader = "location:";

// What a reason says of a redirect status, before its Location; empty for
// the other statuses.
std::string_view MovedReason(int32_t status) {
  switch (status) {
    case 301:
    case 308: return kMovedPermanentlyReason;
    case 302:
    case 303:
    case 307: return kMovedTemporarilyReason;
    default: return {};
  }
}

// location, cut to kMaxLocationInReason bytes with kCutMarker after it when
// longer; a cut never splits a UTF-8 sequence.
std::string BoundedLocation(std::string_view location) {
  if (location.size() <= kMaxLocationInReason) return std::string(location);
  std::size_t end = kMaxLocationInReason;
  while (end > 0 && (static_cast<unsigned char>(location[end]) & 0xC0) == 0x80) --end;
  return std::string(location.substr(0, end)) + std::string(kCutMarker);
}

}  // namespace

std::string_view HeaderValue(const http::THTTPSend& http, std::string_view name) {
  for (const std::string& line : http.Headers()) {
    if (!runtime::StartsWithNoCase(line, name)) continue;
    std::string_view value = std::string_view(line).substr(name.size());
    const std::size_t first = value.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const std::size_t last = value.find_last_not_of(" \t");
    return value.substr(first, last - first + 1);
  }
  return {};
}

const std::shared_ptr<const TCallSettings>& DefaultCallSettings() {
  static const auto defaults = std::make_shared<const TCallSettings>();
  return defaults;
}

TCallOutcome OutcomeOfStatus(int32_t status, bool success, bool hasRetryAfter) {
  if (success) return TCallOutcome::Accepted;
  switch (status) {
    case 429: return TCallOutcome::RateLimited;
    case 503: return hasRetryAfter ? TCallOutcome::RateLimited : TCallOutcome::ServerError;
    case 500:
    case 502:
    case 504: return TCallOutcome::ServerError;
    default: return TCallOutcome::Refused;
  }
}

void SetAnswerOutcome(const http::THTTPSend& http, bool success, TPingResult& result) {
  result.RetryAfter = RetryAfter(http);
  result.Outcome = OutcomeOfStatus(http.ResultCode(), success, !result.RetryAfter.empty());
}

void FailExchange(const http::THTTPSend& http, TPingResult& result) {
  result.Success = false;
  result.Code = 0;
  result.Answer = kNoAnswer;
  result.Reason = http.Error().Describe();
  result.Outcome = TCallOutcome::TransportFailure;
  result.Failure = http.Error().Reason;
}

std::string RetryAfter(const http::THTTPSend& http) { return std::string(HeaderValue(http, kRetryAfterHeader)); }

// A script that reads the reason knows when to come back, and a user where
// the service went.
std::string StatusReason(const http::THTTPSend& http) {
  const std::string_view moved = MovedReason(http.ResultCode());
  if (!moved.empty()) {
    const std::string_view location = HeaderValue(http, kLocationHeader);
    if (!location.empty()) return std::string(moved) + BoundedLocation(location);
  }
  std::string reason = http.ResultString();
  const std::string retryAfter = RetryAfter(http);
  if (!retryAfter.empty()) {
    if (!reason.empty()) reason += ", ";
    reason += "Retry-After: " + retryAfter;
  }
  return reason;
}

void PrepareClient(http::THTTPSend& http, const std::string& url, const TCallSettings& settings) {
  // The front-end's choices: the proxy for this service and whom to trust.
  if (settings.Proxies) settings.Proxies->Apply(http, url);
  http::ApplySecureSettings(settings.Secure, http.Sock().SecureLayer());
  http.Sock().SecureLayer().Sessions = settings.Sessions;
  const std::chrono::milliseconds readTimeout = settings.ReadTimeout;
  if (readTimeout != std::chrono::milliseconds(http::kDefaultHTTPTimeout)) {
    http.SetTimeout(static_cast<int32_t>(readTimeout.count()));
    http.SetMaxExchangeTime(static_cast<int32_t>(ExchangeBound(readTimeout).count()));
    http.SetConnectTimeout(static_cast<int32_t>(std::min<int64_t>(readTimeout.count(), http::kDefaultConnectTimeout)));
  }
}

std::chrono::milliseconds ExchangeBound(std::chrono::milliseconds readTimeout) {
  const auto defaultTimeout = std::chrono::milliseconds(http::kDefaultHTTPTimeout);
  const auto defaultBound = std::chrono::milliseconds(http::kDefaultMaxExchangeTime);
  return readTimeout * defaultBound.count() / defaultTimeout.count();
}

void DescribeCurrentException(std::string& reason) noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      reason = kOutOfMemoryReason;
    } catch (const std::exception& e) {
      const std::string_view what = e.what();
      reason = what.empty() ? kUnknownFailureReason : what;
    } catch (...) {
      reason = kUnknownFailureReason;
    }
  } catch (...) {
    // Copying the text needed memory there was none of. The short text
    // fits the string's own storage, so this assignment allocates nothing.
    reason = kOutOfMemoryReason;
  }
}

void FailOnCurrentException(TPingResult& result) noexcept {
  result.Success = false;
  result.Code = 0;
  result.Outcome = TCallOutcome::Refused;
  result.Failure = http::TExchangeFailure::None;
  result.Answer = kNoAnswer;  // one byte: no allocation
  DescribeCurrentException(result.Reason);
}

bool TPingService::Post(const std::string& url, TPingResult& result) {
  // Failed until the answer says otherwise: every way out before that is
  // a failure with a reason.
  result.Success = false;
  result.Code = 0;
  try {
    result.Answer = kNoAnswer;
    result.Reason = kCallNotMadeReason;
    if (!Request) return false;
    http::THTTPSend http;
    PrepareClient(http, url, *Settings);
    http.SetMimeType(std::string(kPingContentType));
    xml::WriteDocumentToStream(*Request, http.Document());

    if (!http.ExecuteRequest(kPingMethod, url)) {
      FailExchange(http, result);
      return false;
    }
    result.Code = http.ResultCode();
    if (result.Code != kOKStatus) {
      result.Reason = StatusReason(http);
      SetAnswerOutcome(http, false, result);
      return false;
    }
    std::string answer;
    std::string reason;
    const bool success = ClassifyBody(*this, http.Document(), answer, reason);
    result.Answer = std::move(answer);
    result.Reason = std::move(reason);
    result.Success = success;
    SetAnswerOutcome(http, success, result);
    return success;
  } catch (...) {
    // Only a failure to write the request or to find memory gets here; the
    // call then counts as one that never took place.
    FailOnCurrentException(result);
    return false;
  }
}

bool TPingService::Call(const std::string& url, TPingResult& result) {
  switch (KindOf(url)) {
    case TServiceKind::IndexNow:
      return PageURLs.empty() ? SubmitIndexNow(url, SiteURL, *Settings, result)
                              : SubmitIndexNowBatch(url, SiteURL, PageURLs, *Settings, result);
    case TServiceKind::WebSub: return PublishWebSub(url, SiteURL, *Settings, result);
    case TServiceKind::XMLRPC: break;
  }
  return Post(url, result);
}

}  // namespace corvandel::engine
