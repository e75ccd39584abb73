#pragma once

// Announcements beside the XML-RPC ping, as further kinds of service line:
//
//   indexnow:<endpoint URL>?key=<key>[&keyLocation=<URL>]
//       GET <endpoint>?url=<site>&key=<key>[&keyLocation=<URL>]; 200 and 202
//       are success. A refusal's answer is its documented meaning followed
//       by the endpoint's own words. The key is 8 to 128 characters of
//       a-z, A-Z, 0-9 and -; with a keyLocation, only URLs on its host and
//       under its folder are submitted.
//   websub:<hub URL>
//       POST hub.mode=publish&hub.url=<site>&hub.topic=<site> as a form;
//       any 2xx is success.
//
// When one run has several pages of a host for an indexnow line, they go
// together instead, as the protocol's bulk submission:
//       POST <endpoint> with {"host","key","keyLocation","urlList"} as JSON,
//       keyLocation only when the line has one, at most kMaxIndexNowBatch URLs.
//
// Any other line is an XML-RPC service. The functions here are pure apart
// from SubmitIndexNow, SubmitIndexNowBatch and PublishWebSub, which make
// one HTTP exchange each with the same client, limits, proxies and trust as
// a ping.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ping_service.h"

namespace corvandel::engine {

inline constexpr std::string_view kIndexNowPrefix = "indexnow:";
inline constexpr std::string_view kWebSubPrefix = "websub:";

// The kind of a service line, by its prefix (ASCII case ignored).
TServiceKind KindOf(std::string_view serviceLine);
// The endpoint a line calls, as one that asks for a pause is known: an
// indexnow line's endpoint without its query, a websub line's hub, an
// XML-RPC service as called; a malformed line as it stands.
std::string EndpointOf(const std::string& serviceLine);
// "xmlrpc", "indexnow" or "websub".
std::string_view KindName(TServiceKind kind);

struct TIndexNowService {
  std::string Endpoint;     // the URL before its query
  std::string Key;          // decoded
  std::string KeyLocation;  // decoded; empty when the line names none
};

// The bounds of an IndexNow key, which the endpoints refuse outside them.
inline constexpr std::size_t kMinIndexNowKey = 8;
inline constexpr std::size_t kMaxIndexNowKey = 128;

// The parts of an indexnow line; false with the reason in error when the
// line is not one that can be called, among them a key that breaks the
// key rule.
bool ParseIndexNowLine(std::string_view line, TIndexNowService& service, std::string& error);
// The hub of a websub line; false with the reason in error.
bool ParseWebSubLine(std::string_view line, std::string& hub, std::string& error);

// text with every byte but the unreserved ones (A-Z a-z 0-9 - . _ ~) as %XX.
std::string PercentEncode(std::string_view text);

// The submission of one site, exactly as sent.
std::string IndexNowRequestURL(const TIndexNowService& service, std::string_view site);

// The most URLs one bulk submission carries, as the engines document it.
inline constexpr std::size_t kMaxIndexNowBatch = 10000;
// The JSON body of a bulk submission of urls, all of host.
std::string IndexNowBatchBody(const TIndexNowService& service, std::string_view host,
                              const std::vector<std::string>& urls);
// Both hub.url and hub.topic name the site: hubs read one or the other.
std::string WebSubRequestBody(std::string_view site);

// Whether url may be submitted under the key file at keyLocation: the same
// scheme, host (ASCII case ignored) and port (a default port equal to
// none), and a path under the keyLocation's folder, the path up to and
// including its last "/". Dot segments are resolved first, so that "/keys/../"
// is not under "/keys/". A call refuses a URL outside before any request.
bool InKeyScope(std::string_view keyLocation, std::string_view url);

// The answer text of an IndexNow status: the documented meaning of each
// refusal, with retryAfter for 429 when the endpoint sent one; empty for a
// status the protocol does not document.
std::string IndexNowAnswer(int32_t status, std::string_view retryAfter);

// What an answer's body says, for a log line: the "message" (else the
// "errorCode") of a JSON object, otherwise the body's first line; blanks
// trimmed, cut to kMaxAnswerText bytes without splitting a UTF-8 character.
// Empty when the body says nothing. An answer stands on one line of the
// log, which is not the place for whole pages.
inline constexpr std::size_t kMaxAnswerText = 200;
std::string EndpointWords(std::string_view body);

// Where the site's key file is: the keyLocation, or
// <scheme>://<host>[:<port>]/<key>.txt with the site's scheme, host and
// port (the port only when it is not the scheme's default).
std::string KeyFileURL(const TIndexNowService& service, std::string_view site);
// Whether a key file's text holds key: its first line, blanks trimmed.
bool KeyFileHolds(std::string_view text, std::string_view key);

// One call of each kind for site (as pinged, with its prefix). They fill
// result.Success, Code, Answer and Reason like TPingService::Post, and never
// raise. A line that cannot be called gives Code 0 and says why.
bool SubmitIndexNow(const std::string& serviceLine, const std::string& site, const TCallSettings& settings,
                    TPingResult& result);
// The bulk submission of urls, all on the host of site (its origin), in
// one request; every URL must be within the line's keyLocation scope, or
// none is sent.
bool SubmitIndexNowBatch(const std::string& serviceLine, const std::string& site, const std::vector<std::string>& urls,
                         const TCallSettings& settings, TPingResult& result);
bool PublishWebSub(const std::string& serviceLine, const std::string& site, const TCallSettings& settings,
                   TPingResult& result);

}  // namespace corvandel::engine
