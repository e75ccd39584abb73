// The reason a failed exchange gives, word for word: who failed (the
// service or the proxy), why, and the socket's code with the system's name
// for the error. The peers live in memory, with a clock of their own, except
// where only a real connection can show the fault.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "http/http_send.h"
#include "http/memory_socket.h"
#include "http_exchange.h"

namespace corvandel::http {
namespace {

using testing::RunInMemory;

constexpr const char* kService = "http://127.0.0.1:8080/RPC2";
constexpr const char* kSecureService = "https://service.example/RPC2";

void ThroughProxy(THTTPSend& http, const std::string& host) {
  http.SetProxyHost(host);
  http.SetProxyPort("3128");
}

std::string HeaderLines(std::size_t bytes) {
  std::string lines;
  while (lines.size() < bytes) lines += "X-Filler: 0123456789abcdef0123456789abcdef\r\n";
  return lines;
}

// A proxy that accepts CONNECT and then sends a header line every 20 s,
// each well within the tunnel's 30 s per line, for longer than the exchange may last.
std::vector<std::string> TricklingProxy() {
  std::vector<std::string> packets = {"HTTP/1.0 200 Connection established\r\n"};
  for (int i = 0; i < 20; ++i) {
    packets.push_back(PeerPause(20000));
    packets.push_back("X-Wait: " + std::to_string(i) + "\r\n");
  }
  return packets;
}

TEST(ExchangeReasonTest, EachFailureSaysWhoFailedAndWhy) {
  struct Case {
    std::string name;
    std::vector<TPeerScript> peers;
    std::string url;
    std::function<void(THTTPSend&)> setup;
    std::string reason;
  };
  const auto viaProxy = [](THTTPSend& http) { ThroughProxy(http, "127.0.0.1"); };
  const std::string established = "HTTP/1.0 200 Connection established\r\n";
  const std::vector<Case> cases = {
      {"service refuses", {}, kService, {}, "connect failed (10061 Connection refused, ECONNREFUSED)"},
      {"service closes in order", {{{}, TPeerEnd::Close}}, kService, {},
       "peer closed the connection (10054, end of stream)"},
      {"service resets", {{{}, TPeerEnd::Reset}}, kService, {},
       "connection reset by peer (10054 Connection reset by peer, ECONNRESET)"},
      {"service closes inside the body", {{{"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nabc"}, TPeerEnd::Close}},
       kService, {}, "peer closed the connection (10054, end of stream)"},
      {"service says nothing", {{{}, TPeerEnd::Silence}}, kService, {}, "read timed out (10060 Connection timed out)"},
      {"http proxy refuses", {}, kService, viaProxy,
       "proxy 127.0.0.1:3128: connect failed (10061 Connection refused, ECONNREFUSED)"},
      {"IPv6 proxy refuses", {}, kService, [](THTTPSend& http) { ThroughProxy(http, "::1"); },
       "proxy [::1]:3128: connect failed (10061 Connection refused, ECONNREFUSED)"},
      {"the service behind the proxy closes", {{{}, TPeerEnd::Close}}, kService, viaProxy,
       "peer closed the connection (10054, end of stream)"},
      {"https proxy refuses", {}, kSecureService, viaProxy,
       "proxy 127.0.0.1:3128: connect failed (10061 Connection refused, ECONNREFUSED)"},
      {"tunnel refused", {{{"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n"}}},
       kSecureService, viaProxy, "proxy refused the tunnel: 407 Proxy Authentication Required"},
      {"tunnel refused without a reason phrase", {{{"HTTP/1.0 403\r\n\r\n"}}}, kSecureService, viaProxy,
       "proxy refused the tunnel: 403"},
      {"tunnel answer without a status line", {{{"hello\r\n\r\n"}}}, kSecureService, viaProxy,
       "proxy refused the tunnel: no status line in the answer"},
      {"proxy closes inside its answer", {{{established}, TPeerEnd::Close}}, kSecureService, viaProxy,
       "proxy 127.0.0.1:3128: peer closed the connection (10054, end of stream)"},
      {"proxy resets inside its answer", {{{established}, TPeerEnd::Reset}}, kSecureService, viaProxy,
       "proxy 127.0.0.1:3128: connection reset by peer (10054 Connection reset by peer, ECONNRESET)"},
      {"proxy goes silent", {{{established}, TPeerEnd::Silence}}, kSecureService, viaProxy,
       "proxy 127.0.0.1:3128: read timed out (10060 Connection timed out)"},
      {"endless header lines from the proxy", {{{established + HeaderLines(kDefaultMaxHeaderSize)}, TPeerEnd::Silence}},
       kSecureService, viaProxy, "proxy 127.0.0.1:3128: header block too large (10055 No Buffer space available)"},
      {"an endless line from the proxy",
       {{{established + "X-Long: " + std::string(3 * kDefaultMaxLineLength, 'x')}, TPeerEnd::Silence}}, kSecureService,
       viaProxy, "proxy 127.0.0.1:3128: line too long (10055 No Buffer space available)"},
      {"a line just past the limit from the proxy",
       {{{established + std::string(kDefaultMaxLineLength + 1, 'x') + "\r\n\r\n"}}}, kSecureService, viaProxy,
       "proxy 127.0.0.1:3128: line too long (10055 No Buffer space available)"},
      {"a proxy that trickles its answer", {{TricklingProxy(), TPeerEnd::Silence}}, kSecureService, viaProxy,
       "proxy 127.0.0.1:3128: exchange time exceeded (10060 Connection timed out)"},
  };
  for (const Case& c : cases) {
    const auto outcome = RunInMemory(c.peers, "POST", c.url, c.setup);
    EXPECT_FALSE(outcome.Result) << c.name;
    EXPECT_EQ(outcome.Failure.Describe(), c.reason) << c.name;
  }
}

TEST(ExchangeReasonTest, TheSocketKeepsItsOwnCodesAndTexts) {
  const auto viaProxy = [](THTTPSend& http) { ThroughProxy(http, "127.0.0.1"); };
  auto refused = RunInMemory({{{"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n"}}}, "GET", kSecureService, viaProxy);
  EXPECT_EQ(refused.Error, WSASYSNOTREADY);
  EXPECT_EQ(refused.Failure.Reason, TExchangeFailure::ProxyRefused);
  EXPECT_EQ(refused.Failure.Proxy, "127.0.0.1:3128");
  const auto closed = RunInMemory({{{}, TPeerEnd::Close}}, "GET", kService);
  EXPECT_EQ(closed.Failure.SocketCode, WSAECONNRESET);
  EXPECT_EQ(closed.Failure.SocketText, "Connection reset by peer");
  EXPECT_TRUE(closed.Failure.OrderlyClose);
  EXPECT_EQ(closed.Failure.Reason, TExchangeFailure::PeerClosed);
}

// Past the tunnel the call is the service's: a secure layer that fails is
// not the proxy's fault, and the CONNECT line names the service.
TEST(ExchangeReasonTest, AnOpenTunnelHandsTheCallToTheService) {
  THTTPSend http(std::make_unique<TMemoryBlockSocket>(
      std::vector<TPeerScript>{{{"HTTP/1.0 200 Connection established\r\n\r\n"}, TPeerEnd::Silence}}));
  ThroughProxy(http, "127.0.0.1");
  const auto& sock = static_cast<const TMemoryBlockSocket&>(http.Sock());
  EXPECT_FALSE(http.ExecuteRequest("POST", "https://service.example:443/RPC2"));
  EXPECT_EQ(http.Error().Reason, TExchangeFailure::SecureLayerFailed);
  EXPECT_TRUE(http.Error().Proxy.empty());
  EXPECT_EQ(http.Error().Describe().rfind("secure layer failed (10091 ", 0), 0u) << http.Error().Describe();
  ASSERT_EQ(sock.Written().size(), 1u);
  EXPECT_EQ(sock.Written()[0], "CONNECT service.example:443 HTTP/1.0\r\n\r\n");
}

// Only a real connection tells an orderly close from a reset by the system.
TEST(ExchangeReasonTest, RealPeersThatCloseOrReset) {
  using namespace testing;
  struct Case {
    TScript script;
    std::string reason;
  };
  const Case cases[] = {
      {{ReadRequestStep()}, "peer closed the connection (10054, end of stream)"},
      {{ReadRequestStep(), ResetStep()}, "connection reset by peer (10054 Connection reset by peer, ECONNRESET)"},
  };
  for (const Case& c : cases) {
    const auto outcome = RunExchange(
        [](THTTPSend& http, const std::string&) { http.SetTimeout(kAmpleTimeout); }, {c.script}, "GET",
        "http://127.0.0.1:{port}/");
    EXPECT_FALSE(outcome.Result);
    EXPECT_EQ(outcome.Failure.Describe(), c.reason);
  }
}

}  // namespace
}  // namespace corvandel::http
