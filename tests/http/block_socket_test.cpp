#include "http/block_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "http/detail/socket_layer.h"
#include "script_server.h"

namespace corvandel::http {
namespace {

using testing::TLoopbackPeer;
using testing::TScriptServer;

constexpr int32_t kAmpleTimeout = 30000;

using TStatusLog = std::vector<std::pair<THookSocketReason, std::string>>;

void RecordStatus(TBlockSocket& sock, TStatusLog& log) {
  sock.SetOnStatus([&log](TBlockSocket&, THookSocketReason reason, const std::string& value) {
    log.emplace_back(reason, value);
  });
}

// A port on 127.0.0.1 that nothing listens on.
std::string ClosedPort() {
  uint16_t port = 0;
  const TSocket fd = testing::OpenLoopbackListener(AF_INET, port);
  ::close(fd);
  return std::to_string(port);
}

TEST(BindTest, AnyAddressOnAFreshObjectCreatesNothing) {
  TTCPBlockSocket sock;
  TStatusLog log;
  RecordStatus(sock, log);
  sock.BindTo("0.0.0.0", "0");
  EXPECT_EQ(sock.Handle(), INVALID_SOCKET);
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_FALSE(sock.IsBound());
  EXPECT_TRUE(log.empty());
}

TEST(BindTest, LoopbackBindCreatesAndReportsTheSocket) {
  TTCPBlockSocket sock;
  TStatusLog log;
  RecordStatus(sock, log);
  sock.BindTo("127.0.0.1", "0");
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_NE(sock.Handle(), INVALID_SOCKET);
  EXPECT_TRUE(sock.IsBound());
  EXPECT_EQ(sock.LocalAddressText(), "127.0.0.1");
  EXPECT_NE(sock.LocalPort(), 0);
  const TStatusLog expected = {{HR_ResolvingBegin, "127.0.0.1:0"},
                               {HR_ResolvingEnd, "127.0.0.1:0"},
                               {HR_SocketCreate, "IPv4"},
                               {HR_Bind, "127.0.0.1:0"}};
  EXPECT_EQ(log, expected);
}

TEST(ConnectTest, StatusSequenceOfAnExchange) {
  TTCPBlockSocket sock;
  TStatusLog log;
  RecordStatus(sock, log);
  TLoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(sock));
  const std::string where = "127.0.0.1:" + std::to_string(sock.RemotePort());
  sock.SendText("hi");
  peer.Send("yo");
  EXPECT_EQ(sock.ReceiveFixedText(2, kAmpleTimeout), "yo");
  sock.Close();
  // Whether the read had to wait for readability depends on timing.
  std::erase_if(log, [](const auto& entry) { return entry.first == HR_CanRead; });
  const TStatusLog expected = {{HR_ResolvingBegin, where}, {HR_ResolvingEnd, where},
                               {HR_SocketCreate, "IPv4"},  {HR_Connect, where},
                               {HR_WriteCount, "2"},       {HR_ReadCount, "2"},
                               {HR_SocketClose, ""}};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(sock.Handle(), INVALID_SOCKET);
}

TEST(ConnectTest, ErrorsCarryTheirCodeAndText) {
  struct Case {
    std::string host, port;
    int32_t code;
    std::string text;
  };
  const Case cases[] = {
      {"127.0.0.1", ClosedPort(), WSAECONNREFUSED, "Connection refused"},
      {"no-such-host.invalid", "80", WSAHOST_NOT_FOUND, "Host not found"},
  };
  for (const Case& c : cases) {
    TTCPBlockSocket sock;
    TStatusLog log;
    RecordStatus(sock, log);
    sock.ConnectTo(c.host, c.port);
    EXPECT_EQ(sock.LastErrorCode(), c.code) << c.host;
    EXPECT_EQ(sock.LastErrorText(), c.text) << c.host;
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), std::make_pair(HR_Connect, c.host + ":" + c.port));
    const auto error = std::make_pair(HR_Error, std::to_string(c.code) + "," + c.text);
    EXPECT_NE(std::find(log.begin(), log.end(), error), log.end()) << c.host;

    TTCPBlockSocket raising;
    raising.SetRaiseExcept(true);
    try {
      raising.ConnectTo(c.host, c.port);
      ADD_FAILURE() << "no exception for " << c.host;
    } catch (const ESocketError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_EQ(e.ErrorMessage(), c.text);
      EXPECT_EQ(std::string(e.what()), "TCP/IP Socket error " + std::to_string(c.code) + ": " + c.text);
    }
  }
}

TEST(ConnectTest, SameObjectConnectsAgainAfterClose) {
  TTCPBlockSocket sock;
  sock.SetFamily(SF_IP4);
  for (int round = 0; round < 2; ++round) {
    TLoopbackPeer peer;
    ASSERT_TRUE(peer.Connect(sock)) << round;
    peer.Send("r" + std::to_string(round));
    EXPECT_EQ(sock.ReceivePacket(kAmpleTimeout), "r" + std::to_string(round));
    sock.Close();
    EXPECT_EQ(sock.Family(), SF_IP4);
  }
}

TEST(ConnectTest, IPv6Loopback) {
  if (!TScriptServer::CanListen(AF_INET6)) GTEST_SKIP() << "::1 cannot be bound on this machine";
  TTCPBlockSocket sock;
  TStatusLog log;
  RecordStatus(sock, log);
  TLoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(sock, AF_INET6));
  EXPECT_TRUE(sock.UsesIPv6());
  EXPECT_EQ(sock.RemoteAddressText(), "::1");
  EXPECT_EQ(sock.LocalAddressText(), "::1");
  EXPECT_EQ(sock.RemoteAddress().Length(), 28u);
  EXPECT_NE(std::find(log.begin(), log.end(), std::make_pair(HR_SocketCreate, std::string("IPv6"))), log.end());
  peer.Send("six\r\n");
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "six");
}

TEST(ConnectTest, OpenSocketResolvesNamesInItsOwnFamily) {
  uint16_t port = 0;
  const TSocket listener = testing::OpenLoopbackListener(AF_INET, port);
  ASSERT_GE(listener, 0);
  TTCPBlockSocket sock;
  sock.SetPreferIP4(false);
  sock.BindTo("127.0.0.1", "0");
  ASSERT_EQ(sock.LastErrorCode(), 0);
  // Even where localhost also names ::1, the bound IPv4 socket asks for IPv4.
  sock.ConnectTo("localhost", std::to_string(port));
  EXPECT_EQ(sock.LastErrorCode(), 0) << sock.LastErrorText();
  EXPECT_EQ(sock.RemoteAddressText(), "127.0.0.1");
  sock.Abort();
  ::close(listener);
}

TEST(CloseTest, GracefulCloseDrainsUnreadInput) {
  TTCPBlockSocket sock;
  TLoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(sock));
  peer.Send(std::string(1000, 'u'));
  ASSERT_TRUE(sock.WaitReadable(kAmpleTimeout));
  sock.Close();
  bool reset = true;
  peer.ReadUntilClosed(reset);
  EXPECT_FALSE(reset) << "unread input must not turn the close into a reset";
  EXPECT_EQ(sock.LastErrorCode(), 0);
}

TEST(CloseTest, PeerThatNeverStopsSendingCannotHoldTheCloseUp) {
  TScriptServer server(AF_INET, {{testing::FloodStep(std::string(65536, 'f'))}});
  TTCPBlockSocket sock;
  sock.ConnectTo(server.Host(), server.PortText());
  ASSERT_EQ(sock.LastErrorCode(), 0);
  ASSERT_TRUE(sock.WaitReadable(kAmpleTimeout));
  sock.Close();
  EXPECT_EQ(sock.Handle(), INVALID_SOCKET);
  server.Stop();
}

TEST(CloseTest, AbortDiscardsQueuedOptions) {
  TTCPBlockSocket sock;
  sock.SetSizeRecvBuffer(65536);
  sock.SetSizeSendBuffer(65536);
  EXPECT_EQ(sock.PendingOptions().size(), 2u);
  sock.Abort();
  EXPECT_TRUE(sock.PendingOptions().empty());
}

TEST(OptionsTest, QueuedOptionsReachTheNewSocket) {
  TTCPBlockSocket sock;
  bool created = false;
  sock.SetOnCreateSocket([&created](TBlockSocket& s) {
    created = true;
    EXPECT_TRUE(static_cast<TTCPBlockSocket&>(s).PendingOptions().empty());
  });
  sock.SetSizeRecvBuffer(200000);
  sock.SetNonBlockMode(false);
  TLoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(sock));
  EXPECT_TRUE(created);
  int size = 0;
  socklen_t length = sizeof(size);
  ASSERT_EQ(getsockopt(sock.Handle(), SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
  EXPECT_GE(size, 200000);
  sock.SetSizeSendBuffer(100000);
  EXPECT_TRUE(sock.PendingOptions().empty()) << "applied at once on an open socket";
}

TEST(BandwidthTest, SendLimitWaitsAndAnnouncesIt) {
  TTCPBlockSocket sock;
  TLoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(sock));
  std::vector<std::string> waits;
  sock.SetOnStatus([&waits](TBlockSocket& s, THookSocketReason reason, const std::string& value) {
    if (reason != HR_Wait) return;
    waits.push_back(value);
    s.SetStopFlag(true);  // cuts the wait short
  });
  sock.SetMaxSendBandwidth(1);  // 10 bytes book the next 10 seconds
  sock.SendText("0123456789");
  sock.SendText("abc");
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_GT(std::stoi(waits[0]), 0);
  EXPECT_EQ(sock.LastErrorCode(), 0);
  sock.SendText("never");
  EXPECT_EQ(sock.LastErrorCode(), WSAECONNABORTED);
  sock.Close();
  bool reset = false;
  EXPECT_EQ(peer.ReadUntilClosed(reset), "0123456789abc");
}

std::unique_ptr<TCustomSSL> MakeNoneLayer(TTCPBlockSocket& owner) { return std::make_unique<TSSLNone>(owner); }

TEST(SecureLayerTest, NoneFailsWithItsOwnText) {
  const TSecureLayerFactory saved = DefaultSecureLayerClass();
  SetDefaultSecureLayerClass(&MakeNoneLayer);
  TTCPBlockSocket sock;
  SetDefaultSecureLayerClass(saved);
  EXPECT_EQ(sock.SecureLayer().LibVersion(), "Without SSL support");
  EXPECT_EQ(sock.SecureLayer().LibName(), "ssl_none");
  TLoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(sock));
  sock.ConnectSecure();
  EXPECT_EQ(sock.LastErrorCode(), WSASYSNOTREADY);
  EXPECT_EQ(sock.LastErrorText(), "SSL/TLS support is not compiled!");
  EXPECT_FALSE(sock.SecureLayer().SecureEnabled());
  EXPECT_EQ(sock.SecureLayer().LastError(), -1);
}

// Stands in for an encrypting layer: flips one bit of every byte.
class TFlipLayer : public TCustomSSL {
public:
  using TCustomSSL::TCustomSSL;
  bool SecureConnect() override {
    SetSecureEnabled(true);
    return true;
  }
  bool SecureShutdown() override {
    SetSecureEnabled(false);
    return true;
  }
  int32_t SecureSend(const void* buffer, int32_t length) override {
    std::string bytes(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
    for (char& c : bytes) c ^= 1;
    return static_cast<int32_t>(::send(Owner().Handle(), bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }
  int32_t SecureReceive(void* buffer, int32_t length) override {
    const auto n = static_cast<int32_t>(::recv(Owner().Handle(), buffer, static_cast<std::size_t>(length), 0));
    for (int32_t i = 0; i < n; ++i) static_cast<char*>(buffer)[i] ^= 1;
    return n;
  }
  int32_t SecurePending() override { return 0; }
};

TEST(SecureLayerTest, PluggedLayerCarriesTheTraffic) {
  const TSecureLayerFactory saved = DefaultSecureLayerClass();
  const std::string defaultName = TTCPBlockSocket().SecureLayer().LibName();
  SetDefaultSecureLayerClass([](TTCPBlockSocket& owner) -> std::unique_ptr<TCustomSSL> {
    return std::make_unique<TFlipLayer>(owner);
  });
  TTCPBlockSocket sock;
  SetDefaultSecureLayerClass(saved);
  TLoopbackPeer peer;
  ASSERT_TRUE(peer.Connect(sock));
  sock.ConnectSecure();
  ASSERT_EQ(sock.LastErrorCode(), 0);
  sock.SendText("abc");
  peer.Send("ihh");  // "hii" with the bit flipped
  EXPECT_EQ(sock.ReceiveFixedText(3, kAmpleTimeout), "hii");
  sock.Close();
  bool reset = false;
  EXPECT_EQ(peer.ReadUntilClosed(reset), "`cb");
  EXPECT_EQ(TTCPBlockSocket().SecureLayer().LibName(), defaultName);
}

struct TunnelCase {
  std::string name;
  std::string target, port;
  std::string user, pass;
  std::string reply;
  std::size_t piece;
  std::string expectedRequest;
  bool active;
};

TEST(TunnelTest, ConnectThroughAnHTTPProxy) {
  const TunnelCase cases[] = {
      {"plain", "example.invalid", "80", "", "", "HTTP/1.0 200 Connection established\r\n\r\n", 0,
       "CONNECT example.invalid:80 HTTP/1.0\r\n\r\n", true},
      {"credentials, split reply", "example.invalid", "443", "u", "p",
       "HTTP/1.1 200 OK\r\nProxy-Agent: test\r\n\r\n", 3,
       "CONNECT example.invalid:443 HTTP/1.0\r\nProxy-Authorization: Basic dTpw\r\n\r\n", true},
      {"IPv6 literal, LF endings", "::1", "8080", "", "", "HTTP/1.0 200 ok\n\n", 1,
       "CONNECT [::1]:8080 HTTP/1.0\r\n\r\n", true},
      {"refused", "example.invalid", "80", "", "", "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", 0,
       "CONNECT example.invalid:80 HTTP/1.0\r\n\r\n", false},
      {"not HTTP", "example.invalid", "80", "", "", "SSH-2.0\r\n\r\n", 0,
       "CONNECT example.invalid:80 HTTP/1.0\r\n\r\n", false},
  };
  for (const TunnelCase& c : cases) {
    testing::TScript script = {testing::ReadUntilStep("\r\n\r\n")};
    testing::AppendPieces(script, c.reply, c.piece == 0 ? c.reply.size() : c.piece);
    script.push_back(testing::EchoStep("\r\n"));
    TScriptServer proxy(AF_INET, {script}, true);
    ASSERT_TRUE(proxy.Listening());
    TTCPBlockSocket sock;
    sock.SetOnMonitor(proxy.PacingMonitor());
    sock.SetHTTPTunnelIP(proxy.Host());
    sock.SetHTTPTunnelPort(proxy.PortText());
    sock.SetHTTPTunnelUser(c.user);
    sock.SetHTTPTunnelPass(c.pass);
    bool afterConnect = false;
    sock.SetOnAfterConnect([&afterConnect](TBlockSocket&) { afterConnect = true; });
    sock.ConnectTo(c.target, c.port);
    EXPECT_EQ(sock.TunnelActive(), c.active) << c.name;
    EXPECT_EQ(afterConnect, c.active) << c.name;
    if (c.active) {
      EXPECT_EQ(sock.LastErrorCode(), 0) << c.name;
      EXPECT_EQ(sock.RemoteAddressText(), c.target) << c.name;
      EXPECT_EQ(std::to_string(sock.RemotePort()), c.port) << c.name;
      sock.SendText("through\r\n");
      EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "through") << c.name;
    } else {
      EXPECT_EQ(sock.LastErrorCode(), WSASYSNOTREADY) << c.name;
      EXPECT_EQ(sock.LastErrorText(), "Network subsystem is unusable") << c.name;
    }
    sock.Abort();
    proxy.Stop();
    ASSERT_FALSE(proxy.Received().empty()) << c.name;
    EXPECT_EQ(proxy.Received()[0].substr(0, c.expectedRequest.size()), c.expectedRequest) << c.name;
  }
}

// Several threads, each with its own socket, resolving and talking at once.
TEST(ThreadsTest, SocketsOnSeveralThreadsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3;
  TScriptServer server(AF_INET, {{testing::EchoStep("\r\n")}});
  ASSERT_TRUE(server.Listening());
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const std::vector<std::string> names = ResolveNameList("localhost", AF_INET, SOCK_STREAM, IPPROTO_TCP);
        TSocketAddress address;
        const int32_t missing = FillAddress(address, "no-such-host.invalid", "80", AF_UNSPEC, SOCK_STREAM,
                                            IPPROTO_TCP, true);
        TTCPBlockSocket sock;
        sock.SetConvertLineEnd(true);
        sock.ConnectTo("localhost", server.PortText());
        const std::string line = "thread " + std::to_string(t) + " round " + std::to_string(round);
        sock.SendText(line + "\r\n");
        const std::string echoed = sock.ReceiveLine(kAmpleTimeout);
        if (names.empty() || missing != WSAHOST_NOT_FOUND || echoed != line || sock.LastErrorCode() != 0)
          failures[t] = line + ": " + echoed + " / " + sock.LastErrorText();
        sock.Close();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");
  server.Stop();
  EXPECT_EQ(server.Received().size(), static_cast<std::size_t>(kThreads * kRounds));
}

}  // namespace
}  // namespace corvandel::http
