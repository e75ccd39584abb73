#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "xml/dom.h"

namespace corvandel::engine {

// What a service line asks for: an XML-RPC ping, or one of the
// announcements of announce_call.h.
enum class TServiceKind : uint8_t { XMLRPC, IndexNow, WebSub };

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
};

// What every ping call of the process uses beside the proxies and the
// trust: a front-end sets it once, before its first call.
struct TCallSettings {
  // How long a call may wait for the service's next bytes.
  std::chrono::milliseconds ReadTimeout{90000};
};
TCallSettings CallSettings();
void SetCallSettings(const TCallSettings& settings);

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
  std::string ServiceURL;
  std::string SiteURL;
  // The pages an IndexNow line takes in one bulk submission for the site;
  // empty for a call about the site alone.
  std::vector<std::string> PageURLs;
};

}  // namespace corvandel::engine
