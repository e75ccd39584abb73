#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "http/exchange_error.h"
#include "http/proxy_config.h"
#include "http/secure_layer.h"
#include "xml/dom.h"

namespace corvandel::engine {

// What a service line asks for: an XML-RPC ping, or one of the
// announcements of announce_call.h.
enum class TServiceKind : uint8_t { XMLRPC, IndexNow, WebSub };

// What became of a call, for the decisions a front-end makes about it
// (retry, wait, go on). The texts of a result are for people and are never
// read for these decisions.
enum class TCallOutcome : uint8_t {
  Accepted,          // the service took the call
  Refused,           // an answer, or a local check, that calling again will not change
  RateLimited,       // 429, or 503 with a Retry-After
  ServerError,       // 500, 502, 503 or 504 without a Retry-After
  TransportFailure,  // no answer: see Failure
};

// The outcome of one ping call, handed from a worker to the window.
struct TPingResult {
  std::string ServiceURL;  // the service line as listed
  std::string SiteURL;     // the site as pinged, with its prefix
  uint16_t ThreadNum = 0;  // the worker that made the call, 1 to N
  bool Success = false;
  int32_t Code = 0;        // HTTP status; 0 when no exchange took place
  std::string Answer;      // the service's message, "?" or the not-XML text
  // Why the call failed, for diagnostics beside the log; "" on success. For
  // Code 0 the exchange's reason with the socket's code and text, for
  // another status its reason phrase and any Retry-After, for a fault its
  // faultCode and faultString.
  std::string Reason;
  // When the call began, and how long it took; set by the worker.
  std::chrono::system_clock::time_point Started;
  std::chrono::steady_clock::duration Elapsed{};
  TServiceKind Kind = TServiceKind::XMLRPC;  // set by the worker
  // How many page URLs the call carried: 1 for a site alone, more for a
  // site announced for its changed pages.
  std::size_t URLs = 1;

  // The typed outcome, set with the fields above.
  TCallOutcome Outcome = TCallOutcome::Refused;
  // Why the exchange failed, for TransportFailure; None otherwise.
  http::TExchangeFailure Failure = http::TExchangeFailure::None;
  // The answer's Retry-After header, as sent; "" without one.
  std::string RetryAfter;

  // What a front-end that retries and defers adds; a single call leaves
  // them as they are here.
  int Attempts = 1;            // calls made: 0 for a call deferred without one
  bool Deferred = false;       // not made, because its endpoint asked to wait
  bool Retryable = false;      // a later call may succeed where this one failed
  std::optional<std::chrono::system_clock::time_point> RetryAt;  // when the endpoint takes calls again
};

// The outcome of an answer with status (not 0) that the call judged success
// or not, with or without a Retry-After header.
TCallOutcome OutcomeOfStatus(int32_t status, bool success, bool hasRetryAfter);

// What a front-end chooses for the calls it makes: the proxies, the trust,
// the read time-out and the TLS sessions to resume. Each call carries them,
// so that two runs, or two lines of one run, may differ.
struct TCallSettings {
  // How long a call may wait for the service's next bytes.
  std::chrono::milliseconds ReadTimeout{90000};
  // Which proxy serves which service; null for none.
  std::shared_ptr<const http::TProxyConfig> Proxies;
  http::TSecureSettings Secure;
  // Where the calls keep TLS sessions to resume on later calls to the same
  // service (http::NewSessionStore, one per run); null for none.
  std::shared_ptr<http::TSessionStore> Sessions;
};
// No proxy, the system's trust, the default time-out.
const std::shared_ptr<const TCallSettings>& DefaultCallSettings();

// The bound on a whole exchange for a read time-out: five minutes for the
// default of 90 s, and the same multiple of a shorter or longer one.
std::chrono::milliseconds ExchangeBound(std::chrono::milliseconds readTimeout);

// Raised by ClassifyAnswer when an answer is not a usable XML-RPC response.
class EMalformedAnswer : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One worker's ping call: the weblogUpdates.ping request for a site, sent
// to one service after another.
class TPingService {
public:
  TPingService();
  ~TPingService();
  TPingService(const TPingService&) = delete;
  TPingService& operator=(const TPingService&) = delete;

  // Stores siteURL and replaces Request with a new request document whose
  // two parameters are both the site address.
  void BuildRequest(const std::string& siteURL);

  // Sorts a parsed answer into success (true) or error (false) from its
  // flerror and message members; a message member replaces answer. Raises
  // EMalformedAnswer when the document element is not methodResponse, when
  // a member lacks the children the rules need or an flerror value is not
  // an integer. A fault (a fault element under methodResponse) is an error
  // whose answer is its faultString. A message with "Thank" turns an
  // earlier non-zero flerror into a success, unless it also refuses (one of
  // kRefusalMarkers). reason, when given, receives why the answer is an
  // error ("" for a success). The work is linear in the answer's size,
  // however its members nest.
  bool ClassifyAnswer(xml::TXMLDocument& answerDocument, std::string& answer, std::string* reason = nullptr) const;

  // Sends Request to the service at url (a full address) and fills
  // result.Success, result.Code and result.Answer; returns result.Success.
  // Never raises: every failure ends in a result.
  bool Post(const std::string& url, TPingResult& result);

  // The call a service line asks for: Post for an XML-RPC service (url with
  // its scheme), the announcement for the other kinds (url is the line).
  bool Call(const std::string& url, TPingResult& result);

  std::unique_ptr<xml::TXMLDocument> Request;
  // The front-end's settings for every call of this pinger; never null.
  std::shared_ptr<const TCallSettings> Settings = DefaultCallSettings();
  std::string ServiceURL;
  std::string SiteURL;
  // The pages an IndexNow line takes in one bulk submission for the site;
  // empty for a call about the site alone.
  std::vector<std::string> PageURLs;
};

}  // namespace corvandel::engine
