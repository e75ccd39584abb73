#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

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

void TTCPBlockSocket::ConnectTo(const std::string& ip, const std::string& port) {
  tunnelActive_ = false;
  if (!SocksIP().empty()) ConnectThroughSocks(ip, port);
  else if (!httpTunnelIP_.empty()) ConnectThroughTunnel(ip, port);
  else ConnectPlain(ip, port);
  if (LastErrorCode() == 0 && onAfterConnect_) onAfterConnect_(*this);
}

void TTCPBlockSocket::ConnectThroughTunnel(const std::string& ip, const std::string& port) {
  const std::string portNumber = std::to_string(
      ResolvePortNumber(port, SocketFamilyToSystem(Family()), SocketType(), SocketProtocol()));
  ConnectPlain(httpTunnelIP_, httpTunnelPort_);
  if (LastErrorCode() != 0) return;
  tunnelActive_ = false;
  const std::string host = IsIPv6Literal(ip) ? "[" + ip + "]" : ip;
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
    for (;;) {
      const std::string line = ReceiveTerminated(httpTunnelTimeout_, kLF);
      if (LastErrorCode() != 0) break;
      if (line.starts_with(kStatusLinePrefix) && line.size() >= kMinStatusLineLength)
        tunnelActive_ = line[kStatusClassIndex] == '2';
      if (line.empty() || line == "\r") break;
    }
  }
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

int32_t TTCPBlockSocket::TransportReceive(char* buffer, int32_t length) {
  if (!secureLayer_->SecureEnabled()) return TBlockSocket::TransportReceive(buffer, length);
  ClearError();
  const int32_t received = secureLayer_->SecureReceive(buffer, length);
  if (received < 0) SetLastError(WSASYSNOTREADY);
  else if (received == 0) SetLastError(WSAECONNRESET);
  return received;
}

}  // namespace corvandel::http
