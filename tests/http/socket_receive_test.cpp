#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "http/block_socket.h"
#include "http/memory_socket.h"
#include "runtime/memory_stream.h"
#include "script_server.h"

namespace corvandel::http {
namespace {

using testing::TLoopbackPeer;
using testing::TScript;
using testing::TScriptServer;

// Expected to run out: short, to keep the suite fast.
constexpr int32_t kExpiringTimeout = 200;
// Not expected to run out: only a fault waits this long.
constexpr int32_t kAmpleTimeout = 30000;

struct LineCase {
  std::string name;
  bool convertLineEnd;
  std::string terminator;  // "" for ReceiveLine
  std::string data;
  std::vector<std::string> lines;
};

const LineCase kLineCases[] = {
    {"every line end", true, "", "a\r\nb\nc\rd\n\re\r\n", {"a", "b", "c", "d", "e"}},
    {"empty CR LF lines", true, "", "\r\n\r\nx\r\n", {"", "", "x"}},
    {"empty LF lines", true, "", "a\n\nb\n", {"a", "", "b"}},
    {"empty CR lines", true, "", "a\r\rb\r\n", {"a", "", "b"}},
    {"LF CR then LF", true, "", "a\n\r\nb\r\n", {"a", "", "b"}},
    {"CR then CR LF", true, "", "a\r\r\nb\r\n", {"a", "", "b"}},
    {"strict CR LF", false, "", "a\r\nb\nc\r\nd\re\r\n", {"a", "b\nc", "d\re"}},
    {"own terminator", false, "END", "xxEyENDzENDEN\r\nEND", {"xxEy", "z", "EN\r\n"}},
    {"own terminator ignores conversion", true, "\n", "a\r\nb\n", {"a\r", "b"}},
};

std::vector<std::string> ReadLines(TTCPBlockSocket& sock, const LineCase& c) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < c.lines.size(); ++i) {
    lines.push_back(c.terminator.empty() ? sock.ReceiveLine(kAmpleTimeout)
                                         : sock.ReceiveTerminated(kAmpleTimeout, c.terminator));
    if (sock.LastErrorCode() != 0) {
      lines.push_back("error " + std::to_string(sock.LastErrorCode()));
      break;
    }
  }
  return lines;
}

// Each case in one packet, then again in packets of 1 to 5 bytes that the
// server hands over one at a time.
TEST(ReceiveLineTest, LineEndsInWholeAndSplitPackets) {
  for (const LineCase& c : kLineCases) {
    for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                              std::size_t{4}, std::size_t{5}}) {
      TScript script;
      testing::AppendPieces(script, c.data, piece == 0 ? c.data.size() : piece);
      script.push_back(testing::AwaitClientCloseStep());
      TScriptServer server(AF_INET, {script}, true);
      ASSERT_TRUE(server.Listening());
      TTCPBlockSocket sock;
      sock.SetConvertLineEnd(c.convertLineEnd);
      sock.SetOnMonitor(server.PacingMonitor());
      sock.ConnectTo(server.Host(), server.PortText());
      ASSERT_EQ(sock.LastErrorCode(), 0);
      EXPECT_EQ(ReadLines(sock, c), c.lines) << c.name << ", pieces of " << piece;
      sock.Abort();
      server.Stop();
    }
  }
}

// The limit holds for what is buffered, even when a complete shorter line
// is inside it.
TEST(ReceiveLineTest, LineLimitHoldsForBufferedInput) {
  const std::string tail(20, 'x');
  TMemoryBlockSocket sock({{{"ab\r\n" + tail}, TPeerEnd::Silence}});
  sock.ConnectTo("127.0.0.1", "80");
  sock.SetConvertLineEnd(true);
  sock.SetMaxLineLength(10);
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "");
  EXPECT_EQ(sock.LastErrorCode(), WSAENOBUFS);
  EXPECT_EQ(sock.PendingInput(), "ab\r\n" + tail);
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "") << "taken from the buffered input";
  EXPECT_EQ(sock.LastErrorCode(), WSAENOBUFS);
  EXPECT_EQ(sock.PendingInput(), "ab\r\n" + tail);
  sock.SetMaxLineLength(24);
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "ab");
  EXPECT_EQ(sock.PendingInput(), tail);
}

TEST(ReceiveLineTest, CarriageReturnEndingAPacketPairsWithTheNextLineFeed) {
  TScriptServer server(AF_INET, {{testing::SendStep("one\r"), testing::SendStep("\ntwo\r"),
                                  testing::SendStep("\n"), testing::SendStep("three\r\n"),
                                  testing::AwaitClientCloseStep()}},
                       true);
  TTCPBlockSocket sock;
  sock.SetConvertLineEnd(true);
  sock.SetOnMonitor(server.PacingMonitor());
  sock.ConnectTo(server.Host(), server.PortText());
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "one");
  EXPECT_TRUE(sock.SkipLF());
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "two");
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "three");
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_EQ(sock.PendingInput(), "");
}

class PeerTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(peer.Connect(sock)); }

  TTCPBlockSocket sock;
  TLoopbackPeer peer;
};

// Time-outs against a peer in memory: what it sent is there before the
// read starts, and its silence ends a wait at once, however busy the
// machine is.
class MemoryPeerTest : public ::testing::Test {
protected:
  void SetUp() override {
    sock.ConnectTo("127.0.0.1", "80");
    ASSERT_TRUE(sock.IsOpen());
  }

  struct TPeer {
    TMemoryBlockSocket& sock;
    void Send(std::string bytes) { sock.PeerSends(std::move(bytes)); }
    void Close() { sock.PeerEnds(TPeerEnd::Close); }
  };
  TMemoryBlockSocket sock{{TPeerScript{{}, TPeerEnd::Silence}}};
  TPeer peer{sock};
};

TEST_F(MemoryPeerTest, TimeoutKeepsThePartialLineForTheNextRead) {
  sock.SetConvertLineEnd(true);
  peer.Send("par");
  EXPECT_EQ(sock.ReceiveLine(kExpiringTimeout), "");
  EXPECT_EQ(sock.LastErrorCode(), WSAETIMEDOUT);
  EXPECT_EQ(sock.LastErrorText(), "Connection timed out");
  EXPECT_EQ(sock.PendingInput(), "par");
  peer.Send("tial\r\nnext");
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "partial");
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_EQ(sock.PendingInput(), "next");
}

TEST_F(MemoryPeerTest, TimeoutWithoutInterPacketRestartBoundsTheWholeLine) {
  sock.SetInterPacketTimeout(false);
  peer.Send("a");
  EXPECT_EQ(sock.ReceiveLine(kExpiringTimeout), "");
  EXPECT_EQ(sock.LastErrorCode(), WSAETIMEDOUT);
  EXPECT_EQ(sock.PendingInput(), "a");
}

TEST_F(MemoryPeerTest, RaisedTimeoutKeepsThePartialLine) {
  sock.SetRaiseExcept(true);
  peer.Send("par");
  try {
    sock.ReceiveLine(kExpiringTimeout);
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& error) {
    EXPECT_EQ(error.ErrorCode(), WSAETIMEDOUT);
    EXPECT_EQ(error.ErrorMessage(), "Connection timed out");
    EXPECT_STREQ(error.what(), "TCP/IP Socket error 10060: Connection timed out");
  }
  EXPECT_EQ(sock.PendingInput(), "par");
}

TEST_F(PeerTest, PeerClosingMidLineGivesConnectionReset) {
  peer.Send("abc");
  peer.Close();
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "");
  EXPECT_EQ(sock.LastErrorCode(), WSAECONNRESET);
  EXPECT_EQ(sock.LastErrorText(), "Connection reset by peer");
  EXPECT_EQ(sock.PendingInput(), "abc");
  EXPECT_EQ(sock.ReceivePacket(kAmpleTimeout), "abc");
  EXPECT_EQ(sock.ReceivePacket(kAmpleTimeout), "");
  EXPECT_EQ(sock.LastErrorCode(), WSAECONNRESET);
}

TEST_F(PeerTest, LineLongerThanTheLimitFailsEvenWithAShortLineInside) {
  sock.SetMaxLineLength(100);
  const std::string data = "short\r\n" + std::string(100, 'x');
  peer.Send(data);
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), "");
  EXPECT_EQ(sock.LastErrorCode(), WSAENOBUFS);
  EXPECT_EQ(sock.LastErrorText(), "No Buffer space available");
  EXPECT_EQ(sock.PendingInput(), data);

  sock.SetPendingInput("");
  peer.Send(std::string(98, 'y') + "\r\n");
  EXPECT_EQ(sock.ReceiveLine(kAmpleTimeout), std::string(98, 'y')) << "exactly at the limit";
}

TEST_F(PeerTest, ExactReadLeavesTheRestPending) {
  peer.Send("0123456789abcde");
  char buffer[10];
  EXPECT_EQ(sock.ReceiveBytesWait(buffer, 10, kAmpleTimeout), 10);
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  EXPECT_EQ(sock.PendingInput(), "abcde");
  EXPECT_EQ(sock.ReceivePacket(kAmpleTimeout), "abcde");
  EXPECT_EQ(sock.PendingInput(), "");
}

TEST_F(MemoryPeerTest, FixedTextDropsWhatArrivedWhenTheReadFails) {
  peer.Send("abc");
  EXPECT_EQ(sock.ReceiveFixedText(5, kExpiringTimeout), "");
  EXPECT_EQ(sock.LastErrorCode(), WSAETIMEDOUT);
  peer.Send("defgh");
  EXPECT_EQ(sock.ReceiveFixedText(3, kAmpleTimeout), "def");
  EXPECT_EQ(sock.ReceiveFixedText(0, kAmpleTimeout), "");
  EXPECT_EQ(sock.LastErrorCode(), 0);
  peer.Close();
  EXPECT_EQ(sock.ReceiveFixedText(3, kAmpleTimeout), "");
  EXPECT_EQ(sock.LastErrorCode(), WSAECONNRESET);
}

TEST_F(PeerTest, StreamReceiveWritesWholeBlocksOnly) {
  sock.SetSendMaxChunk(4);
  peer.Send("0123456789XY");
  runtime::TMemoryStream stream;
  sock.ReceiveToStream(stream, kAmpleTimeout, 10);
  EXPECT_EQ(sock.LastErrorCode(), 0);
  EXPECT_EQ(stream.ToString(), "0123456789");
  EXPECT_EQ(sock.PendingInput(), "XY");

  sock.SetPendingInput("");
  runtime::TMemoryStream partial;
  peer.Send("abcdef");
  peer.Close();
  sock.ReceiveToStream(partial, kAmpleTimeout, 10);
  EXPECT_EQ(sock.LastErrorCode(), WSAECONNRESET);
  EXPECT_EQ(partial.ToString(), "abcd") << "the failing block is not written";
}

TEST_F(PeerTest, PendingBytesCountsWhatHasArrived) {
  EXPECT_EQ(sock.PendingBytes(), 0);
  peer.Send("hello");
  ASSERT_TRUE(sock.WaitReadable(kAmpleTimeout));
  EXPECT_EQ(sock.PendingBytes(), 5);
  EXPECT_EQ(sock.ReceivePacket(kAmpleTimeout), "hello");
  EXPECT_EQ(sock.BytesReceived(), 5u);
  EXPECT_FALSE(sock.WaitReadable(0));
}

TEST_F(PeerTest, ReadFilterMayShortenWhatArrived) {
  sock.SetOnReadFilter([](TBlockSocket&, std::string& value) { value = value.substr(0, 3) + "longer"; });
  peer.Send("abcdef");
  EXPECT_EQ(sock.ReceiveFixedText(6, kAmpleTimeout), "abclon") << "never longer than what arrived";
  sock.SetOnReadFilter([](TBlockSocket&, std::string& value) { value.resize(2); });
  peer.Send("uvwxyz");
  EXPECT_EQ(sock.ReceivePacket(kAmpleTimeout), "uv");
}

TEST_F(PeerTest, StopFlagEndsTheNextCallWithConnectionAbort) {
  sock.SetStopFlag(true);
  EXPECT_EQ(sock.SendBytes("x", 1), 0);
  EXPECT_EQ(sock.LastErrorCode(), WSAECONNABORTED);
  EXPECT_EQ(sock.LastErrorText(), "Software caused connection abort");
  EXPECT_FALSE(sock.StopFlag());
  sock.SendText("y");
  EXPECT_EQ(sock.LastErrorCode(), 0);
  bool reset = false;
  sock.Close();
  EXPECT_EQ(peer.ReadUntilClosed(reset), "y");
}

TEST_F(PeerTest, StopFromAnotherThreadEndsAHeartbeatWait) {
  sock.SetHeartbeatRate(20);
  std::atomic<int> beats{0};
  sock.SetOnHeartbeat([&beats](TBlockSocket&) { ++beats; });
  std::thread stopper([this, &beats] {
    while (beats.load() < 2) std::this_thread::yield();
    sock.SetStopFlag(true);
  });
  EXPECT_EQ(sock.ReceiveLine(60000), "");
  stopper.join();
  EXPECT_EQ(sock.LastErrorCode(), WSAECONNABORTED);
  EXPECT_FALSE(sock.StopFlag());
}

TEST_F(PeerTest, HeartbeatRunsBetweenWaitSlices) {
  sock.SetHeartbeatRate(50);
  int beats = 0;
  sock.SetOnHeartbeat([&beats](TBlockSocket&) { ++beats; });
  EXPECT_FALSE(sock.WaitReadable(kExpiringTimeout));
  EXPECT_EQ(beats, kExpiringTimeout / 50);
  peer.Send("z");
  EXPECT_TRUE(sock.WaitReadable(kAmpleTimeout));
}

}  // namespace
}  // namespace corvandel::http
