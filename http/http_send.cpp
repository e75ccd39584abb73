#include "http/http_send.h"

#include <algorithm>
#include <limits>

#include "http/text_utils.h"
#include "runtime/ascii_case.h"

namespace corvandel::http {

namespace {

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kHTTPSProtocol = "HTTPS";
constexpr std::string_view kDefaultHTTPSPort = "443";
constexpr std::string_view kProtocol11 = "1.1";
constexpr std::string_view kProtocol09 = "0.9";
constexpr std::string_view kHeadMethod = "HEAD";
constexpr std::string_view kAnyPort = "0";

constexpr std::string_view kExpectLine = "Expect: 100-continue";
constexpr std::string_view kContentLengthLine = "Content-Length: ";
constexpr std::string_view kContentTypeLine = "Content-Type: ";
constexpr std::string_view kUserAgentLine = "User-Agent: ";
constexpr std::string_view kRangeLine = "Range: bytes=";
constexpr std::string_view kCookieLine = "Cookie: ";
constexpr std::string_view kCookieSeparator = "; ";
constexpr std::string_view kProxyPrefix = "Proxy-";
constexpr std::string_view kKeepAliveConnection = "Connection: keep-alive";
constexpr std::string_view kKeepAliveLine = "Keep-Alive: ";
constexpr std::string_view kCloseConnection = "Connection: close";
constexpr std::string_view kAuthorizationLine = "Authorization: Basic ";
constexpr std::string_view kProxyAuthorizationLine = "Proxy-Authorization: Basic ";
constexpr std::string_view kHostLine = "Host: ";
constexpr std::string_view kAsteriskURI = "/*";

constexpr int32_t kNoContentStatus = 204;
constexpr int32_t kNotModifiedStatus = 304;
constexpr int32_t kContinueStatus = 100;

// Lines are counted against the header and body limits with a two-byte end,
// whichever end they really had, so that empty lines cost something too.
constexpr int64_t kCountedLineEnd = 2;
// A single send covers at most this much of a large body.
constexpr int64_t kLargestSend = std::numeric_limits<int32_t>::max();

std::string Join(const std::vector<std::string>& list, std::string_view separator) {
  std::string text;
  for (const std::string& item : list) {
    if (!text.empty()) text += separator;
    text += item;
  }
  return text;
}

int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

}  // namespace

THTTPSend::THTTPSend() : THTTPSend(std::make_unique<TTCPBlockSocket>()) {}

THTTPSend::THTTPSend(std::unique_ptr<TTCPBlockSocket> sock) : sock_(std::move(sock)) {
  sock_->SetConvertLineEnd(true);
  sock_->SetSizeRecvBuffer(kSocketBufferSize);
  sock_->SetSizeSendBuffer(kSocketBufferSize);
  SetTargetPort(kDefaultHTTPPort);
  SetTimeout(kDefaultHTTPTimeout);
  ResetMessage();
}

THTTPSend::~THTTPSend() {
  // The connection goes first, while the buffers it might report into still exist.
  sock_.reset();
}

void THTTPSend::ResetMessage() {
  rangeStart_ = 0;
  rangeEnd_ = 0;
  document_.Clear();
  headers_.clear();
  mimeType_ = kDefaultMimeType;
}

bool THTTPSend::ExecuteRequest(const std::string& method, const std::string& url) {
  resultCode_ = 500;
  resultString_.clear();
  downloadSize_ = 0;
  uploadSize_ = 0;
  headerBytes_ = 0;
  framingBytes_ = 0;
  error_ = {};
  phase_ = TPhase::Connect;
  viaProxy_ = false;
  // One deadline bounds every connect, send, receive and wait of the exchange.
  if (maxExchangeTime_ > 0)
    sock_->SetDeadline(sock_->Now() + std::chrono::milliseconds(maxExchangeTime_));
  else
    sock_->ClearDeadline();
  struct TDeadlineEnd {
    TTCPBlockSocket& sock;
    ~TDeadlineEnd() { sock.ClearDeadline(); }
  } deadlineEnd{*sock_};
  // The socket counts everything gathered while it looks for a line end,
  // which may include up to one packet beyond it; the line itself is
  // checked exactly once it is complete.
  sock_->SetMaxLineLength(maxLineLength_ > 0 ? ClampToInt32(int64_t{maxLineLength_} + kMaxPacketSize + 2) : 0);
  // A proxy's answer to CONNECT is held to the limits of any answer.
  sock_->SetHTTPTunnelMaxLineLength(maxLineLength_);
  sock_->SetHTTPTunnelMaxHeaderSize(maxHeaderSize_);

  try {
    TURLParts parts = SplitURL(url);
    if (parts.User.empty()) {
      parts.User = UserName();
      parts.Password = Password();
    }

    const bool secure = runtime::UpperCase(parts.Protocol) == kHTTPSProtocol;
    bool tunnel = false;
    if (secure) {
      tunnel = !proxyHost_.empty();
      sock_->SetHTTPTunnelIP(proxyHost_);
      sock_->SetHTTPTunnelPort(proxyPort_);
      sock_->SetHTTPTunnelUser(proxyUser_);
      sock_->SetHTTPTunnelPass(proxyPass_);
    } else {
      sock_->SetHTTPTunnelIP({});
      sock_->SetHTTPTunnelPort({});
      sock_->SetHTTPTunnelUser({});
      sock_->SetHTTPTunnelPass({});
    }
    const bool usingProxy = !proxyHost_.empty() && !tunnel;
    viaProxy_ = !proxyHost_.empty();

    const bool hasBody = document_.Size() > 0;
    const bool expect = status100_ && hasBody && protocol_ == kProtocol11;

    BuildRequestHeaders(method, parts.Protocol, parts.Host, parts.Port, parts.RequestURI, parts.User,
                        parts.Password, usingProxy, hasBody, expect, secure);

    if (usingProxy) {
      SetTargetHost(proxyHost_);
      SetTargetPort(proxyPort_);
    } else {
      SetTargetHost(parts.Host);
      SetTargetPort(parts.Port);
    }

    if (!headers_.back().empty()) headers_.emplace_back();

    if (!EnsureConnection(secure, parts.Host)) {
      connectedHost_.clear();
      connectedPort_.clear();
      return false;
    }

    document_.SetPosition(0);
    std::string savedStatus;
    std::vector<std::string> savedHeaderLines;
    phase_ = TPhase::Send;
    if (!SendRequest(expect, hasBody, savedStatus, savedHeaderLines)) {
      DropConnection();
      return false;
    }
    // A final answer instead of "100 Continue" leaves the body unsent. A
    // peer may still read it as announced, and would then take the next
    // request on this connection for that body.
    const bool bodyHeldBack = expect && !savedStatus.empty();

    phase_ = TPhase::Receive;
    ResetMessage();
    int64_t size = -1;
    bodyFraming_ = BF_UntilClose;
    bool closeAfter = protocol_ != kProtocol11 || bodyHeldBack;
    bool result = ReadStatusLine(savedStatus);
    if (result && !headers_.empty())
      result = ReadHeaderLines(std::move(savedHeaderLines), usingProxy, closeAfter, size);

    if (result) {
      if (method != kHeadMethod && resultCode_ != kNoContentStatus && resultCode_ != kNotModifiedStatus) {
        switch (bodyFraming_) {
          case BF_UntilClose: result = ReadBodyUntilClose(); break;
          case BF_Length: result = ReadBodyByLength(size); break;
          case BF_Chunked: result = ReadBodyChunked(); break;
        }
      }
      document_.SetPosition(0);
      if (closeAfter) {
        sock_->Close();
        connectedHost_.clear();
        connectedPort_.clear();
      }
      CollectCookies(headers_, cookies_);
    }
    // What is left of a failed exchange may still arrive later; a kept
    // connection would hand it to the next request as its answer.
    if (!result) DropConnection();
    return result;
  } catch (const ESocketError&) {
    // Only when a caller asked the socket to raise.
    if (!error_) FailFromSocket();
    DropConnection();
    return false;
  }
}

void THTTPSend::BuildRequestHeaders(const std::string& method, const std::string& protocol,
                                    const std::string& host, const std::string& port,
                                    const std::string& uri, const std::string& user,
                                    const std::string& password, bool usingProxy, bool hasBody,
                                    bool expect, bool secure) {
  // Each line goes on top of the ones before, so they leave in the reverse
  // of the order in which they are made, ahead of the caller's own lines.
  const auto put = [this](std::string line) { headers_.insert(headers_.begin(), std::move(line)); };

  if (expect) put(std::string(kExpectLine));
  if (hasBody) put(std::string(kContentLengthLine) + std::to_string(document_.Size()));
  if (hasBody && !mimeType_.empty()) put(std::string(kContentTypeLine) + mimeType_);
  if (!userAgent_.empty()) put(std::string(kUserAgentLine) + userAgent_);
  if (rangeStart_ > 0 || rangeEnd_ > 0) {
    std::string range = std::string(kRangeLine) + std::to_string(rangeStart_) + "-";
    if (rangeEnd_ >= rangeStart_) range += std::to_string(rangeEnd_);
    put(std::move(range));
  }
  const std::string cookies = Join(cookies_, kCookieSeparator);
  if (!cookies.empty()) put(std::string(kCookieLine) + cookies);
  const std::string prefix(usingProxy ? kProxyPrefix : std::string_view{});
  if (keepAlive_) {
    put(prefix + std::string(kKeepAliveConnection));
    put(std::string(kKeepAliveLine) + std::to_string(keepAliveTimeout_));
  } else {
    put(prefix + std::string(kCloseConnection));
  }
  if (!user.empty()) put(std::string(kAuthorizationLine) + Base64Encode(user + ":" + password));
  if (usingProxy && !proxyUser_.empty())
    put(std::string(kProxyAuthorizationLine) + Base64Encode(proxyUser_ + ":" + proxyPass_));

  const std::string hostText = BracketedHost(host);
  const std::string_view defaultPort = secure ? kDefaultHTTPSPort : std::string_view(kDefaultHTTPPort);
  if (addPortNumberToHost_ && port != defaultPort) put(std::string(kHostLine) + hostText + ":" + port);
  else put(std::string(kHostLine) + hostText);

  std::string requestURI = usingProxy ? protocol + "://" + hostText + ":" + port + uri : uri;
  if (requestURI == kAsteriskURI) requestURI = "*";
  std::string requestLine = runtime::UpperCase(method) + " " + requestURI;
  if (protocol_ != kProtocol09) requestLine += " HTTP/" + protocol_;
  put(std::move(requestLine));
}

std::string THTTPSend::BuildHeaderBlock() const {
  std::string block;
  if (protocol_ == kProtocol09) {
    block = headers_.front();
    block += kCRLF;
    return block;
  }
  for (const std::string& line : headers_) {
    block += line;
    block += kCRLF;
  }
  return block;
}

bool THTTPSend::SendRequest(bool expect, bool hasBody, std::string& savedStatus,
                            std::vector<std::string>& savedHeaderLines) {
  const auto sendDocument = [this] {
    const int64_t size = document_.Size();
    uploadSize_ = ClampToInt32(size);
    for (int64_t sent = 0; sent < size && sock_->LastErrorCode() == 0; sent += kLargestSend) {
      const auto piece = static_cast<int32_t>(std::min(size - sent, kLargestSend));
      sock_->SendBytes(document_.Memory() + sent, piece);
    }
  };

  const std::string block = BuildHeaderBlock();
  if (expect) {
    sock_->SendText(block);
    if (!SocketOK()) return false;
    phase_ = TPhase::Receive;
    std::string line;
    do {
      if (!ReceiveResponseLine(line, true)) return false;
    } while (line.empty());
    ParseStatusLine(line);
    savedStatus = line;
    // Kept: when the answer is final rather than interim, these are its headers.
    for (;;) {
      std::string header;
      if (!ReceiveResponseLine(header, true)) return false;
      savedHeaderLines.push_back(header);
      if (header.empty()) break;
    }
    if (resultCode_ >= 100 && resultCode_ <= 199) {
      savedStatus.clear();
      savedHeaderLines.clear();
      phase_ = TPhase::Send;
      sendDocument();
    }
  } else if (hasBody && document_.Size() < kSingleSendLimit) {
    std::string text = block;
    text += document_.View();
    uploadSize_ = static_cast<int32_t>(text.size());
    sock_->SendText(text);
  } else if (hasBody) {
    sock_->SendText(block);
    if (sock_->LastErrorCode() == 0) sendDocument();
  } else {
    sock_->SendText(block);
  }
  return SocketOK();
}

bool THTTPSend::ReadStatusLine(const std::string& savedStatus) {
  if (!savedStatus.empty()) {
    headers_.push_back(savedStatus);
    return true;
  }
  do {
    std::string line;
    do {
      if (!ReceiveResponseLine(line, true)) return false;
    } while (line.empty());
    if (IsStatusLine(line)) {
      headers_.push_back(line);
      ParseStatusLine(line);
    } else {
      // No status line at all: what came is already the body.
      AppendTextToStream(document_, line);
      AppendTextToStream(document_, kCRLF);
      resultCode_ = 0;
    }
  } while (resultCode_ == kContinueStatus);
  return true;
}

bool THTTPSend::ReadHeaderLines(std::vector<std::string> lines, bool usingProxy, bool& closeAfter,
                                int64_t& size) {
  bool result = true;
  if (lines.empty()) {
    for (;;) {
      std::string line;
      result = ReceiveResponseLine(line, true);
      lines.push_back(line);
      if (!result || line.empty()) break;
    }
  }
  TResponseHead head;
  head.Framing = bodyFraming_;
  head.ContentLength = size;
  head.CloseAfter = closeAfter;
  head.MimeType = mimeType_;
  InterpretHeaderLines(lines, usingProxy, head);
  bodyFraming_ = head.Framing;
  size = head.ContentLength;
  closeAfter = head.CloseAfter;
  mimeType_ = std::move(head.MimeType);
  for (std::string& line : head.Lines) headers_.push_back(std::move(line));
  return result;
}

bool THTTPSend::EnsureConnection(bool needSecureLayer, const std::string& hostName) {
  // Anything readable on an idle kept connection, or left over from the
  // last answer, means the peer closed it or it is out of step.
  if (sock_->IsOpen() && connectedHost_ == TargetHost() && connectedPort_ == TargetPort() &&
      sock_->PendingInput().empty() && !sock_->WaitReadable(0) && sock_->LastErrorCode() == 0)
    return true;
  return OpenConnection(needSecureLayer, hostName);
}

bool THTTPSend::OpenConnection(bool needSecureLayer, const std::string& hostName) {
  phase_ = TPhase::Bind;
  sock_->Close();
  sock_->BindTo(IPInterface(), std::string(kAnyPort));
  if (!SocketOK()) return false;
  phase_ = TPhase::Connect;
  sock_->SetConnectTimeout(connectTimeout_);
  sock_->ConnectTo(TargetHost(), TargetPort());
  if (!SocketOK()) return false;
  if (needSecureLayer) {
    phase_ = TPhase::Secure;
    sock_->SecureLayer().HostName = hostName;
    sock_->SecureLayer().Port = TargetPort();
    sock_->SecureLayer().Timeout = Timeout();
    sock_->ConnectSecure();
    if (!SocketOK()) return false;
  }
  connectedHost_ = TargetHost();
  connectedPort_ = TargetPort();
  return true;
}

void THTTPSend::ParseStatusLine(const std::string& line) {
  TStatusLine status = http::ParseStatusLine(line);
  resultCode_ = status.Code;
  resultString_ = std::move(status.Reason);
}

bool THTTPSend::ReadBodyUntilClose() {
  for (;;) {
    const std::string packet = sock_->ReceivePacket(Timeout());
    if (sock_->LastErrorCode() != 0) break;
    if (!BodyHasRoom(static_cast<int64_t>(packet.size()))) return false;
    AppendTextToStream(document_, packet);
  }
  if (sock_->LastErrorCode() != WSAECONNRESET) return SocketOK();
  sock_->ClearError();
  return true;
}

bool THTTPSend::ReadBodyByLength(int64_t size) {
  if (size < 1) return true;
  downloadSize_ = ClampToInt32(size);
  if (!BodyHasRoom(size)) return false;
  // Block by block, each whole block kept once it is complete.
  const int64_t block = std::max(sock_->SendMaxChunk(), 1);
  for (int64_t left = size; left > 0;) {
    const auto piece = static_cast<int32_t>(std::min(left, block));
    const std::string text = sock_->ReceiveFixedText(piece, Timeout());
    if (sock_->LastErrorCode() != 0) break;
    AppendTextToStream(document_, text);
    left -= piece;
  }
  document_.Seek(0, runtime::TSeekOrigin::End);
  return SocketOK();
}

bool THTTPSend::ReadBodyChunked() {
  for (;;) {
    std::string line;
    if (!ReceiveResponseLine(line, false)) return false;
    // The empty line after each chunk's data.
    if (line.empty()) continue;
    const int32_t size = ParseChunkSize(line);
    if (size == 0) return true;
    if (!ReadBodyByLength(size)) return false;
  }
}

void THTTPSend::DropConnection() {
  if (sock_->IsOpen()) sock_->Abort();
  connectedHost_.clear();
  connectedPort_.clear();
}

bool THTTPSend::ReceiveResponseLine(std::string& line, bool headerLine) {
  line = sock_->ReceiveLine(Timeout());
  if (!SocketOK()) return false;
  if (maxLineLength_ > 0 && line.size() > static_cast<std::size_t>(maxLineLength_)) {
    FailExchange(TExchangeFailure::LineTooLong, WSAENOBUFS);
    return false;
  }
  const int64_t counted = static_cast<int64_t>(line.size()) + kCountedLineEnd;
  if (!headerLine) {
    framingBytes_ += counted;
    return BodyHasRoom(0);
  }
  headerBytes_ += counted;
  if (maxHeaderSize_ > 0 && headerBytes_ > maxHeaderSize_) {
    FailExchange(TExchangeFailure::HeaderBlockTooLarge, WSAENOBUFS);
    return false;
  }
  return true;
}

bool THTTPSend::SocketOK() {
  if (sock_->LastErrorCode() == 0) return true;
  FailFromSocket();
  return false;
}

void THTTPSend::FailFromSocket() {
  const int32_t code = sock_->LastErrorCode();
  const TErrorCause cause = sock_->LastErrorCause();
  const bool connecting = phase_ == TPhase::Connect;
  // Everything of a CONNECT after the proxy took the connection.
  const TTunnelStep step = connecting && !sock_->HTTPTunnelIP().empty() ? sock_->TunnelStep() : TTunnelStep::None;
  using enum TExchangeFailure;
  // A stream that ended early: an orderly close, or a reset the system reported.
  const TExchangeFailure ended = cause.Origin == TErrorOrigin::System ? ConnectionReset : PeerClosed;
  TExchangeFailure reason = PeerClosed;
  if (code == WSAECONNABORTED) {
    reason = Stopped;
  } else if ((code == WSAETIMEDOUT || code == WSASYSNOTREADY) && sock_->DeadlinePassed()) {
    // Also a secure layer whose wait ran into the deadline.
    reason = ExchangeTimeExceeded;
  } else if (step != TTunnelStep::None && step != TTunnelStep::Connect) {
    switch (step) {
      case TTunnelStep::Request: reason = SendFailed; break;
      case TTunnelStep::LineTooLong: reason = LineTooLong; break;
      case TTunnelStep::HeaderBlockTooLarge: reason = HeaderBlockTooLarge; break;
      case TTunnelStep::Refused: reason = ProxyRefused; break;
      default:
        if (code == WSAETIMEDOUT) reason = ReadTimedOut;
        else if (code == WSAENOBUFS) reason = LineTooLong;
        else if (code == WSAECONNRESET) reason = ended;
        else reason = ConnectFailed;
        break;
    }
  } else {
    switch (phase_) {
      case TPhase::Bind: reason = ConnectFailed; break;
      case TPhase::Connect:
        if (code >= WSAHOST_NOT_FOUND && code <= WSANO_DATA) reason = NameNotResolved;
        else if (code == WSAETIMEDOUT) reason = ConnectTimedOut;
        else if (code == WSASYSNOTREADY) reason = ProxyRefused;
        else reason = ConnectFailed;
        break;
      case TPhase::Secure: reason = SecureLayerFailed; break;
      case TPhase::Send: reason = SendFailed; break;
      case TPhase::Receive:
        if (code == WSAETIMEDOUT) reason = ReadTimedOut;
        else if (code == WSAENOBUFS) reason = LineTooLong;
        else if (code == WSASYSNOTREADY) reason = SecureLayerFailed;
        else if (code == WSAECONNRESET) reason = ended;
        else reason = PeerClosed;
        break;
    }
  }
  error_ = {};
  error_.Reason = reason;
  error_.SocketCode = code;
  error_.SocketText = sock_->LastErrorText();
  error_.SystemName = std::string(ErrorCauseName(cause));
  error_.OrderlyClose = code == WSAECONNRESET && cause.Origin == TErrorOrigin::PeerClosed;
  // Whatever went wrong before the connection to the proxy stood, or in
  // the CONNECT after it, went wrong at the proxy.
  if (connecting && viaProxy_) error_.Proxy = ProxyText();
  if (reason == ProxyRefused && !sock_->TunnelStatusLine().empty()) {
    const TStatusLine status = http::ParseStatusLine(sock_->TunnelStatusLine());
    error_.ProxyStatus = std::to_string(status.Code);
    if (!status.Reason.empty()) error_.ProxyStatus += " " + status.Reason;
  }
}

std::string THTTPSend::ProxyText() const {
  return BracketedHost(proxyHost_) + ":" + proxyPort_;
}

void THTTPSend::FailExchange(TExchangeFailure reason, int32_t code) {
  error_ = {};
  error_.Reason = reason;
  error_.SocketCode = code;
  error_.SocketText = TBlockSocket::GetErrorDesc(code);
}

bool THTTPSend::BodyHasRoom(int64_t size) {
  if (maxBodySize_ <= 0 || document_.Size() + framingBytes_ + size <= maxBodySize_) return true;
  FailExchange(TExchangeFailure::BodyTooLarge, WSAENOBUFS);
  return false;
}

}  // namespace corvandel::http
