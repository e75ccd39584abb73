// Feeds arbitrary bytes to the HTTP client as a server's response, then
// classifies a 200 answer the way a ping call does.
//
// Input: one byte of options, then the response. The response is written
// by a loopback peer on the fuzzing thread itself, right after the client
// has connected and before it sends its request, and the peer then closes
// its side; so every read ends at the input's end and nothing waits on a
// timeout.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/ping_service.h"
#include "http/http_send.h"
#include "xml/reader.h"

namespace {

using corvandel::engine::TPingService;
using corvandel::http::TBlockSocket;
using corvandel::http::THTTPSend;

enum TOption : uint8_t {
  // Both bits: HTTP/1.0, which closes gracefully after the exchange. Kept
  // rare, since the graceful close pauses for a millisecond.
  kHTTP10 = 1 << 0 | 1 << 5,
  kHeadMethod = 1 << 1,   // reads no body
  kExpectContinue = 1 << 2,
  kTightLimits = 1 << 3,  // reaches every limit with short inputs
  kBigRequest = 1 << 4,   // a request body past the single-send limit
};

// Far beyond any wait the input can cause: the peer has always closed.
constexpr int32_t kFuzzTimeout = 2000;

class TLoopbackListener {
public:
  TLoopbackListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      __builtin_trap();
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/RPC2";
  }
  ~TLoopbackListener() { ::close(fd_); }

  int Accept() const { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }
  const std::string& URL() const { return url_; }

private:
  int fd_ = -1;
  std::string url_;
};

// Writes the whole response without blocking: the client reads it only
// after this returns, on the same thread.
void Answer(int peer, const uint8_t* data, std::size_t size) {
  const int buffer = 1 << 20;
  ::setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  while (size > 0) {
    const ssize_t sent = ::send(peer, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent <= 0) break;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  ::shutdown(peer, SHUT_WR);
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
  static const TLoopbackListener listener;
  if (size < 1) return 0;
  const uint8_t options = data[0];
  ++data;
  --size;

  int peer = -1;
  {
    THTTPSend http;
    http.SetTimeout(kFuzzTimeout);
    http.SetMimeType("text/xml");
    http.SetProtocol((options & kHTTP10) == kHTTP10 ? "1.0" : "1.1");
    http.SetStatus100((options & kExpectContinue) != 0);
    if (options & kTightLimits) {
      http.SetMaxLineLength(64);
      http.SetMaxHeaderSize(256);
      http.SetMaxBodySize(1024);
    }
    http.Document().WriteText(std::string(options & kBigRequest ? 70000 : 230, 'r'));
    http.Sock().SetOnAfterConnect([&](TBlockSocket& client) {
      // Closing with a reset leaves no connection waiting out its time, so
      // millions of runs do not use up the loopback ports.
      client.SetLinger(true, 0);
      peer = listener.Accept();
      if (peer >= 0) Answer(peer, data, size);
    });
    http.ExecuteRequest(options & kHeadMethod ? "HEAD" : "post", listener.URL());
    if (http.ResultCode() == 200) ClassifyLikeAPingCall(http);
    // Skips the graceful close's pause: nothing is left to say.
    http.Sock().Abort();
  }
  if (peer >= 0) ::close(peer);
  return 0;
}
