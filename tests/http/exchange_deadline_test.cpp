// One deadline bounds the whole exchange, a stop ends any wait, and every
// failure says why. No case here measures time: each peer is one that
// only the deadline, the stop or the failure itself can end.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "http/http_send.h"
#include "http/memory_socket.h"
#include "http_exchange.h"

namespace corvandel::http {
namespace {

// Short, since only the deadline can end these exchanges.
constexpr int32_t kShortExchange = 300;

// A loopback listener that never accepts: the system still completes the
// first connections and buffers what they send, until its queues are full.
class TIdleListener {
public:
  explicit TIdleListener(int backlog) { fd_ = corvandel::testing::OpenLoopbackListener(AF_INET, port_, backlog); }
  ~TIdleListener() {
    for (const int fd : fillers_) ::close(fd);
    ::close(fd_);
  }
  // Connects a few times without being accepted, so that the queue is full.
  void Fill() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    for (int i = 0; i < 4; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
      fillers_.push_back(fd);
    }
  }
  std::string URL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/RPC2"; }
  bool Listening() const { return port_ != 0; }

private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

TEST(ExchangeDeadlineTest, PeerThatNeverReadsAHugeRequest) {
  TIdleListener listener(16);
  ASSERT_TRUE(listener.Listening());
  THTTPSend http;
  http.SetTimeout(testing::kAmpleTimeout);
  http.SetMaxExchangeTime(kShortExchange);
  http.Document().WriteText(std::string(20 * 1024 * 1024, 'x'));
  EXPECT_FALSE(http.ExecuteRequest("POST", listener.URL()));
  EXPECT_EQ(http.ResultCode(), 500);
  EXPECT_EQ(http.Error().Reason, TExchangeFailure::ExchangeTimeExceeded) << http.Error().Describe();
  EXPECT_EQ(http.Error().SocketCode, WSAETIMEDOUT);
  EXPECT_FALSE(http.Sock().IsOpen());
}

TEST(ExchangeDeadlineTest, PeerThatNeverAccepts) {
  TIdleListener listener(0);
  ASSERT_TRUE(listener.Listening());
  listener.Fill();
  THTTPSend http;
  http.SetTimeout(testing::kAmpleTimeout);
  http.SetConnectTimeout(testing::kAmpleTimeout);
  http.SetMaxExchangeTime(kShortExchange);
  http.Document().WriteText("<methodCall/>");
  EXPECT_FALSE(http.ExecuteRequest("POST", listener.URL()));
  EXPECT_EQ(http.Error().Reason, TExchangeFailure::ExchangeTimeExceeded) << http.Error().Describe();
}

TEST(ExchangeDeadlineTest, StopEndsTheWaitForTheAnswer) {
  uint16_t port = 0;
  const TSocket listener = testing::OpenLoopbackListener(AF_INET, port);
  ASSERT_GE(listener, 0);
  THTTPSend http;
  http.SetTimeout(testing::kAmpleTimeout);
  // The peer reads the whole request, then asks the client to stop while
  // it waits for an answer that never comes.
  std::thread peer([&http, listener] {
    const int connection = ::accept(listener, nullptr, nullptr);
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    http.Sock().SetStopFlag(true);
    char byte;
    ::recv(connection, &byte, 1, 0);  // until the client goes
    ::close(connection);
  });
  EXPECT_FALSE(http.ExecuteRequest("GET", "http://127.0.0.1:" + std::to_string(port) + "/"));
  EXPECT_EQ(http.Error().Reason, TExchangeFailure::Stopped);
  EXPECT_EQ(http.Error().SocketCode, WSAECONNABORTED);
  peer.join();
  ::close(listener);
}

TEST(ExchangeDeadlineTest, ConnectFailuresCarryTheirReason) {
  EXPECT_EQ(ExchangeFailureText(TExchangeFailure::None), "");
  THTTPSend http;
  EXPECT_FALSE(http.ExecuteRequest("GET", "http://service.invalid/RPC2"));
  EXPECT_EQ(http.Error().Reason, TExchangeFailure::NameNotResolved);
  EXPECT_EQ(http.Error().SocketCode, WSAHOST_NOT_FOUND);
  EXPECT_EQ(http.Error().Describe(), "name not resolved (11001 Host not found, EAI_NONAME)");

  // A proxy that refuses the tunnel.
  testing::TScriptServer proxy(AF_INET, {{testing::ReadUntilStep("\r\n\r\n"),
                                          testing::SendStep("HTTP/1.0 403 Forbidden\r\n\r\n")}});
  ASSERT_TRUE(proxy.Listening());
  http.SetProxyHost(proxy.Host());
  http.SetProxyPort(proxy.PortText());
  EXPECT_FALSE(http.ExecuteRequest("GET", "https://service.example/RPC2"));
  EXPECT_EQ(http.Error().Reason, TExchangeFailure::ProxyRefused) << http.Error().Describe();
  EXPECT_EQ(http.Error().SocketCode, WSASYSNOTREADY);
  EXPECT_EQ(http.Error().Describe(), "proxy refused the tunnel: 403 Forbidden");
  proxy.Stop();
  EXPECT_EQ(proxy.Received().front(), "CONNECT service.example:443 HTTP/1.0\r\n\r\n");
}

TEST(ExchangeDeadlineTest, PeerInMemoryThatNeverReadsFailsTheSend) {
  TPeerScript script{{"HTTP/1.0 200 OK\r\n\r\n"}, TPeerEnd::Close};
  script.Reads = false;
  THTTPSend http(std::make_unique<TMemoryBlockSocket>(std::vector<TPeerScript>{script}));
  http.Document().WriteText(std::string(100000, 'x'));
  EXPECT_FALSE(http.ExecuteRequest("POST", "http://127.0.0.1/"));
  EXPECT_EQ(http.Error().Reason, TExchangeFailure::SendFailed);
  EXPECT_EQ(http.Error().Describe(), "send failed or timed out (10060 Connection timed out)");
}

}  // namespace
}  // namespace corvandel::http
