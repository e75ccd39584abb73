#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/announce_call.h"
#include "engine/call_setup.h"
#include "engine/ping_service.h"
#include "engine/ping_texts.h"
#include "http/http_send.h"
#include "http/proxy_config.h"
#include "http/secure_layer.h"
#include "http/text_utils.h"
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

std::mutex settingsLock;
TCallSettings settings;

}  // namespace

TCallSettings CallSettings() {
  std::lock_guard<std::mutex> lock(settingsLock);
  return settings;
}

void SetCallSettings(const TCallSettings& value) {
  std::lock_guard<std::mutex> lock(settingsLock);
  settings = value;
}

std::string RetryAfter(const http::THTTPSend& http) {
  constexpr std::string_view kRetryAfter = "retry-after:";
  for (const std::string& line : http.Headers()) {
    if (!runtime::StartsWithNoCase(line, kRetryAfter)) continue;
    return http::TrimBlanks(std::string_view(line).substr(kRetryAfter.size()));
  }
  return {};
}

// A script that reads the reason knows when to come back.
std::string StatusReason(const http::THTTPSend& http) {
  std::string reason = http.ResultString();
  const std::string retryAfter = RetryAfter(http);
  if (!retryAfter.empty()) {
    if (!reason.empty()) reason += ", ";
    reason += "Retry-After: " + retryAfter;
  }
  return reason;
}

void PrepareClient(http::THTTPSend& http, const std::string& url) {
  // The front-end's choices, made once at its start: the proxy for this
  // service and whom to trust.
  http::ProcessProxyConfig()->Apply(http, url);
  http::ApplySecureSettings(http::SecureSettings(), http.Sock().SecureLayer());
  const std::chrono::milliseconds readTimeout = CallSettings().ReadTimeout;
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

bool TPingService::Post(const std::string& url, TPingResult& result) {
  result.Success = false;
  result.Code = 0;
  result.Answer = kNoAnswer;
  result.Reason.clear();
  try {
    if (!Request) return false;
    http::THTTPSend http;
    PrepareClient(http, url);
    http.SetMimeType(std::string(kPingContentType));
    xml::WriteDocumentToStream(*Request, http.Document());

    if (!http.ExecuteRequest(kPingMethod, url)) {
      result.Reason = http.Error().Describe();
      return false;
    }
    result.Code = http.ResultCode();
    if (result.Code != kOKStatus) {
      result.Reason = StatusReason(http);
      return false;
    }
    std::string answer;
    result.Success = ClassifyBody(*this, http.Document(), answer, result.Reason);
    result.Answer = std::move(answer);
    return result.Success;
  } catch (const std::exception&) {
    // Only a failure to build the request text or to find memory gets
    // here; the call then counts as one that never took place.
    result.Success = false;
    result.Code = 0;
    result.Answer = kNoAnswer;
    return false;
  }
}

bool TPingService::Call(const std::string& url, TPingResult& result) {
  switch (KindOf(url)) {
    case TServiceKind::IndexNow: return SubmitIndexNow(url, SiteURL, result);
    case TServiceKind::WebSub: return PublishWebSub(url, SiteURL, result);
    case TServiceKind::XMLRPC: break;
  }
  return Post(url, result);
}

}  // namespace corvandel::engine
