#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "http/http_send.h"
#include "http_exchange.h"

namespace corvandel::http {
namespace {

using testing::ReadRequestStep;
using testing::RunExchange;
using testing::SendStep;
using testing::TScript;

// How the server leaves after its answer.
enum class TEnd { Close, Silence, Reset };

struct ResponseCase {
  std::string name;
  std::string response;  // the bytes the server sends
  TEnd end;
  bool result;
  int32_t code;
  std::string reason;
  std::string document;
  std::vector<std::string> headers = {};  // compared when not empty
  std::string method = "GET";
  std::string mimeType = kDefaultMimeType;
};

const ResponseCase kResponseCases[] = {
    {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", TEnd::Silence, true, 200, "OK", "hello",
     {"HTTP/1.1 200 OK", "Content-Length: 5", ""}},
    {"length ignores what follows", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA", TEnd::Close, true, 200,
     "OK", "ok"},
    {"length without a blank is no length", "HTTP/1.0 200 OK\r\nContent-Length:5\r\n\r\nhello world", TEnd::Close,
     true, 200, "OK", "hello world"},
    {"until close", "HTTP/1.0 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n<a>\r\n</a>", TEnd::Close, true,
     200, "OK", "<a>\r\n</a>", {}, "GET", "text/xml; charset=utf-8"},
    {"until close needs the close", "HTTP/1.0 200 OK\r\n\r\npartial", TEnd::Silence, false, 200, "OK", "partial"},
    {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", TEnd::Silence, true,
     200, "OK", "hello"},
    {"chunk sizes are hexadecimal and may carry extensions",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na\r\n0123456789\r\n5;ext=1\r\nhello\r\n"
     "3 ; x\r\nabc\r\n0\r\nTrailer: t\r\n\r\n",
     TEnd::Silence, true, 200, "OK", "0123456789helloabc"},
    {"chunked wins over a length before it",
     "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: Chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n",
     TEnd::Silence, true, 200, "OK", "ab"},
    {"chunked wins over a length after it",
     "HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, chunked\r\ncontent-length: 99\r\n\r\n2\r\nab\r\n0\r\n\r\n",
     TEnd::Silence, true, 200, "OK", "ab"},
    {"chunk cut short", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n9\r\nabc", TEnd::Close,
     false, 200, "OK", "ab"},
    {"no status line", "hello\r\nworld, and more", TEnd::Close, true, 0, "", "hello\r\nworld, and more", {}},
    {"no status line and no line end", "hello", TEnd::Close, false, 500, "", ""},
    {"not found", "HTTP/1.0 404\r\nContent-Length: 9\r\n\r\nnot here!", TEnd::Close, true, 404, "", "not here!"},
    {"redirect is not followed",
     "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/elsewhere\r\nContent-Length: 0\r\n\r\n", TEnd::Silence, true,
     302, "Found", "", {"HTTP/1.1 302 Found", "Location: http://127.0.0.1:1/elsewhere", "Content-Length: 0", ""}},
    {"no content", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", TEnd::Silence, true, 204, "No Content",
     ""},
    {"not modified", "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n", TEnd::Silence, true, 304,
     "Not Modified", ""},
    {"HEAD reads no body", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", TEnd::Silence, true, 200, "OK", "", {},
     "HEAD"},
    {"head in lower case is another method", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", TEnd::Silence, true,
     200, "OK", "hi", {}, "head"},
    {"interim continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
     TEnd::Silence, true, 200, "OK", "ok", {"HTTP/1.1 100 Continue", "HTTP/1.1 200 OK", "Content-Length: 2", ""}},
    {"empty lines before the status line", "\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx", TEnd::Silence,
     true, 200, "OK", "x"},
    {"folded header lines",
     "HTTP/1.0 200 Fine  \r\nX-A: one\r\n\ttwo\r\n three\r\nX-B: \"q\"\r\n\"r\"\r\n:c\r\n=d\r\nContent-Length: 0\r\n\r\n",
     TEnd::Silence, true, 200, "Fine", "",
     {"HTTP/1.0 200 Fine  ", "X-A: one two three", "X-B: \"q\" \"r\" :c =d", "Content-Length: 0", ""}},
    {"bare line ends", "HTTP/1.0 201 Created\nContent-Length: 3\r\rabc", TEnd::Silence, true, 201, "Created", "abc"},
    {"reset before any answer", "", TEnd::Reset, false, 500, "", ""},
    {"reset inside a body by length", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhel", TEnd::Reset, false, 200,
     "OK", ""},
    {"silence instead of an answer", "", TEnd::Silence, false, 500, "", ""},
    {"silence inside the headers", "HTTP/1.0 200 OK\r\nContent-Len", TEnd::Silence, false, 200, "OK", ""},
    {"silence inside a body by length", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhel", TEnd::Silence, false,
     200, "OK", ""},
    {"close inside a body by length", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhel", TEnd::Close, false, 200,
     "OK", ""},
};

TScript ScriptFor(const ResponseCase& c) {
  TScript script{ReadRequestStep()};
  if (!c.response.empty()) script.push_back(SendStep(c.response));
  if (c.end == TEnd::Silence) script.push_back(testing::AwaitClientCloseStep());
  if (c.end == TEnd::Reset) script.push_back(testing::ResetStep());
  return script;
}

// Every case in one packet, then again in packets of 1 to 5 bytes handed
// over one at a time, so that no line end or length depends on how the
// bytes happen to arrive.
TEST(HTTPResponseTest, FramingsInWholeAndSplitPackets) {
  for (const ResponseCase& c : kResponseCases) {
    for (std::size_t piece = 0; piece <= 5; ++piece) {
      // A reset may overtake the data before it; only whole packets are certain.
      if (c.end == TEnd::Reset && piece > 0) continue;
      THTTPSend http;
      http.SetTimeout(testing::kExpiringTimeout);
      const auto outcome = RunExchange(http, {ScriptFor(c)}, c.method, "http://127.0.0.1:{port}/", piece);
      const std::string label = c.name + ", pieces of " + std::to_string(piece);
      EXPECT_EQ(outcome.Result, c.result) << label;
      EXPECT_EQ(outcome.Code, c.code) << label;
      EXPECT_EQ(outcome.Reason, c.reason) << label;
      EXPECT_EQ(outcome.Document, c.document) << label;
      EXPECT_EQ(outcome.MimeType, c.mimeType) << label;
      if (!c.headers.empty()) {
        EXPECT_EQ(outcome.Headers, c.headers) << label;
      }
      if (!c.result) {
        EXPECT_NE(outcome.Error, 0) << label;
      }
      EXPECT_EQ(outcome.Received.size(), 1u) << label;
    }
  }
}

TEST(HTTPResponseTest, FailuresCarryTheSocketError) {
  struct Case {
    std::string response;
    TEnd end;
    int32_t error;
  };
  const Case cases[] = {
      {"", TEnd::Silence, WSAETIMEDOUT},
      {"HTTP/1.0 200 OK\r\n\r\nbody", TEnd::Silence, WSAETIMEDOUT},
      {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhel", TEnd::Close, WSAECONNRESET},
      {"", TEnd::Reset, WSAECONNRESET},
  };
  for (const Case& c : cases) {
    THTTPSend http;
    http.SetTimeout(testing::kExpiringTimeout);
    const auto outcome = RunExchange(http, {ScriptFor({"", c.response, c.end, false, 0, "", ""})}, "GET",
                                     "http://127.0.0.1:{port}/");
    EXPECT_FALSE(outcome.Result) << c.response;
    EXPECT_EQ(outcome.Error, c.error) << c.response;
  }
}

TEST(HTTPResponseTest, WholeBlocksOfAFailedBodyAreKept) {
  const std::string body(70000, 'z');
  THTTPSend http;
  http.SetTimeout(testing::kExpiringTimeout);
  const auto outcome = RunExchange(
      http,
      {{ReadRequestStep(), SendStep("HTTP/1.0 200 OK\r\nContent-Length: 70001\r\n\r\n" + body),
        testing::AwaitClientCloseStep()}},
      "GET", "http://127.0.0.1:{port}/");
  EXPECT_FALSE(outcome.Result);
  EXPECT_EQ(outcome.Document, body.substr(0, 65536));
  EXPECT_EQ(http.DownloadSize(), 70001);
}

TEST(HTTPResponseTest, KeptConnectionIsReusedOnlyWhenCleanAndAgreed) {
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  struct Case {
    std::string name;
    std::string protocol;
    std::string first;  // the first answer
    TEnd end;           // how the first connection goes on after it
    bool firstResult;
    std::size_t connections;
  };
  const Case cases[] = {
      {"HTTP/1.1 keeps the connection", "1.1", answer, TEnd::Silence, true, 1},
      {"HTTP/1.0 closes after every exchange", "1.0", answer, TEnd::Silence, true, 2},
      {"the server asks to close", "1.1", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok",
       TEnd::Silence, true, 2},
      {"the server closed meanwhile", "1.1", answer, TEnd::Close, true, 2},
      {"bytes left over from the last answer", "1.1", answer + "junk", TEnd::Silence, true, 2},
      {"the last exchange failed", "1.1", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nok", TEnd::Silence, false, 2},
  };
  for (const Case& c : cases) {
    TScript first{ReadRequestStep(), SendStep(c.first)};
    // A reused connection gets its second answer here.
    first.push_back(ReadRequestStep());
    first.push_back(SendStep(answer));
    if (c.end == TEnd::Close) first = {ReadRequestStep(), SendStep(c.first)};
    testing::TScriptServer server(AF_INET, {first, {ReadRequestStep(), SendStep(answer)}});
    THTTPSend http;
    http.SetProtocol(c.protocol);
    http.SetTimeout(testing::kExpiringTimeout);
    const std::string url = "http://127.0.0.1:" + server.PortText() + "/";
    EXPECT_EQ(http.ExecuteRequest("GET", url), c.firstResult) << c.name;
    if (c.end == TEnd::Close) {
      // Wait until the server's close has reached the client.
      EXPECT_TRUE(http.Sock().WaitReadable(testing::kAmpleTimeout)) << c.name;
    }
    http.ResetMessage();
    EXPECT_TRUE(http.ExecuteRequest("GET", url)) << c.name << ": error " << http.Sock().LastErrorCode();
    EXPECT_EQ(http.Document().ToString(), "ok") << c.name;
    http.Sock().Abort();
    server.Stop();
    EXPECT_EQ(server.Received().size(), c.connections) << c.name;
  }
}

TEST(HTTPResponseTest, NoConnectionLeavesStatus500AndTheSocketsReason) {
  uint16_t port = 0;
  // A port that was free a moment ago and has nobody listening now.
  const TSocket probe = testing::OpenLoopbackListener(AF_INET, port);
  ASSERT_GE(probe, 0);
  ::close(probe);
  struct Case {
    std::string url;
    int32_t error;
    std::string text;
  };
  const Case cases[] = {
      {"http://127.0.0.1:" + std::to_string(port) + "/", WSAECONNREFUSED, "Connection refused"},
      {"https://127.0.0.1:" + std::to_string(port) + "/", WSAECONNREFUSED, "Connection refused"},
  };
  for (const Case& c : cases) {
    THTTPSend http;
    http.Document().WriteText("body");
    EXPECT_FALSE(http.ExecuteRequest("POST", c.url));
    EXPECT_EQ(http.ResultCode(), 500);
    EXPECT_EQ(http.ResultString(), "");
    EXPECT_EQ(http.Sock().LastErrorCode(), c.error) << c.url;
    EXPECT_EQ(http.Sock().LastErrorText(), c.text) << c.url;
  }
}

TEST(HTTPResponseTest, SecureAddressesFailForWantOfASecureLayer) {
  testing::TScriptServer server(AF_INET, {{testing::AwaitClientCloseStep()}});
  THTTPSend http;
  EXPECT_FALSE(http.ExecuteRequest("POST", "https://127.0.0.1:" + server.PortText() + "/"));
  EXPECT_EQ(http.ResultCode(), 500);
  EXPECT_EQ(http.Sock().LastErrorCode(), WSASYSNOTREADY);
  EXPECT_EQ(http.Sock().LastErrorText(), kSSLNotCompiledText);
}

}  // namespace
}  // namespace corvandel::http
