#include "engine/announce_call.h"

#include <string>
#include <string_view>

#include "engine/call_setup.h"
#include "engine/ping_texts.h"
#include "http/http_send.h"
#include "http/text_utils.h"
#include "runtime/ascii_case.h"

namespace corvandel::engine {

namespace {

constexpr std::string_view kFormType = "application/x-www-form-urlencoded";
constexpr std::string_view kKeyParameter = "key";
constexpr std::string_view kKeyLocationParameter = "keyLocation";
constexpr std::string_view kMalformedLine = "malformed service line: ";
// An answer text from a service stands on one line of the log and is cut
// here; the log is not the place for whole pages.
constexpr std::size_t kMaxAnswerText = 200;

using runtime::StartsWithNoCase;

bool IsWebURL(std::string_view url) { return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://"); }

// The first line of text, blanks trimmed, cut to kMaxAnswerText bytes.
std::string FirstLine(std::string_view text) {
  const std::size_t end = text.find_first_of("\r\n");
  std::string line = http::TrimBlanks(text.substr(0, end));
  if (line.size() > kMaxAnswerText) line.resize(kMaxAnswerText);
  return line;
}

void Fail(TPingResult& result, std::string reason) {
  result.Success = false;
  result.Code = 0;
  result.Answer = kNoAnswer;
  result.Reason = std::move(reason);
}

// The result of an answered call: answer, or the body's first line, or
// "?"; the status's reason when it failed.
bool Settle(const http::THTTPSend& http, bool success, std::string answer, TPingResult& result) {
  if (answer.empty()) answer = FirstLine(http.Document().View());
  result.Success = success;
  result.Answer = answer.empty() ? std::string(kNoAnswer) : std::move(answer);
  result.Reason = success ? std::string() : StatusReason(http);
  return success;
}

// One exchange with the engine's client settings; false after filling the
// result when no answer came.
bool Exchange(http::THTTPSend& http, const char* method, const std::string& url, TPingResult& result) {
  PrepareClient(http, url);
  if (!http.ExecuteRequest(method, url)) {
    Fail(result, http.Error().Describe());
    return false;
  }
  result.Code = http.ResultCode();
  return true;
}

}  // namespace

TServiceKind KindOf(std::string_view serviceLine) {
  if (StartsWithNoCase(serviceLine, kIndexNowPrefix)) return TServiceKind::IndexNow;
  if (StartsWithNoCase(serviceLine, kWebSubPrefix)) return TServiceKind::WebSub;
  return TServiceKind::XMLRPC;
}

std::string_view KindName(TServiceKind kind) {
  switch (kind) {
    case TServiceKind::IndexNow: return "indexnow";
    case TServiceKind::WebSub: return "websub";
    case TServiceKind::XMLRPC: break;
  }
  return "xmlrpc";
}

bool ParseIndexNowLine(std::string_view line, TIndexNowService& service, std::string& error) {
  service = {};
  if (!StartsWithNoCase(line, kIndexNowPrefix)) {
    error = "not an indexnow line";
    return false;
  }
  const std::string_view url = line.substr(kIndexNowPrefix.size());
  const std::size_t query = url.find('?');
  service.Endpoint = std::string(url.substr(0, query));
  if (!IsWebURL(service.Endpoint) || service.Endpoint.find_first_of(" \t#") != std::string::npos) {
    error = "indexnow needs an http:// or https:// endpoint";
    return false;
  }
  std::string_view rest = query == std::string_view::npos ? std::string_view() : url.substr(query + 1);
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    const std::string_view name = pair.substr(0, equals);
    std::string value;
    if (equals == std::string_view::npos || !http::PercentDecode(pair.substr(equals + 1), value)) {
      error = "indexnow parameter \"" + std::string(pair) + "\" is not name=value";
      return false;
    }
    if (name == kKeyParameter) {
      service.Key = std::move(value);
    } else if (name == kKeyLocationParameter) {
      service.KeyLocation = std::move(value);
    } else {
      error = "indexnow line has an unknown parameter \"" + std::string(name) + "\"";
      return false;
    }
  }
  if (service.Key.empty()) {
    error = "indexnow line has no key";
    return false;
  }
  if (!service.KeyLocation.empty() && !IsWebURL(service.KeyLocation)) {
    error = "indexnow keyLocation is not an http:// or https:// URL";
    return false;
  }
  return true;
}

bool ParseWebSubLine(std::string_view line, std::string& hub, std::string& error) {
  if (!StartsWithNoCase(line, kWebSubPrefix)) {
    error = "not a websub line";
    return false;
  }
  hub = std::string(line.substr(kWebSubPrefix.size()));
  if (!IsWebURL(hub) || hub.find_first_of(" \t") != std::string::npos) {
    error = "websub needs an http:// or https:// hub";
    return false;
  }
  return true;
}

std::string PercentEncode(std::string_view text) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~';
    if (unreserved) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    }
  }
  return encoded;
}

std::string IndexNowRequestURL(const TIndexNowService& service, std::string_view site) {
  std::string url = service.Endpoint + "?url=" + PercentEncode(site) + "&" + std::string(kKeyParameter) + "=" +
                    PercentEncode(service.Key);
  if (!service.KeyLocation.empty())
    url += "&" + std::string(kKeyLocationParameter) + "=" + PercentEncode(service.KeyLocation);
  return url;
}

std::string WebSubRequestBody(std::string_view site) { return "hub.mode=publish&hub.url=" + PercentEncode(site); }

std::string IndexNowAnswer(int32_t status, std::string_view retryAfter) {
  switch (status) {
    case 200: return "URL submitted";
    case 202: return "URL received, key validation pending";
    case 400: return "bad request";
    case 403: return "key not valid (not found, or the file does not hold it)";
    case 422: return "the URL does not belong to the host, or the key does not match the protocol";
    case 429: {
      std::string answer = "too many requests";
      if (!retryAfter.empty()) answer += ", retry after " + std::string(retryAfter);
      return answer;
    }
    default: return {};
  }
}

std::string KeyFileURL(const TIndexNowService& service, std::string_view site) {
  if (!service.KeyLocation.empty()) return service.KeyLocation;
  const http::TURLParts parts = http::SplitURL(site);
  return "https://" + http::BracketedHost(parts.Host) + "/" + PercentEncode(service.Key) + ".txt";
}

bool KeyFileHolds(std::string_view text, std::string_view key) {
  // A UTF-8 byte-order mark, which editors like to add, is not part of the key.
  constexpr std::string_view kBOM = "\xEF\xBB\xBF";
  if (text.substr(0, kBOM.size()) == kBOM) text.remove_prefix(kBOM.size());
  const std::size_t end = text.find_first_of("\r\n");
  return http::TrimBlanks(text.substr(0, end)) == key;
}

bool SubmitIndexNow(const std::string& serviceLine, const std::string& site, TPingResult& result) {
  result.Kind = TServiceKind::IndexNow;
  try {
    Fail(result, std::string(kCallNotMadeReason));
    TIndexNowService service;
    std::string error;
    if (!ParseIndexNowLine(serviceLine, service, error)) {
      Fail(result, std::string(kMalformedLine) + error);
      return false;
    }
    http::THTTPSend http;
    if (!Exchange(http, "GET", IndexNowRequestURL(service, site), result)) return false;
    return Settle(http, result.Code == 200 || result.Code == 202, IndexNowAnswer(result.Code, RetryAfter(http)),
                  result);
  } catch (...) {
    FailOnCurrentException(result);
    return false;
  }
}

bool PublishWebSub(const std::string& serviceLine, const std::string& site, TPingResult& result) {
  result.Kind = TServiceKind::WebSub;
  try {
    Fail(result, std::string(kCallNotMadeReason));
    std::string hub;
    std::string error;
    if (!ParseWebSubLine(serviceLine, hub, error)) {
      Fail(result, std::string(kMalformedLine) + error);
      return false;
    }
    http::THTTPSend http;
    http.SetMimeType(std::string(kFormType));
    http::AppendTextToStream(http.Document(), WebSubRequestBody(site));
    if (!Exchange(http, "POST", hub, result)) return false;
    return Settle(http, result.Code >= 200 && result.Code < 300, {}, result);
  } catch (...) {
    FailOnCurrentException(result);
    return false;
  }
}

bool CheckIndexNowKey(const std::string& serviceLine, const std::string& site, std::string& reason) {
  try {
    TIndexNowService service;
    std::string error;
    if (!ParseIndexNowLine(serviceLine, service, error)) {
      reason = std::string(kMalformedLine) + error;
      return false;
    }
    const std::string url = KeyFileURL(service, site);
    http::THTTPSend http;
    TPingResult fetched;
    if (!Exchange(http, "GET", url, fetched)) {
      reason = "key file " + url + ": " + fetched.Reason;
      return false;
    }
    if (fetched.Code != 200) {
      reason = "key file " + url + ": status " + std::to_string(fetched.Code) + " " + StatusReason(http);
      return false;
    }
    if (!KeyFileHolds(http.Document().View(), service.Key)) {
      reason = "key file " + url + " does not hold the key";
      return false;
    }
    reason.clear();
    return true;
  } catch (...) {
    DescribeCurrentException(reason);
    return false;
  }
}

}  // namespace corvandel::engine
