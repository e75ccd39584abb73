#include <exception>
#include <memory>
#include <string>

#include "engine/ping_service.h"
#include "engine/ping_texts.h"
#include "http/http_send.h"
#include "http/proxy_config.h"
#include "http/secure_layer.h"
#include "xml/reader.h"
#include "xml/writer.h"

namespace corvandel::engine {

namespace {

constexpr const char* kPingMethod = "post";
constexpr int32_t kOKStatus = 200;

// Classifies the body of a 200 answer. A body that does not parse, or that
// the classification finds malformed, is reported whole after the not-XML
// prefix, as the raw bytes it came in.
bool ClassifyBody(const TPingService& service, runtime::TMemoryStream& body, std::string& answer) {
  try {
    std::unique_ptr<xml::TXMLDocument> document;
    body.SetPosition(0);
    // The defaults leave external entities unresolved: an answer from the
    // network must not make the reader open this machine's files.
    const xml::TXMLReaderSettings settings;
    xml::ReadDocumentFromStream(document, body, u"stream:", settings);
    if (!document) throw EMalformedAnswer("no document");
    std::string message(kNoAnswer);
    const bool success = service.ClassifyAnswer(*document, message);
    answer = std::move(message);
    return success;
  } catch (...) {
    answer = std::string(kNotXMLPrefix) + std::string(body.View());
    return false;
  }
}

}  // namespace

bool TPingService::Post(const std::string& url, TPingResult& result) {
  result.Success = false;
  result.Code = 0;
  result.Answer = kNoAnswer;
  try {
    if (!Request) return false;
    http::THTTPSend http;
    // The front-end's choices, made once at its start: the proxy for this
    // service and whom to trust.
    http::ProcessProxyConfig()->Apply(http, url);
    http::ApplySecureSettings(http::SecureSettings(), http.Sock().SecureLayer());
    http.SetMimeType(std::string(kPingContentType));
    xml::WriteDocumentToStream(*Request, http.Document());

    if (!http.ExecuteRequest(kPingMethod, url)) {
      result.Reason = http.Error().Describe();
      return false;
    }
    result.Code = http.ResultCode();
    if (result.Code != kOKStatus) {
      result.Reason = http.ResultString();
      return false;
    }
    std::string answer;
    result.Success = ClassifyBody(*this, http.Document(), answer);
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

}  // namespace corvandel::engine
