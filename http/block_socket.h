#pragma once

// Blocking sockets with a timeout on every read, a receive buffer that hands
// out lines, packets or exact byte counts, and an error state that is read
// after each call instead of raising (unless RaiseExcept asks for ESocketError).
// TBlockSocket is the general socket, TSocksBlockSocket adds the SOCKS proxy
// settings and TTCPBlockSocket is the stream socket the HTTP client uses.
// A socket object belongs to one thread; only SetStopFlag may be called from
// another.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "http/secure_layer.h"
#include "http/socket_errors.h"
#include "http/socket_address.h"
#include "runtime/stream.h"

namespace corvandel::http {

// Raised for socket errors when RaiseExcept is set. what() is
// "TCP/IP Socket error <code>: <text>".
class ESocketError : public std::runtime_error {
public:
  ESocketError(int32_t code, const std::string& text);
  // A message that is not the formatted socket error, e.g. for start-up failures.
  ESocketError(const std::string& message, int32_t code, std::string text);

  int32_t ErrorCode() const { return errorCode_; }
  const std::string& ErrorMessage() const { return errorMessage_; }

private:
  int32_t errorCode_;
  std::string errorMessage_;
};

enum TSocketFamily { SF_Any, SF_IP4, SF_IP6 };

// AF_INET, AF_INET6, or AF_UNSPEC for SF_Any.
int SocketFamilyToSystem(TSocketFamily family);

enum THookSocketReason {
  HR_ResolvingBegin,  // value: IP:Port as asked
  HR_ResolvingEnd,    // value: resolved address text:port number
  HR_SocketCreate,    // value: "IPv4" or "IPv6"
  HR_SocketClose,
  HR_Bind,            // value: IP:Port
  HR_Connect,         // value: IP:Port
  HR_CanRead,
  HR_CanWrite,
  HR_Listen,
  HR_Accept,
  HR_ReadCount,       // value: bytes of one receive
  HR_WriteCount,      // value: bytes of one send
  HR_Wait,            // value: milliseconds of a bandwidth wait
  HR_Error,           // value: code,text
};

class TBlockSocket;

using THookSocketStatus =
    std::function<void(TBlockSocket& sender, THookSocketReason reason, const std::string& value)>;
// May shorten (never lengthen) what was received.
using THookDataFilter = std::function<void(TBlockSocket& sender, std::string& value)>;
using THookCreateSocket = std::function<void(TBlockSocket& sender)>;
// Sees every buffer before it is sent and after it is received.
using THookMonitor =
    std::function<void(TBlockSocket& sender, bool writing, const void* buffer, int32_t length)>;
using THookHeartbeat = std::function<void(TBlockSocket& sender)>;
using THookAfterConnect = std::function<void(TBlockSocket& sender)>;

enum class TSocketOptionKind : uint8_t {
  Linger = 0,       // value: ms, sent in whole seconds; negative turns lingering off
  RecvBuffer = 1,
  SendBuffer = 2,
  NonBlock = 3,     // value: non-zero for non-blocking
  RecvTimeout = 4,  // ms
  SendTimeout = 5,  // ms
  Reuse = 6,
  TTL = 7,
  Broadcast = 8,
  MulticastTTL = 9,
  MulticastLoop = 10,
};

struct TSocketOption {
  TSocketOptionKind Kind;
  int32_t Value;
};

inline constexpr int32_t kDefaultSendMaxChunk = 65536;
inline constexpr int32_t kDefaultNonblockSendTimeout = 15000;
// The most a single packet read takes from the system.
inline constexpr int32_t kMaxPacketSize = 65536;
// Longest stretch of a wait between two looks at StopFlag, so that a stop
// requested from another thread ends even a long wait promptly.
inline constexpr int32_t kStopCheckSlice = 100;
// How long a graceful close waits for the peer's last data or its close.
inline constexpr int32_t kDrainWait = 1;

using TDeadlineClock = std::chrono::steady_clock;

class TBlockSocket {
public:
  TBlockSocket() = default;
  virtual ~TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;

  static std::string GetErrorDesc(int32_t code) { return http::GetErrorDesc(code); }
  // The text for LastErrorCode.
  virtual std::string GetErrorDescEx() const;

  // --- Connection ---------------------------------------------------------
  // Graceful close; Abort drops the connection at once and discards queued options.
  virtual void Close();
  virtual void Abort();
  // Resolves and connects. The connect itself waits at most ConnectTimeout
  // and never past the deadline; WSAETIMEDOUT when either runs out.
  virtual void ConnectTo(const std::string& ip, const std::string& port);
  // True while a connection (or a bound socket) is open.
  bool IsOpen() const { return TransportOpen(); }
  // Binding "0.0.0.0" port "0" before any socket exists does nothing.
  void BindTo(const std::string& ip, const std::string& port);

  // --- Sending --------------------------------------------------------------
  // Sends in pieces of SendMaxChunk; returns the bytes sent.
  int32_t SendBytes(const void* buffer, int32_t length);
  void SendText(std::string_view text);

  // --- Receiving ------------------------------------------------------------
  // One raw receive; 0 with WSAECONNRESET when the peer has closed.
  int32_t ReceiveBytes(void* buffer, int32_t length);
  // Exactly length bytes unless an error or the timeout intervenes; the rest
  // of the last packet stays in PendingInput. Returns the bytes copied.
  int32_t ReceiveBytesWait(void* buffer, int32_t length, int32_t timeout);
  // ReceiveBytesWait as text; "" on error.
  std::string ReceiveFixedText(int32_t length, int32_t timeout);
  // A line ended by CR LF (any of CR, LF, CR LF, LF CR with ConvertLineEnd),
  // without its end; "" on error, with the partial line kept in PendingInput.
  std::string ReceiveLine(int32_t timeout);
  std::string ReceiveTerminated(int32_t timeout, std::string_view terminator);
  // PendingInput if there is any, otherwise what one receive brings.
  std::string ReceivePacket(int32_t timeout);
  // size bytes in blocks of SendMaxChunk, appended to stream block by block.
  void ReceiveToStream(runtime::TStream& stream, int32_t timeout, int64_t size);

  // Bytes the system has ready to read, at most kMaxPacketSize.
  virtual int32_t PendingBytes();
  // timeout in ms, -1 without limit. True also when the peer has closed.
  // Every wait ends early at the deadline and when StopFlag is set. On
  // false, LastErrorCode is WSAECONNABORTED after a stop request,
  // WSAETIMEDOUT once the deadline has passed, a system error, or 0 when
  // the timeout simply ran out.
  bool PollReadable(int32_t timeout);
  bool WaitReadable(int32_t timeout);
  bool WaitWritable(int32_t timeout);

  // --- Deadline -------------------------------------------------------------
  // A point in time that no connect, send, receive or wait goes beyond; one
  // that would is cut short with WSAETIMEDOUT. None by default.
  void SetDeadline(TDeadlineClock::time_point deadline) {
    deadline_ = deadline;
    hasDeadline_ = true;
    deadlineReached_ = false;
  }
  void ClearDeadline() {
    hasDeadline_ = false;
    deadlineReached_ = false;
  }
  bool HasDeadline() const { return hasDeadline_; }
  // True when a deadline is set and has passed, or a wait has run up to it.
  bool DeadlinePassed() const { return hasDeadline_ && (deadlineReached_ || Now() >= deadline_); }
  // The clock that deadlines are measured on; a socket whose peer lives in
  // memory keeps its own, which moves only when the socket waits.
  virtual TDeadlineClock::time_point Now() const { return TDeadlineClock::now(); }
  // Milliseconds a connect may wait; 0 leaves only the deadline.
  int32_t ConnectTimeout() const { return connectTimeout_; }
  void SetConnectTimeout(int32_t value) { connectTimeout_ = value; }

  // --- Errors ---------------------------------------------------------------
  int32_t LastErrorCode() const { return lastErrorCode_; }
  const std::string& LastErrorText() const { return lastErrorText_; }
  // What the system said behind LastErrorCode, when it said anything.
  const TErrorCause& LastErrorCause() const { return lastErrorCause_; }
  void ClearError();
  // Clears the error, then takes the system's last error when result is -1.
  int32_t CheckResult(int result);
  // Fills LastErrorText and announces the error (HR_Error, ESocketError).
  void ReportError();

  // --- Options --------------------------------------------------------------
  // Applied at once on an open socket, otherwise when the next one is created.
  void QueueOption(TSocketOption option);
  const std::vector<TSocketOption>& PendingOptions() const { return pendingOptions_; }
  void SetLinger(bool enable, int32_t milliseconds);
  void SetSizeRecvBuffer(int32_t size);
  void SetSizeSendBuffer(int32_t size);
  void SetNonBlockMode(bool value);
  void SetRecvTimeout(int32_t milliseconds);
  void SetSendTimeout(int32_t milliseconds);
  void SetReuseAddress(bool value);
  void SetTTL(int32_t value);

  // --- Addresses ------------------------------------------------------------
  const TSocketAddress& LocalAddress() const { return localAddress_; }
  const TSocketAddress& RemoteAddress() const { return remoteAddress_; }
  std::string LocalAddressText() const { return AddressToText(localAddress_); }
  uint16_t LocalPort() const { return AddressPort(localAddress_); }
  virtual std::string RemoteAddressText() const { return AddressToText(remoteAddress_); }
  virtual uint16_t RemotePort() const { return AddressPort(remoteAddress_); }
  // The system's host name, or "127.0.0.1" when it has none.
  std::string LocalHostName() const;

  virtual int SocketType() const { return 0; }
  virtual int SocketProtocol() const { return 0; }

  // --- Properties -----------------------------------------------------------
  TSocket Handle() const { return handle_; }
  const std::string& PendingInput() const {
    CompactPendingInput();
    return pendingInput_;
  }
  void SetPendingInput(std::string value) {
    pendingInput_ = std::move(value);
    pendingStart_ = 0;
  }
  int32_t Tag() const { return tag_; }
  void SetTag(int32_t value) { tag_ = value; }
  bool RaiseExcept() const { return raiseExcept_; }
  void SetRaiseExcept(bool value) { raiseExcept_ = value; }
  bool NonBlocking() const { return nonBlocking_; }
  // 0 means no limit.
  int32_t MaxLineLength() const { return maxLineLength_; }
  void SetMaxLineLength(int32_t value) { maxLineLength_ = value; }
  // Bytes per second; 0 turns the limit off.
  int32_t MaxSendBandwidth() const { return maxSendBandwidth_; }
  void SetMaxSendBandwidth(int32_t value) { maxSendBandwidth_ = value; }
  int32_t MaxRecvBandwidth() const { return maxRecvBandwidth_; }
  void SetMaxRecvBandwidth(int32_t value) { maxRecvBandwidth_ = value; }
  void SetMaxBandwidth(int32_t value) { maxSendBandwidth_ = maxRecvBandwidth_ = value; }
  uint32_t NextSendTick() const { return nextSendTick_; }
  uint32_t NextRecvTick() const { return nextRecvTick_; }
  bool ConvertLineEnd() const { return convertLineEnd_; }
  void SetConvertLineEnd(bool value) { convertLineEnd_ = value; }
  bool SkipLF() const { return skipLF_; }
  void SetSkipLF(bool value) { skipLF_ = value; }
  bool SkipCR() const { return skipCR_; }
  void SetSkipCR(bool value) { skipCR_ = value; }
  bool IsBound() const { return isBound_; }
  TSocketFamily Family() const { return family_; }
  // Sets the family wanted now and the one restored on close.
  void SetFamily(TSocketFamily value) { family_ = familyDefault_ = value; }
  TSocketFamily FamilyDefault() const { return familyDefault_; }
  bool UsesIPv6() const { return usesIPv6_; }
  bool PreferIP4() const { return preferIP4_; }
  void SetPreferIP4(bool value) { preferIP4_ = value; }
  // With it the read timeout restarts with each packet; without it, it
  // bounds the whole line or block.
  bool InterPacketTimeout() const { return interPacketTimeout_; }
  void SetInterPacketTimeout(bool value) { interPacketTimeout_ = value; }
  uint32_t BytesReceived() const { return bytesReceived_; }
  uint32_t BytesSent() const { return bytesSent_; }
  int32_t SendMaxChunk() const { return sendMaxChunk_; }
  void SetSendMaxChunk(int32_t value) { sendMaxChunk_ = value; }
  // Makes the next send or receive end with WSAECONNABORTED; safe from any thread.
  bool StopFlag() const { return stopFlag_.load(); }
  void SetStopFlag(bool value) { stopFlag_.store(value); }
  int32_t NonblockSendTimeout() const { return nonblockSendTimeout_; }
  void SetNonblockSendTimeout(int32_t value) { nonblockSendTimeout_ = value; }
  // Slice length in ms of readability waits, with OnHeartbeat between slices.
  int32_t HeartbeatRate() const { return heartbeatRate_; }
  void SetHeartbeatRate(int32_t value) { heartbeatRate_ = value; }

  // --- Hooks ----------------------------------------------------------------
  void SetOnStatus(THookSocketStatus hook) { onStatus_ = std::move(hook); }
  void SetOnReadFilter(THookDataFilter hook) { onReadFilter_ = std::move(hook); }
  void SetOnCreateSocket(THookCreateSocket hook) { onCreateSocket_ = std::move(hook); }
  void SetOnMonitor(THookMonitor hook) { onMonitor_ = std::move(hook); }
  void SetOnHeartbeat(THookHeartbeat hook) { onHeartbeat_ = std::move(hook); }

protected:
  void DoStatus(THookSocketReason reason, const std::string& value);
  void DoHeartbeat();
  // True, with WSAECONNABORTED reported, when a stop was requested.
  bool CheckStopFlag();
  void LimitBandwidth(int32_t length, int32_t limit, uint32_t& nextTick);
  void SetAddress(TSocketAddress& address, const std::string& ip, const std::string& port);
  void CreateHandle(const TSocketAddress& address);
  void ApplyOption(const TSocketOption& option);
  void ApplyQueuedOptions();
  // Reads and drops whatever has already arrived, before a close.
  void DrainInput();
  void ConnectPlain(const std::string& ip, const std::string& port);
  void SetLastError(int32_t code, TErrorCause cause = {}) {
    lastErrorCode_ = code;
    lastErrorCause_ = cause;
  }
  // Takes errno's value as the last error.
  void SetSystemError(int systemError);
  // The millisecond tick that read time-outs are counted on; see Now().
  virtual uint32_t Tick() const;
  // Drops every hook and stops raising; for destructors.
  void DetachHooks();

  // The transport: everything that touches the connection itself. A
  // subclass may replace all of it, e.g. with a peer in memory.
  // One send or receive of at most length bytes, returning the count or -1
  // with the error set (WSAEWOULDBLOCK when nothing could be sent now).
  virtual int32_t TransportSend(const char* buffer, int32_t length);
  virtual int32_t TransportReceive(char* buffer, int32_t length);
  // What has already arrived, at most length bytes, taken without waiting:
  // the count, or 0 when nothing could be taken, with the error set when a
  // receive failed. The system's socket leaves its errors and the peer's
  // close to the wait and receive that follow.
  virtual int32_t TransportReceiveNow(char* buffer, int32_t length);
  // Waits up to timeout ms (-1: no limit) for readability or writability:
  // 1 ready, 0 not in time, -1 failed with the error set. The deadline is
  // already folded into timeout; StopFlag must be looked at every
  // kStopCheckSlice ms (see StopRequested).
  virtual int TransportWait(bool writable, int32_t timeout);
  virtual bool TransportOpen() const { return handle_ != INVALID_SOCKET; }
  // Takes a pending stop request: true, with WSAECONNABORTED set, when there was one.
  bool StopRequested();
  // Waits for the connection as TransportWait does, with the deadline
  // applied: 1 ready, 0 timeout ran out, -1 failed (error set).
  int AwaitIO(bool writable, int32_t timeout);

private:
  // Closes the handle without any announcement.
  void CloseHandle();
  // Reads length bytes packet by packet, handing each piece to sink.
  template <typename Sink>
  int32_t ReceiveExact(int32_t length, int32_t timeout, Sink&& sink);
  // The local address from the system; the remote one too unless connected.
  void ReadBackAddresses(bool connected);
  // TransportReceiveNow with the bookkeeping and hooks of ReceiveBytes.
  int32_t ReceiveArrived(char* buffer, int32_t length);
  // Counts a received piece and hands it to the hooks; the count that is left.
  int32_t Deliver(void* buffer, int32_t count);

  THookSocketStatus onStatus_;
  THookDataFilter onReadFilter_;
  THookCreateSocket onCreateSocket_;
  THookMonitor onMonitor_;
  THookHeartbeat onHeartbeat_;
  TSocketAddress localAddress_;
  TSocketAddress remoteAddress_;
  int32_t tag_ = 0;
  // Received but not yet delivered: the bytes of pendingInput_ from
  // pendingStart_ on. Lines are cut from the front by moving the start, so
  // that reading many short lines from one packet stays linear.
  mutable std::string pendingInput_;
  mutable std::size_t pendingStart_ = 0;
  bool HasPendingInput() const { return pendingStart_ < pendingInput_.size(); }
  // Cuts a whole line from the pending input without reading; false when
  // none is complete there, or with WSAENOBUFS set when the pending input
  // alone is over MaxLineLength.
  bool TakePendingLine(std::string_view terminator, bool looseLineEnds, std::string& line);
  // Waits for the connect under way and sets the error as a blocking connect would.
  void AwaitConnect();
  void ClearPendingInput() {
    pendingInput_.clear();
    pendingStart_ = 0;
  }
  void CompactPendingInput() const {
    if (pendingStart_ == 0) return;
    pendingInput_.erase(0, pendingStart_);
    pendingStart_ = 0;
  }
  bool raiseExcept_ = false;
  bool nonBlocking_ = false;
  // The events of the last wait on the system's socket that ended ready;
  // 0 when another transport did the waiting.
  short readyEvents_ = 0;
  int32_t maxLineLength_ = 0;
  int32_t maxSendBandwidth_ = 0;
  uint32_t nextSendTick_ = 0;
  int32_t maxRecvBandwidth_ = 0;
  uint32_t nextRecvTick_ = 0;
  bool convertLineEnd_ = false;
  bool skipLF_ = false;
  bool skipCR_ = false;
  bool isBound_ = false;
  TSocketFamily family_ = SF_Any;
  TSocketFamily familyDefault_ = SF_Any;
  bool usesIPv6_ = false;
  bool preferIP4_ = true;
  std::vector<TSocketOption> pendingOptions_;  // in the order they were queued
  bool interPacketTimeout_ = true;
  TDeadlineClock::time_point deadline_{};
  bool hasDeadline_ = false;
  // A wait ended at the deadline; the clock's millisecond steps may still
  // read a moment before it.
  bool deadlineReached_ = false;
  int32_t connectTimeout_ = 0;
  uint32_t bytesReceived_ = 0;
  uint32_t bytesSent_ = 0;
  int32_t sendMaxChunk_ = kDefaultSendMaxChunk;
  std::atomic<bool> stopFlag_{false};
  int32_t nonblockSendTimeout_ = kDefaultNonblockSendTimeout;
  int32_t heartbeatRate_ = 0;
  TSocket handle_ = INVALID_SOCKET;
  int32_t lastErrorCode_ = 0;
  TErrorCause lastErrorCause_;
  std::string lastErrorText_;
};

enum TSocksType { ST_Socks5, ST_Socks4 };

// Adds the settings of a SOCKS proxy. The negotiation itself is not
// available: a connection through SOCKS fails with WSASYSNOTREADY.
class TSocksBlockSocket : public TBlockSocket {
public:
  const std::string& SocksIP() const { return socksIP_; }
  void SetSocksIP(std::string value) { socksIP_ = std::move(value); }
  const std::string& SocksPort() const { return socksPort_; }
  void SetSocksPort(std::string value) { socksPort_ = std::move(value); }
  int32_t SocksTimeout() const { return socksTimeout_; }
  void SetSocksTimeout(int32_t value) { socksTimeout_ = value; }
  const std::string& SocksUsername() const { return socksUsername_; }
  void SetSocksUsername(std::string value) { socksUsername_ = std::move(value); }
  const std::string& SocksPassword() const { return socksPassword_; }
  void SetSocksPassword(std::string value) { socksPassword_ = std::move(value); }
  bool SocksResolver() const { return socksResolver_; }
  void SetSocksResolver(bool value) { socksResolver_ = value; }
  TSocksType SocksType() const { return socksType_; }
  void SetSocksType(TSocksType value) { socksType_ = value; }
  // The addresses the proxy reported; empty while none did.
  const std::string& SocksResponseIP() const { return socksResponseIP_; }
  const std::string& SocksResponsePort() const { return socksResponsePort_; }

protected:
  // Connects to the proxy and fails with WSASYSNOTREADY.
  void ConnectThroughSocks(const std::string& ip, const std::string& port);

private:
  std::string socksIP_;
  std::string socksPort_ = "1080";
  int32_t socksTimeout_ = 60000;
  std::string socksUsername_;
  std::string socksPassword_;
  bool socksResolver_ = true;
  TSocksType socksType_ = ST_Socks5;
  std::string socksResponseIP_;
  std::string socksResponsePort_;
};

inline constexpr int32_t kDefaultHTTPTunnelTimeout = 30000;
// Bounds on the proxy's answer to CONNECT, so that a proxy that sends
// endless or endlessly long header lines cannot hold the call: one line,
// and all lines together (each counted with a two-byte end). 0 means none.
inline constexpr int32_t kDefaultHTTPTunnelMaxLineLength = 64 * 1024;
inline constexpr int32_t kDefaultHTTPTunnelMaxHeaderSize = 256 * 1024;

// How the last CONNECT through the HTTP proxy went.
enum class TTunnelStep : uint8_t {
  None,               // no tunnel was asked for
  Connect,            // connecting to the proxy failed
  Request,            // sending CONNECT failed
  Answer,             // reading the answer failed (time-out, close, reset)
  LineTooLong,        // an answer line broke HTTPTunnelMaxLineLength
  HeaderBlockTooLarge,  // the answer broke HTTPTunnelMaxHeaderSize
  Refused,            // the proxy answered without a 2xx status
  Open,               // the tunnel is up
};

class TTCPBlockSocket : public TSocksBlockSocket {
public:
  TTCPBlockSocket();
  ~TTCPBlockSocket() override;

  // Shuts the secure layer and the sending direction down, drains what has
  // arrived, then aborts.
  void Close() override;
  // Drops the connection at once, the secure session with it.
  void Abort() override;
  // Directly, through SOCKS when SocksIP is set, or through the HTTP proxy's
  // CONNECT tunnel when HTTPTunnelIP is set; then OnAfterConnect.
  void ConnectTo(const std::string& ip, const std::string& port) override;
  void ConnectThroughTunnel(const std::string& ip, const std::string& port);
  // Starts the secure layer on the connection; WSASYSNOTREADY when it fails.
  void ConnectSecure();
  int32_t PendingBytes() override;
  // The secure layer's own text for its failures.
  std::string GetErrorDescEx() const override;
  // Through a tunnel, the far end asked for rather than the proxy.
  std::string RemoteAddressText() const override;
  uint16_t RemotePort() const override;

  int SocketType() const override;
  int SocketProtocol() const override;

  TCustomSSL& SecureLayer() { return *secureLayer_; }
  const TCustomSSL& SecureLayer() const { return *secureLayer_; }

  const std::string& HTTPTunnelIP() const { return httpTunnelIP_; }
  void SetHTTPTunnelIP(std::string value) { httpTunnelIP_ = std::move(value); }
  const std::string& HTTPTunnelPort() const { return httpTunnelPort_; }
  void SetHTTPTunnelPort(std::string value) { httpTunnelPort_ = std::move(value); }
  const std::string& HTTPTunnelUser() const { return httpTunnelUser_; }
  void SetHTTPTunnelUser(std::string value) { httpTunnelUser_ = std::move(value); }
  const std::string& HTTPTunnelPass() const { return httpTunnelPass_; }
  void SetHTTPTunnelPass(std::string value) { httpTunnelPass_ = std::move(value); }
  int32_t HTTPTunnelTimeout() const { return httpTunnelTimeout_; }
  void SetHTTPTunnelTimeout(int32_t value) { httpTunnelTimeout_ = value; }
  int32_t HTTPTunnelMaxLineLength() const { return httpTunnelMaxLineLength_; }
  void SetHTTPTunnelMaxLineLength(int32_t value) { httpTunnelMaxLineLength_ = value; }
  int32_t HTTPTunnelMaxHeaderSize() const { return httpTunnelMaxHeaderSize_; }
  void SetHTTPTunnelMaxHeaderSize(int32_t value) { httpTunnelMaxHeaderSize_ = value; }
  bool TunnelActive() const { return tunnelActive_; }
  TTunnelStep TunnelStep() const { return tunnelStep_; }
  // The status line of the proxy's last answer to CONNECT; "" when none came.
  const std::string& TunnelStatusLine() const { return tunnelStatusLine_; }

  void SetOnAfterConnect(THookAfterConnect hook) { onAfterConnect_ = std::move(hook); }

protected:
  int32_t TransportSend(const char* buffer, int32_t length) override;
  int32_t TransportReceive(char* buffer, int32_t length) override;
  int32_t TransportReceiveNow(char* buffer, int32_t length) override;
  // Forgets the last tunnel before a new connection: TunnelStep becomes
  // Connect when one is asked for, None otherwise.
  void ResetTunnel();
  // Asks the proxy, already connected and with the tunnel reset, for the
  // tunnel to ip:port and reads its answer.
  void NegotiateTunnel(const std::string& ip, const std::string& port);

private:
  THookAfterConnect onAfterConnect_;
  std::unique_ptr<TCustomSSL> secureLayer_;
  std::string httpTunnelIP_;
  std::string httpTunnelPort_;
  bool tunnelActive_ = false;
  std::string tunnelRemoteIP_;
  std::string tunnelRemotePort_;
  std::string httpTunnelUser_;
  std::string httpTunnelPass_;
  int32_t httpTunnelTimeout_ = kDefaultHTTPTunnelTimeout;
  int32_t httpTunnelMaxLineLength_ = kDefaultHTTPTunnelMaxLineLength;
  int32_t httpTunnelMaxHeaderSize_ = kDefaultHTTPTunnelMaxHeaderSize;
  TTunnelStep tunnelStep_ = TTunnelStep::None;
  std::string tunnelStatusLine_;
};

}  // namespace corvandel::http
