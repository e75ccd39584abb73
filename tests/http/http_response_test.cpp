#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "http/http_send.h"
#include "http/memory_socket.h"
#include "http_exchange.h"

namespace corvandel::http {
namespace {

using testing::RunInMemory;

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

TPeerEnd PeerEndOf(TEnd end) {
  switch (end) {
    case TEnd::Close: return TPeerEnd::Close;
    case TEnd::Reset: return TPeerEnd::Reset;
    case TEnd::Silence: return TPeerEnd::Silence;
  }
  return TPeerEnd::Close;
}

constexpr const char* kURL = "http://127.0.0.1:8080/";

// Every case whole, cut in two at every byte and in pieces of 1 to 5 bytes,
// so that no line end or length depends on how the bytes happen to arrive.
TEST(HTTPResponseTest, FramingsAtEverySplit) {
  for (const ResponseCase& c : kResponseCases) {
    for (const auto& [way, packets] : testing::Splittings(c.response)) {
      const auto outcome = RunInMemory({{packets, PeerEndOf(c.end)}}, c.method, kURL);
      const std::string label = c.name + ", " + way;
      EXPECT_EQ(outcome.Result, c.result) << label;
      EXPECT_EQ(outcome.Code, c.code) << label;
      EXPECT_EQ(outcome.Reason, c.reason) << label;
      EXPECT_EQ(outcome.Document, c.document) << label;
      EXPECT_EQ(outcome.MimeType, c.mimeType) << label;
      if (!c.headers.empty()) {
        EXPECT_EQ(outcome.Headers, c.headers) << label;
      }
      EXPECT_EQ(static_cast<bool>(outcome.Failure), !c.result) << label;
      EXPECT_EQ(outcome.Received.size(), 1u) << label;
    }
  }
}

TEST(HTTPResponseTest, FailuresCarryTheirReasonAndTheSocketError) {
  struct Case {
    std::string response;
    TEnd end;
    TExchangeFailure reason;
    int32_t code;
  };
  const Case cases[] = {
      {"", TEnd::Silence, TExchangeFailure::ReadTimedOut, WSAETIMEDOUT},
      {"HTTP/1.0 200 OK\r\n\r\nbody", TEnd::Silence, TExchangeFailure::ReadTimedOut, WSAETIMEDOUT},
      {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhel", TEnd::Close, TExchangeFailure::PeerClosed,
       WSAECONNRESET},
      {"", TEnd::Reset, TExchangeFailure::ConnectionReset, WSAECONNRESET},
  };
  for (const Case& c : cases) {
    const auto outcome = RunInMemory({{{c.response}, PeerEndOf(c.end)}}, "GET", kURL);
    EXPECT_FALSE(outcome.Result) << c.response;
    EXPECT_EQ(outcome.Failure.Reason, c.reason) << c.response;
    EXPECT_EQ(outcome.Failure.SocketCode, c.code) << c.response;
    EXPECT_EQ(outcome.Failure.SocketText, TBlockSocket::GetErrorDesc(c.code)) << c.response;
  }
}

TEST(HTTPResponseTest, WholeBlocksOfAFailedBodyAreKept) {
  const std::string body(70000, 'z');
  THTTPSend http(std::make_unique<TMemoryBlockSocket>(std::vector<TPeerScript>{
      {{"HTTP/1.0 200 OK\r\nContent-Length: 70001\r\n\r\n" + body}, TPeerEnd::Silence}}));
  EXPECT_FALSE(http.ExecuteRequest("GET", kURL));
  EXPECT_EQ(http.Document().ToString(), body.substr(0, 65536));
  EXPECT_EQ(http.DownloadSize(), 70001);
}

TEST(HTTPResponseTest, KeptConnectionIsReusedOnlyWhenCleanAndAgreed) {
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  struct Case {
    std::string name;
    std::string protocol;
    std::string first;  // the first answer
    TPeerEnd end;       // how the first connection goes on after it
    bool firstResult;
    std::size_t connections;
  };
  const Case cases[] = {
      {"HTTP/1.1 keeps the connection", "1.1", answer, TPeerEnd::Silence, true, 1},
      {"HTTP/1.0 closes after every exchange", "1.0", answer, TPeerEnd::Silence, true, 2},
      {"the server asks to close", "1.1", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok",
       TPeerEnd::Silence, true, 2},
      {"the server closed meanwhile", "1.1", answer, TPeerEnd::Close, true, 2},
      {"bytes left over from the last answer", "1.1", answer + "junk", TPeerEnd::Silence, true, 2},
      {"the last exchange failed", "1.1", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nok", TPeerEnd::Silence,
       false, 2},
  };
  for (const Case& c : cases) {
    // Only a reused connection reaches its second answer.
    TPeerScript first{{c.first}, c.end};
    if (c.connections == 1) first.Packets = {c.first, std::string(kAfterNextRequest), answer};
    auto owned = std::make_unique<TMemoryBlockSocket>(std::vector<TPeerScript>{first, {{answer}, TPeerEnd::Silence}});
    const TMemoryBlockSocket& sock = *owned;
    THTTPSend http(std::move(owned));
    http.SetProtocol(c.protocol);
    EXPECT_EQ(http.ExecuteRequest("GET", kURL), c.firstResult) << c.name;
    http.ResetMessage();
    EXPECT_TRUE(http.ExecuteRequest("GET", kURL)) << c.name << ": " << http.Error().Describe();
    EXPECT_EQ(http.Document().ToString(), "ok") << c.name;
    EXPECT_EQ(sock.Connections(), c.connections) << c.name;
  }
}

// Timeout bounds each silence, not a whole line or body; the exchange's
// time keeps a trickling server finite. The peer's pauses pass on the
// memory socket's own clock.
TEST(HTTPResponseTest, ReadTimeoutRestartsWithEachPacket) {
  struct Case {
    std::string name;
    int32_t pause;  // before each byte of the status line and the body
    int32_t exchangeTime;
    TExchangeFailure failure;
  };
  const Case cases[] = {
      {"a byte every 1.5 s", 1500, kDefaultMaxExchangeTime, TExchangeFailure::None},
      {"silent for 3 s", 3000, kDefaultMaxExchangeTime, TExchangeFailure::ReadTimedOut},
      {"a byte every 1.5 s for longer than the exchange may last", 1500, 20000,
       TExchangeFailure::ExchangeTimeExceeded},
  };
  const std::string status = "HTTP/1.0 200 OK\r\n";
  const std::string rest = "Content-Length: 5\r\n\r\n";
  for (const Case& c : cases) {
    std::vector<std::string> packets;
    for (const char byte : status + rest + "hello") {
      packets.push_back(PeerPause(c.pause));
      packets.emplace_back(1, byte);
    }
    const auto outcome = testing::RunInMemory({{packets, TPeerEnd::Silence}}, "GET", kURL, [&c](THTTPSend& http) {
      http.SetTimeout(2000);
      http.SetMaxExchangeTime(c.exchangeTime);
    });
    EXPECT_EQ(outcome.Failure.Reason, c.failure) << c.name << ": " << outcome.Failure.Describe();
    if (c.failure == TExchangeFailure::None) {
      EXPECT_EQ(outcome.Document, "hello") << c.name;
    }
  }
}

// A final answer instead of "100 Continue" leaves the announced body
// unsent; a peer that reads it anyway would take the next request for it.
TEST(HTTPResponseTest, BodyHeldBackAfterAFinalAnswerClosesTheConnection) {
  const std::string refusal = "HTTP/1.1 417 Expectation Failed\r\nContent-Length: 0\r\n\r\n";
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  // The first peer goes silent after its refusal: a connection kept for the
  // next request would wait there in vain.
  auto owned = std::make_unique<TMemoryBlockSocket>(std::vector<TPeerScript>{
      {{refusal}, TPeerEnd::Silence}, {{"HTTP/1.1 100 Continue\r\n\r\n" + answer}, TPeerEnd::Silence}});
  const TMemoryBlockSocket& sock = *owned;
  THTTPSend http(std::move(owned));
  http.SetProtocol("1.1");
  http.SetStatus100(true);
  http.Document().WriteText("BODY");
  EXPECT_TRUE(http.ExecuteRequest("POST", kURL));
  EXPECT_EQ(http.ResultCode(), 417);
  http.ResetMessage();
  http.Document().WriteText("BODY");
  EXPECT_TRUE(http.ExecuteRequest("POST", kURL));
  EXPECT_EQ(http.ResultCode(), 200);
  ASSERT_EQ(sock.Connections(), 2u);
  EXPECT_EQ(sock.Written()[0].find("BODY"), std::string::npos);
  EXPECT_TRUE(sock.Written()[1].ends_with("\r\n\r\nBODY"));
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
    EXPECT_EQ(http.Error().Reason, TExchangeFailure::ConnectFailed) << c.url;
    EXPECT_EQ(http.Error().Describe(), "connect failed (10061 Connection refused, ECONNREFUSED)") << c.url;
  }
}

#ifndef CORVANDEL_HAVE_TLS
TEST(HTTPResponseTest, SecureAddressesFailForWantOfASecureLayer) {
  THTTPSend http(std::make_unique<TMemoryBlockSocket>(std::vector<TPeerScript>{{{}, TPeerEnd::Silence}}));
  EXPECT_FALSE(http.ExecuteRequest("POST", "https://127.0.0.1/"));
  EXPECT_EQ(http.ResultCode(), 500);
  EXPECT_EQ(http.Sock().LastErrorCode(), WSASYSNOTREADY);
  EXPECT_EQ(http.Sock().LastErrorText(), kSSLNotCompiledText);
  EXPECT_EQ(http.Error().Reason, TExchangeFailure::SecureLayerFailed);
  EXPECT_EQ(http.Error().SocketText, kSSLNotCompiledText);
}
#endif

}  // namespace
}  // namespace corvandel::http
