#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "http/block_socket.h"
#include "http/detail/socket_layer.h"
#include "http/text_utils.h"

namespace corvandel::http {

namespace {

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kLF = "\n";
constexpr std::string_view kConnectMethod = "CONNECT ";
constexpr std::string_view kTunnelProtocol = " HTTP/1.0";
constexpr std::string_view kProxyAuthorization = "Proxy-Authorization: Basic ";
constexpr std::string_view kStatusLinePrefix = "HTTP/";
// "HTTP/1.x " is 9 characters; the status code starts at the 10th.
constexpr std::size_t kStatusClassIndex = 9;
constexpr std::size_t kMinStatusLineLength = 12;
// Answer lines count against the header limit with a two-byte end, as the
// lines of any answer do.
constexpr int64_t kCountedLineEnd = 2;

}  // namespace

// --- SOCKS ----------------------------------------------------------------------------

void TSocksBlockSocket::ConnectThroughSocks(const std::string&, const std::string&) {
  ConnectPlain(socksIP_, socksPort_);
  if (LastErrorCode() != 0) return;
  SetLastError(WSASYSNOTREADY);
  ReportError();
}

// --- TCP --------------------------------------------------------------------------------

TTCPBlockSocket::TTCPBlockSocket() : secureLayer_(DefaultSecureLayerClass()(*this)) {}

TTCPBlockSocket::~TTCPBlockSocket() {
  DetachHooks();
  onAfterConnect_ = nullptr;
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the base class still releases the handle.
  }
}

int TTCPBlockSocket::SocketType() const { return SOCK_STREAM; }
int TTCPBlockSocket::SocketProtocol() const { return IPPROTO_TCP; }

void TTCPBlockSocket::Close() {
  if (secureLayer_->SecureEnabled()) secureLayer_->SecureShutdown();
  if (IsOpen() && LastErrorCode() == 0) {
    ::shutdown(Handle(), SHUT_WR);
    DrainInput();
  }
  Abort();
}

void TTCPBlockSocket::Abort() {
  // The session belongs to the connection that goes; it must never be
  // taken up again by a later connection on the same descriptor number.
  secureLayer_->SecureAbort();
  TSocksBlockSocket::Abort();
}

void TTCPBlockSocket::ResetTunnel() {
  tunnelActive_ = false;
  tunnelStep_ = httpTunnelIP_.empty() ? TTunnelStep::None : TTunnelStep::Connect;
  tunnelStatusLine_.clear();
}

void TTCPBlockSocket::ConnectTo(const std::string& ip, const std::string& port) {
  ResetTunnel();
  if (!SocksIP().empty()) ConnectThroughSocks(ip, port);
  else if (!httpTunnelIP_.empty()) ConnectThroughTunnel(ip, port);
  else ConnectPlain(ip, port);
  if (LastErrorCode() == 0 && onAfterConnect_) onAfterConnect_(*this);
}

void TTCPBlockSocket::ConnectThroughTunnel(const std::string& ip, const std::string& port) {
  ConnectPlain(httpTunnelIP_, httpTunnelPort_);
  if (LastErrorCode() != 0) return;
  NegotiateTunnel(ip, port);
}

void TTCPBlockSocket::NegotiateTunnel(const std::string& ip, const std::string& port) {
  const std::string portNumber = std::to_string(
      ResolvePortNumber(port, SocketFamilyToSystem(Family()), SocketType(), SocketProtocol()));
  tunnelStep_ = TTunnelStep::Request;
  const std::string host = BracketedHost(ip);
  // The whole request in one send: the proxy sees it in one piece.
  std::string request;
  request += kConnectMethod;
  request += host + ":" + portNumber;
  request += kTunnelProtocol;
  request += kCRLF;
  if (!httpTunnelUser_.empty()) {
    request += kProxyAuthorization;
    request += Base64Encode(httpTunnelUser_ + ":" + httpTunnelPass_);
    request += kCRLF;
  }
  request += kCRLF;
  SendText(request);
  if (LastErrorCode() == 0) {
    tunnelStep_ = TTunnelStep::Answer;
    // The answer is held to the same bounds as any answer: the socket's
    // own limit stops a line that never ends once it is past the allowed
    // length by a packet, the exact length is checked once it is whole.
    const int32_t savedMaxLineLength = MaxLineLength();
    if (httpTunnelMaxLineLength_ > 0)
      SetMaxLineLength(static_cast<int32_t>(
          std::min<int64_t>(int64_t{httpTunnelMaxLineLength_} + kMaxPacketSize + 2, INT32_MAX)));
    int64_t headerBytes = 0;
    for (;;) {
      std::string line = ReceiveTerminated(httpTunnelTimeout_, kLF);
      if (LastErrorCode() == WSAENOBUFS) tunnelStep_ = TTunnelStep::LineTooLong;
      if (LastErrorCode() != 0) break;
      const std::size_t received = line.size();
      if (line.ends_with('\r')) line.pop_back();
      if (httpTunnelMaxLineLength_ > 0 && line.size() > static_cast<std::size_t>(httpTunnelMaxLineLength_)) {
        tunnelStep_ = TTunnelStep::LineTooLong;
        SetLastError(WSAENOBUFS);
        break;
      }
      headerBytes += static_cast<int64_t>(line.size()) + kCountedLineEnd;
      if (httpTunnelMaxHeaderSize_ > 0 && headerBytes > httpTunnelMaxHeaderSize_) {
        tunnelStep_ = TTunnelStep::HeaderBlockTooLarge;
        SetLastError(WSAENOBUFS);
        break;
      }
      if (line.starts_with(kStatusLinePrefix) && received >= kMinStatusLineLength) {
        tunnelActive_ = line[kStatusClassIndex] == '2';
        tunnelStatusLine_ = line;
      }
      if (line.empty()) break;
    }
    SetMaxLineLength(savedMaxLineLength);
  }
  if (LastErrorCode() == 0) tunnelStep_ = tunnelActive_ ? TTunnelStep::Open : TTunnelStep::Refused;
  if (LastErrorCode() == 0 && !tunnelActive_) SetLastError(WSASYSNOTREADY);
  tunnelRemoteIP_ = ip;
  tunnelRemotePort_ = portNumber;
  ReportError();
}

void TTCPBlockSocket::ConnectSecure() {
  ClearError();
  // A handshake that ended because a stop was requested reports the stop,
  // not a failure of the secure layer.
  if (!secureLayer_->SecureConnect())
    SetLastError(secureLayer_->LastError() == WSAECONNABORTED ? WSAECONNABORTED : WSASYSNOTREADY);
  ReportError();
}

int32_t TTCPBlockSocket::PendingBytes() {
  if (secureLayer_->SecureEnabled()) {
    const int32_t pending = secureLayer_->SecurePending();
    if (pending > 0) return std::min(pending, kMaxPacketSize);
  }
  return TBlockSocket::PendingBytes();
}

std::string TTCPBlockSocket::GetErrorDescEx() const {
  if (LastErrorCode() == WSASYSNOTREADY && secureLayer_->LastError() != 0)
    return secureLayer_->LastErrorDesc();
  return TBlockSocket::GetErrorDescEx();
}

std::string TTCPBlockSocket::RemoteAddressText() const {
  return tunnelActive_ ? tunnelRemoteIP_ : TBlockSocket::RemoteAddressText();
}

uint16_t TTCPBlockSocket::RemotePort() const {
  return tunnelActive_ ? static_cast<uint16_t>(ParseIntDef(tunnelRemotePort_, 0))
                       : TBlockSocket::RemotePort();
}

int32_t TTCPBlockSocket::TransportSend(const char* buffer, int32_t length) {
  if (!secureLayer_->SecureEnabled()) return TBlockSocket::TransportSend(buffer, length);
  ClearError();
  const int32_t sent = secureLayer_->SecureSend(buffer, length);
  if (sent < 0) SetLastError(WSASYSNOTREADY);
  return sent;
}

int32_t TTCPBlockSocket::TransportReceiveNow(char* buffer, int32_t length) {
  if (secureLayer_->SecureEnabled()) return TSocksBlockSocket::TransportReceiveNow(buffer, length);
  // One receive that does not wait takes what is there, where asking for
  // the count first would cost a second call into the system.
  ssize_t received;
  do {
    received = ::recv(Handle(), buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
  } while (received < 0 && errno == EINTR);
  return received > 0 ? static_cast<int32_t>(received) : 0;
}

int32_t TTCPBlockSocket::TransportReceive(char* buffer, int32_t length) {
  if (!secureLayer_->SecureEnabled()) return TBlockSocket::TransportReceive(buffer, length);
  ClearError();
  const int32_t received = secureLayer_->SecureReceive(buffer, length);
  if (received < 0) {
    SetLastError(WSASYSNOTREADY);
  } else if (received == 0) {
    const int resetBy = secureLayer_->PeerResetError();
    SetLastError(WSAECONNRESET, resetBy != 0 ? TErrorCause{TErrorOrigin::System, resetBy}
                                             : TErrorCause{TErrorOrigin::PeerClosed, 0});
  }
  return received;
}

}  // namespace corvandel::http
