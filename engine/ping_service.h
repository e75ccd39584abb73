#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "xml/dom.h"

namespace corvandel::engine {

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
  // another status its reason phrase.
  std::string Reason;
};

// What one classification cost: the nodes its walks visited and the code
// units it copied. Both stay within a small multiple of the answer's size,
// however its members nest.
struct TClassifyCost {
  uint64_t NodesVisited = 0;
  uint64_t UnitsCopied = 0;
};

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
  // EMalformedAnswer when a member lacks the children the rules need or an
  // flerror value is not an integer.
  // cost, when given, receives the work done.
  bool ClassifyAnswer(xml::TXMLDocument& answerDocument, std::string& answer) const;
  bool ClassifyAnswer(xml::TXMLDocument& answerDocument, std::string& answer, TClassifyCost* cost) const;

  // Sends Request to the service at url (a full address) and fills
  // result.Success, result.Code and result.Answer; returns result.Success.
  // Never raises: every failure ends in a result.
  bool Post(const std::string& url, TPingResult& result);

  std::unique_ptr<xml::TXMLDocument> Request;
  std::string ServiceURL;
  std::string SiteURL;
};

}  // namespace corvandel::engine
