#pragma once

// A scriptable TCP server on a loopback address for the socket tests. A case
// is data: the steps the server takes on each accepted connection (packets
// to send, what to read, when to stay silent).

#include <sys/socket.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/block_socket.h"
#include "loopback_listener.h"

namespace corvandel::http::testing {

struct TStep {
  enum TKind {
    Send,              // one packet of Bytes
    ReadUntil,         // read until Bytes has been seen, recording it
    Echo,              // read until Bytes has been seen and send it all back
    AwaitClientClose,  // stay silent until the client closes
    Flood,             // send Bytes again and again until the client goes away
    ReadRequest,       // read one HTTP request: its header block and the body its length announces
    Reset,             // drop the connection with a reset instead of an orderly close
    Trickle,           // send Bytes one byte at a time, kTricklePause apart, over and over until the client goes away
  };
  TKind Kind;
  std::string Bytes;
};
using TScript = std::vector<TStep>;

inline TStep SendStep(std::string bytes) { return {TStep::Send, std::move(bytes)}; }
inline TStep ReadUntilStep(std::string terminator) { return {TStep::ReadUntil, std::move(terminator)}; }
inline TStep EchoStep(std::string terminator) { return {TStep::Echo, std::move(terminator)}; }
inline TStep AwaitClientCloseStep() { return {TStep::AwaitClientClose, {}}; }
inline TStep FloodStep(std::string bytes) { return {TStep::Flood, std::move(bytes)}; }
inline TStep ReadRequestStep() { return {TStep::ReadRequest, {}}; }
inline TStep ResetStep() { return {TStep::Reset, {}}; }
inline TStep TrickleStep(std::string bytes) { return {TStep::Trickle, std::move(bytes)}; }

// The pause between the bytes of a Trickle step: short against any Timeout
// a test sets, so that only a limit on the whole exchange can end it.
inline constexpr int kTricklePauseMs = 20;
using corvandel::testing::OpenLoopbackListener;

// bytes cut into packets of at most pieceSize bytes.
void AppendPieces(TScript& script, const std::string& bytes, std::size_t pieceSize);

// The far end of one connection, driven step by step by the test's own thread.
class TLoopbackPeer {
public:
  TLoopbackPeer() = default;
  ~TLoopbackPeer();
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

  // Listens on the family's loopback address, connects client to it and
  // accepts; false when the family is not available or connecting failed.
  bool Connect(TTCPBlockSocket& client, int family = AF_INET);
  void Send(std::string_view bytes);
  // Closes gracefully (the client sees the end of the stream).
  void Close();
  // Reads until the client closes; reset tells whether it ended with a
  // reset instead of an orderly close.
  std::string ReadUntilClosed(bool& reset);

private:
  TSocket listener_ = -1;
  TSocket connection_ = -1;
};

class TScriptServer {
public:
  // Connection n runs scripts[n]; later connections run the last script.
  // A script that ends closes gracefully: the server shuts down its sending
  // side and waits for the client to close. With pacePackets, each packet
  // waits until the client has received all earlier ones (reported through
  // PacingMonitor), so that packet boundaries reach the client intact.
  TScriptServer(int family, std::vector<TScript> scripts, bool pacePackets = false);
  ~TScriptServer();
  TScriptServer(const TScriptServer&) = delete;
  TScriptServer& operator=(const TScriptServer&) = delete;

  static bool CanListen(int family);

  bool Listening() const { return listener_ >= 0; }
  const std::string& Host() const { return host_; }
  std::string PortText() const { return std::to_string(port_); }

  // A monitor hook for the client socket that feeds the pacing.
  THookMonitor PacingMonitor();
  // Stops waiting for the client (pacing, silence) and joins every thread.
  void Stop();
  // What the client sent on each connection, as read by the script.
  std::vector<std::string> Received();

private:
  void AcceptLoop();
  void Serve(TSocket connection, std::size_t index);
  bool WaitReadable(TSocket connection);
  bool WaitForClient(std::size_t sentSoFar);
  bool SendAll(TSocket connection, const std::string& bytes);
  bool ReadUntil(TSocket connection, const std::string& terminator, std::string& read);
  bool ReadRequest(TSocket connection, std::string& read);
  // Waits up to ms for the stop request; true when it came.
  bool StopRequested(int ms);
  void DrainUntilClose(TSocket connection);

  std::vector<TScript> scripts_;
  bool pacePackets_;
  std::string host_;
  uint16_t port_ = 0;
  TSocket listener_ = -1;
  int wakeEvent_ = -1;
  std::thread acceptThread_;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::size_t clientReceived_ = 0;
  std::vector<std::thread> workers_;
  std::vector<std::string> received_;
};

}  // namespace corvandel::http::testing
