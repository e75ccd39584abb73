// Feeds arbitrary bytes to the HTTP client as a server's response, then
// classifies a 200 answer the way a ping call does.
//
// Input: one byte of options, then the response. The peer lives in memory
// (no ports, no clocks): it sends the response in packets whose size the
// options choose, then closes, resets or falls silent, and a silent peer
// ends every wait at once as a time-out.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/ping_service.h"
#include "http/http_send.h"
#include "http/memory_socket.h"
#include "xml/reader.h"

namespace {

using corvandel::engine::TPingService;
using corvandel::http::THTTPSend;
using corvandel::http::TMemoryBlockSocket;
using corvandel::http::TPeerEnd;
using corvandel::http::TPeerScript;

enum TOption : uint8_t {
  kHTTP10 = 1 << 0,        // closes after the exchange
  kHeadMethod = 1 << 1,    // reads no body
  kExpectContinue = 1 << 2,
  kTightLimits = 1 << 3,   // reaches every limit with short inputs
  kBigRequest = 1 << 4,    // a request body past the single-send limit
  kSmallPackets = 1 << 5,  // packets of 1 to 4 bytes instead of one
  kPacketSizeShift = 6,    // two bits: the packet size less one
};

// The end of the response: every third input each.
TPeerEnd EndFor(std::size_t size) {
  switch (size % 3) {
    case 0: return TPeerEnd::Close;
    case 1: return TPeerEnd::Reset;
    default: return TPeerEnd::Silence;
  }
}

void ClassifyLikeAPingCall(THTTPSend& http) {
  static const TPingService service;
  std::string answer = "?";
  try {
    std::unique_ptr<corvandel::xml::TXMLDocument> document;
    http.Document().SetPosition(0);
    corvandel::xml::ReadDocumentFromStream(document, http.Document(), u"stream:",
                                           corvandel::xml::TXMLReaderSettings{});
    if (document) service.ClassifyAnswer(*document, answer);
  } catch (...) {
    answer = "answer is not XML: " + http.Document().ToString();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t options = data[0];
  const std::string response(reinterpret_cast<const char*>(data + 1), size - 1);

  TPeerScript script;
  script.End = EndFor(response.size());
  if (options & kSmallPackets) {
    const std::size_t piece = static_cast<std::size_t>(options >> kPacketSizeShift) + 1;
    for (std::size_t at = 0; at < response.size(); at += piece) script.Packets.push_back(response.substr(at, piece));
  } else {
    script.Packets.push_back(response);
  }
  // A second connection for a client that gives up on the first; it finds
  // the same answer again.
  THTTPSend http(std::make_unique<TMemoryBlockSocket>(std::vector<TPeerScript>{script, script}));
  http.SetMimeType("text/xml");
  http.SetProtocol(options & kHTTP10 ? "1.0" : "1.1");
  http.SetStatus100((options & kExpectContinue) != 0);
  if (options & kTightLimits) {
    http.SetMaxLineLength(64);
    http.SetMaxHeaderSize(256);
    http.SetMaxBodySize(1024);
  }
  http.Document().WriteText(std::string(options & kBigRequest ? 70000 : 230, 'r'));
  http.ExecuteRequest(options & kHeadMethod ? "HEAD" : "post", "http://127.0.0.1:8080/RPC2");
  if (http.ResultCode() == 200) ClassifyLikeAPingCall(http);
  // A kept connection is reused by a second exchange, which must cope with
  // whatever the first left behind.
  http.ResetMessage();
  http.Document().WriteText("again");
  http.ExecuteRequest("post", "http://127.0.0.1:8080/RPC2");
  return 0;
}
