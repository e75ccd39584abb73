#include "engine/announce_call.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/call_setup.h"
#include "engine/ping_texts.h"
#include "engine/ping_thread.h"
#include "http/http_send.h"
#include "http/text_utils.h"
#include "runtime/ascii_case.h"

namespace corvandel::engine {

namespace {

constexpr std::string_view kFormType = "application/x-www-form-urlencoded";
constexpr std::string_view kJSONType = "application/json; charset=utf-8";
constexpr std::string_view kKeyParameter = "key";
constexpr std::string_view kKeyLocationParameter = "keyLocation";
constexpr std::string_view kMalformedLine = "malformed service line: ";
// A reason quotes this much of a key; a longer one is cut, with kCutMarker.
constexpr std::size_t kMaxKeyInReason = 64;
// A body longer than this is not read as JSON: an endpoint's words are a
// line, and a page of JSON gives its first line like any other text.
constexpr std::size_t kMaxJSONBody = 64 * 1024;
// The members of an endpoint's JSON answer that say why, in order of choice.
constexpr std::string_view kMessageField = "message";
constexpr std::string_view kErrorCodeField = "errorCode";

using runtime::StartsWithNoCase;

bool IsWebURL(std::string_view url) { return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://"); }

// The first line of text, blanks and controls trimmed, cut to
// kMaxAnswerText bytes at the start of a UTF-8 character.
std::string FirstLine(std::string_view text) {
  const std::size_t end = text.find_first_of("\r\n");
  std::string line = http::Trim(text.substr(0, end));
  if (line.size() > kMaxAnswerText) {
    std::size_t cut = kMaxAnswerText;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
  }
  return line;
}

bool IsKeyCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool IsIndexNowKey(std::string_view key) {
  if (key.size() < kMinIndexNowKey || key.size() > kMaxIndexNowKey) return false;
  for (const char c : key)
    if (!IsKeyCharacter(c)) return false;
  return true;
}

// key in double quotes for a reason: printable ASCII as it is, '"' and '\\'
// escaped, every other byte as \xNN, cut past kMaxKeyInReason.
std::string QuotedKey(std::string_view key) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string quoted = "\"";
  for (const char c : key.substr(0, kMaxKeyInReason)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      quoted += c;
    } else {
      quoted += "\\x";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 0xF];
    }
  }
  if (key.size() > kMaxKeyInReason) quoted += kCutMarker;
  return quoted + "\"";
}

// The port of a URL as it compares: empty for the scheme's default (or
// none), otherwise without leading zeros.
std::string ComparedPort(std::string_view scheme, std::string_view port) {
  const std::size_t digits = port.find_first_not_of('0');
  const std::string_view value = digits == std::string_view::npos ? std::string_view() : port.substr(digits);
  const std::string lowered = runtime::LowerCase(scheme);
  if (value.empty() || (lowered == "http" && value == "80") || (lowered == "https" && value == "443")) return {};
  return std::string(value);
}

// path with its "." and ".." segments resolved, so that a ".." cannot
// climb out of a folder that the text of the path seems to be under.
std::string ResolvedPath(std::string_view path) {
  std::vector<std::string_view> segments;
  std::string_view rest = path.substr(path.empty() || path.front() != '/' ? 0 : 1);
  bool folder = false;
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    const bool last = slash == std::string_view::npos;
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
      folder = true;
    } else if (segment == ".") {
      folder = true;
    } else {
      segments.push_back(segment);
      folder = false;
    }
    if (last) break;
    rest = rest.substr(slash + 1);
  }
  std::string resolved;
  for (const std::string_view segment : segments) resolved.append("/").append(segment);
  if (folder || resolved.empty()) resolved += '/';
  return resolved;
}

// The parts of a URL that InKeyScope compares.
struct TScopeParts {
  std::string Scheme;  // lower case
  std::string Host;    // lower case
  std::string Port;    // as ComparedPort gives it
  std::string Path;    // resolved, without a fragment
};

TScopeParts ScopeParts(std::string_view url) {
  const http::TURLParts parts = http::SplitURL(url);
  std::string_view path = parts.Path;
  path = path.substr(0, path.find('#'));
  return {runtime::LowerCase(parts.Protocol), runtime::LowerCase(parts.Host), ComparedPort(parts.Protocol, parts.Port),
          ResolvedPath(path)};
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The keyLocation's folder as a URL, for a reason.
std::string KeyFolderURL(std::string_view keyLocation) {
  const TScopeParts parts = ScopeParts(keyLocation);
  std::string url = parts.Scheme + "://" + http::BracketedHost(parts.Host);
  if (!parts.Port.empty()) url += ":" + parts.Port;
  return url + FolderOf(parts.Path);
}

// The answer of an IndexNow call: the documented meaning, and after a
// refusal the endpoint's own words.
std::string IndexNowCallAnswer(const http::THTTPSend& http, bool success) {
  std::string answer = IndexNowAnswer(http.ResultCode(), RetryAfter(http));
  if (success) return answer;
  const std::string words = EndpointWords(http.Document().View());
  if (words.empty()) return answer;
  return answer.empty() ? words : answer + ": " + words;
}

void Fail(TPingResult& result, std::string reason) {
  result.Success = false;
  result.Code = 0;
  result.Outcome = TCallOutcome::Refused;
  result.Failure = http::TExchangeFailure::None;
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
  SetAnswerOutcome(http, success, result);
  return success;
}

// One exchange with the engine's client settings; false after filling the
// result when no answer came.
bool Exchange(http::THTTPSend& http, const char* method, const std::string& url, const TCallSettings& settings,
              TPingResult& result) {
  PrepareClient(http, url, settings);
  if (!http.ExecuteRequest(method, url)) {
    FailExchange(http, result);
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

std::string EndpointOf(const std::string& serviceLine) {
  std::string error;
  switch (KindOf(serviceLine)) {
    case TServiceKind::IndexNow: {
      TIndexNowService service;
      return ParseIndexNowLine(serviceLine, service, error) ? service.Endpoint : serviceLine;
    }
    case TServiceKind::WebSub: {
      std::string hub;
      return ParseWebSubLine(serviceLine, hub, error) ? hub : serviceLine;
    }
    case TServiceKind::XMLRPC: break;
  }
  return WithScheme(serviceLine);
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
  if (!IsIndexNowKey(service.Key)) {
    error = "indexnow key " + QuotedKey(service.Key) + " must be " + std::to_string(kMinIndexNowKey) + " to " +
            std::to_string(kMaxIndexNowKey) + " characters of a-z, A-Z, 0-9 and -";
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

std::string WebSubRequestBody(std::string_view site) {
  const std::string encoded = PercentEncode(site);
  return "hub.mode=publish&hub.url=" + encoded + "&hub.topic=" + encoded;
}

bool InKeyScope(std::string_view keyLocation, std::string_view url) {
  const TScopeParts key = ScopeParts(keyLocation);
  const TScopeParts candidate = ScopeParts(url);
  return key.Scheme == candidate.Scheme && key.Host == candidate.Host && key.Port == candidate.Port &&
         candidate.Path.starts_with(FolderOf(key.Path));
}

std::string IndexNowAnswer(int32_t status, std::string_view retryAfter) {
  switch (status) {
    case 200: return "URL submitted";
    case 202: return "URL received, key validation pending";
    case 400: return "bad request";
    case 403: return "key not valid (not found, or the file does not hold it)";
    case 405: return "method not allowed";
    case 422: return "the URL does not belong to the host, or the key does not match the protocol";
    case 429: {
      std::string answer = "too many requests";
      if (!retryAfter.empty()) answer += ", retry after " + std::string(retryAfter);
      return answer;
    }
    default: return {};
  }
}

std::string EndpointWords(std::string_view body) {
  const std::size_t first = body.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && body[first] == '{' && body.size() <= kMaxJSONBody) {
    const nlohmann::json json = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (json.is_object()) {
      for (const std::string_view name : {kMessageField, kErrorCodeField}) {
        const auto found = json.find(name);
        if (found == json.end()) continue;
        std::string words;
        if (found->is_string()) words = FirstLine(found->get_ref<const std::string&>());
        else if (found->is_number()) words = found->dump();
        if (!words.empty()) return words;
      }
    }
  }
  return FirstLine(body);
}

std::string KeyFileURL(const TIndexNowService& service, std::string_view site) {
  if (!service.KeyLocation.empty()) return service.KeyLocation;
  const http::TURLParts parts = http::SplitURL(site);
  std::string url = parts.Protocol + "://" + http::BracketedHost(parts.Host);
  const std::string port = ComparedPort(parts.Protocol, parts.Port);
  if (!port.empty()) url += ":" + port;
  return url + "/" + PercentEncode(service.Key) + ".txt";
}

bool KeyFileHolds(std::string_view text, std::string_view key) {
  // A UTF-8 byte-order mark, which editors like to add, is not part of the key.
  constexpr std::string_view kBOM = "\xEF\xBB\xBF";
  if (text.substr(0, kBOM.size()) == kBOM) text.remove_prefix(kBOM.size());
  const std::size_t end = text.find_first_of("\r\n");
  return http::TrimBlanks(text.substr(0, end)) == key;
}

namespace {

// The line of a submission of urls, or false after failing the result when
// the line cannot be called or a URL lies outside its keyLocation's scope.
bool PrepareSubmission(const std::string& serviceLine, std::span<const std::string> urls, TIndexNowService& service,
                       TPingResult& result) {
  std::string error;
  if (!ParseIndexNowLine(serviceLine, service, error)) {
    Fail(result, std::string(kMalformedLine) + error);
    return false;
  }
  if (service.KeyLocation.empty()) return true;
  for (const std::string& url : urls)
    if (!InKeyScope(service.KeyLocation, url)) {
      Fail(result, "not submitted: " + url + " is not under the keyLocation's folder " +
                       KeyFolderURL(service.KeyLocation) +
                       " (a key file vouches only for URLs on its host, under its folder)");
      return false;
    }
  return true;
}

// Sends the submission prepared in http and settles the result from the answer.
bool Submit(http::THTTPSend& http, const char* method, const std::string& url, const TCallSettings& settings,
            TPingResult& result) {
  if (!Exchange(http, method, url, settings, result)) return false;
  const bool success = result.Code == 200 || result.Code == 202;
  return Settle(http, success, IndexNowCallAnswer(http, success), result);
}

}  // namespace

bool SubmitIndexNow(const std::string& serviceLine, const std::string& site, const TCallSettings& settings,
                    TPingResult& result) {
  result.Kind = TServiceKind::IndexNow;
  try {
    Fail(result, std::string(kCallNotMadeReason));
    TIndexNowService service;
    if (!PrepareSubmission(serviceLine, std::span(&site, 1), service, result)) return false;
    http::THTTPSend http;
    return Submit(http, "GET", IndexNowRequestURL(service, site), settings, result);
  } catch (...) {
    FailOnCurrentException(result);
    return false;
  }
}

std::string IndexNowBatchBody(const TIndexNowService& service, std::string_view host,
                              const std::vector<std::string>& urls) {
  nlohmann::ordered_json body;
  body["host"] = host;
  body["key"] = service.Key;
  if (!service.KeyLocation.empty()) body["keyLocation"] = service.KeyLocation;
  body["urlList"] = urls;
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool SubmitIndexNowBatch(const std::string& serviceLine, const std::string& site, const std::vector<std::string>& urls,
                         const TCallSettings& settings, TPingResult& result) {
  result.Kind = TServiceKind::IndexNow;
  try {
    Fail(result, std::string(kCallNotMadeReason));
    TIndexNowService service;
    if (urls.size() > kMaxIndexNowBatch) {
      Fail(result, "not submitted: " + std::to_string(urls.size()) + " URLs are more than one submission takes (" +
                       std::to_string(kMaxIndexNowBatch) + ")");
      return false;
    }
    if (!PrepareSubmission(serviceLine, urls, service, result)) return false;
    http::THTTPSend http;
    http.SetMimeType(std::string(kJSONType));
    http::AppendTextToStream(http.Document(), IndexNowBatchBody(service, http::SplitURL(site).Host, urls));
    return Submit(http, "POST", service.Endpoint, settings, result);
  } catch (...) {
    FailOnCurrentException(result);
    return false;
  }
}

bool PublishWebSub(const std::string& serviceLine, const std::string& site, const TCallSettings& settings,
                   TPingResult& result) {
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
    if (!Exchange(http, "POST", hub, settings, result)) return false;
    return Settle(http, result.Code >= 200 && result.Code < 300, {}, result);
  } catch (...) {
    FailOnCurrentException(result);
    return false;
  }
}

}  // namespace corvandel::engine
