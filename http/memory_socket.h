#pragma once

// A TCP socket whose far end is a script in memory: what the peer sends,
// packet by packet, with pauses, and how it ends (close, reset or silence).
// It keeps its own clock, which moves only while the socket waits: a wait
// for a silent peer ends at once, as if its whole time had passed, so
// deadlines and time-outs act as they would, without a real clock. It runs
// the HTTP client over recorded or made-up answers with no ports, which is
// what the framing tables and the fuzz target need. With HTTPTunnelIP set,
// the peer plays the proxy that answers CONNECT.
//
// The socket belongs to one thread, like every socket.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "http/block_socket.h"

namespace corvandel::http {

// How the peer leaves once its packets are all read.
enum class TPeerEnd {
  Close,    // an orderly close: the client reads the end of the stream
  Reset,    // a reset: the next receive fails
  Silence,  // it stays connected and says nothing more
};

// A packet of exactly these bytes is not sent: it holds back the packets
// after it until the client has written again, as a server waits for the
// next request on a kept connection.
inline constexpr std::string_view kAfterNextRequest = "\x01(after the next request)\x01";

// A packet that is not sent either: the peer says nothing for this many
// milliseconds of the socket's clock before its next packet.
std::string PeerPause(int32_t milliseconds);

struct TPeerScript {
  std::vector<std::string> Packets;
  TPeerEnd End = TPeerEnd::Close;
  // False: the peer never reads, so a send finds no room and waits.
  bool Reads = true;
};

class TMemoryBlockSocket : public TTCPBlockSocket {
public:
  // Connection n plays scripts[n]; a connection past the last one is refused.
  explicit TMemoryBlockSocket(std::vector<TPeerScript> scripts);
  ~TMemoryBlockSocket() override;

  // What the client wrote on each connection so far.
  const std::vector<std::string>& Written() const { return written_; }
  // How many connections were made.
  std::size_t Connections() const { return written_.size(); }

  // The peer of the current connection sends one more packet, or ends now.
  void PeerSends(std::string bytes) { CurrentScript().Packets.push_back(std::move(bytes)); }
  void PeerEnds(TPeerEnd end) { CurrentScript().End = end; }

  void ConnectTo(const std::string& ip, const std::string& port) override;
  void Close() override;
  void Abort() override;
  int32_t PendingBytes() override;
  TDeadlineClock::time_point Now() const override { return now_; }
  uint32_t Tick() const override;

protected:
  int32_t TransportSend(const char* buffer, int32_t length) override;
  int32_t TransportReceive(char* buffer, int32_t length) override;
  int TransportWait(bool writable, int32_t timeout) override;
  bool TransportOpen() const override { return open_; }

private:
  const TPeerScript& Script() const { return scripts_[written_.size() - 1]; }
  TPeerScript& CurrentScript() { return scripts_[written_.size() - 1]; }
  bool PacketsLeft() const { return packet_ < Script().Packets.size(); }
  // Moves past packets already read and gates already passed; true when
  // bytes are ready, false at the end or at a gate still closed.
  bool NextPacketReady();
  // Lets up to timeout ms pass (all of a pause when timeout is -1); true
  // when the pause under way ended within it.
  bool PassTime(int32_t timeout);

  std::vector<TPeerScript> scripts_;
  std::vector<std::string> written_;
  bool open_ = false;
  std::size_t packet_ = 0;  // the next packet of the current script
  std::size_t offset_ = 0;  // how much of it has been read
  // What the client had written when the current gate was reached.
  std::size_t gateMark_ = std::string::npos;
  // What is left of the pause under way; -1 while none is.
  int64_t pauseLeft_ = -1;
  TDeadlineClock::time_point now_ = TDeadlineClock::time_point{} + std::chrono::hours(1);
};

}  // namespace corvandel::http
