#include "http/http_send.h"

#include <algorithm>
#include <limits>

#include "http/text_utils.h"
#include "runtime/ascii_case.h"

namespace corvandel::http {

namespace {

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kHTTPSProtocol = "HTTPS";
constexpr std::string_view kStatusLinePrefix = "HTTP/";
constexpr std::string_view kProtocol11 = "1.1";
constexpr std::string_view kProtocol09 = "0.9";
constexpr std::string_view kHeadMethod = "HEAD";
constexpr std::string_view kAnyPort = "0";
constexpr std::string_view kIPv6Open = "[";
constexpr std::string_view kIPv6Close = "]";

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

// Response headers, matched upper-cased at the start of a line.
constexpr std::string_view kContentLengthHeader = "CONTENT-LENGTH:";
constexpr std::string_view kContentTypeHeader = "CONTENT-TYPE:";
constexpr std::string_view kTransferEncodingHeader = "TRANSFER-ENCODING:";
constexpr std::string_view kChunkedCoding = "CHUNKED";
constexpr std::string_view kConnectionHeader = "CONNECTION:";
constexpr std::string_view kProxyConnectionHeader = "PROXY-CONNECTION:";
constexpr std::string_view kCloseToken = "CLOSE";
constexpr std::string_view kSetCookieHeader = "set-cookie:";

constexpr int32_t kNoContentStatus = 204;
constexpr int32_t kNotModifiedStatus = 304;
constexpr int32_t kContinueStatus = 100;

// Lines are counted against the header and body limits with a two-byte end,
// whichever end they really had, so that empty lines cost something too.
constexpr int64_t kCountedLineEnd = 2;
// A single send covers at most this much of a large body.
constexpr int64_t kLargestSend = std::numeric_limits<int32_t>::max();

// The client's socket may report the client's own limits as socket errors.
class TExchangeSocket final : public TTCPBlockSocket {
public:
  void Fail(int32_t code) {
    SetLastError(code);
    ReportError();
  }
};

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The text after the first blank, or the whole line without one, trimmed.
std::string HeaderValue(const std::string& line) { return Trim(TextAfter(line, " ")); }

// Sets the value of the entry for name (matched regardless of ASCII case)
// in a list of name=value entries; an empty value removes the entry.
void SetNamedValue(std::vector<std::string>& list, const std::string& name, const std::string& value) {
  const std::string key = runtime::LowerCase(name);
  const auto entry = std::find_if(list.begin(), list.end(), [&key](const std::string& item) {
    return runtime::LowerCase(TextBefore(item, "=")) == key;
  });
  if (value.empty()) {
    if (entry != list.end()) list.erase(entry);
  } else if (entry != list.end()) {
    *entry = name + "=" + value;
  } else {
    list.push_back(name + "=" + value);
  }
}

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

THTTPSend::THTTPSend() : sock_(std::make_unique<TExchangeSocket>()) {
  sock_->SetConvertLineEnd(true);
  // Each read's wait then bounds the whole line or block, which is what
  // lets the exchange's time limit hold against a trickling server.
  sock_->SetInterPacketTimeout(false);
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
  hasDeadline_ = maxExchangeTime_ > 0;
  deadline_ = TClock::now() + std::chrono::milliseconds(maxExchangeTime_);
  // The socket counts everything gathered while it looks for a line end,
  // which may include up to one packet beyond it; the line itself is
  // checked exactly once it is complete.
  sock_->SetMaxLineLength(maxLineLength_ > 0 ? ClampToInt32(int64_t{maxLineLength_} + kMaxPacketSize + 2) : 0);

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

    const bool hasBody = document_.Size() > 0;
    const bool expect = status100_ && hasBody && protocol_ == kProtocol11;

    BuildRequestHeaders(method, parts.Protocol, parts.Host, parts.Port, parts.RequestURI, parts.User,
                        parts.Password, usingProxy, hasBody, expect);

    if (usingProxy) {
      SetTargetHost(proxyHost_);
      SetTargetPort(proxyPort_);
    } else {
      SetTargetHost(parts.Host);
      SetTargetPort(parts.Port);
    }

    if (!headers_.back().empty()) headers_.emplace_back();

    if (!EnsureConnection(secure)) {
      connectedHost_.clear();
      connectedPort_.clear();
      return false;
    }

    document_.SetPosition(0);
    std::string savedStatus;
    std::vector<std::string> savedHeaderLines;
    if (!SendRequest(expect, hasBody, savedStatus, savedHeaderLines)) {
      DropConnection();
      return false;
    }

    ResetMessage();
    int64_t size = -1;
    bodyFraming_ = BF_UntilClose;
    bool closeAfter = protocol_ != kProtocol11;
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
      CollectCookies();
    }
    // What is left of a failed exchange may still arrive later; a kept
    // connection would hand it to the next request as its answer.
    if (!result) DropConnection();
    return result;
  } catch (const ESocketError&) {
    // Only when a caller asked the socket to raise.
    DropConnection();
    return false;
  }
}

void THTTPSend::BuildRequestHeaders(const std::string& method, const std::string& protocol,
                                    const std::string& host, const std::string& port,
                                    const std::string& uri, const std::string& user,
                                    const std::string& password, bool usingProxy, bool hasBody,
                                    bool expect) {
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

  const std::string hostText =
      IsIPv6Literal(host) ? std::string(kIPv6Open) + host + std::string(kIPv6Close) : host;
  if (addPortNumberToHost_ && port != kDefaultHTTPPort) put(std::string(kHostLine) + hostText + ":" + port);
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
    if (sock_->LastErrorCode() != 0) return false;
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
  return sock_->LastErrorCode() == 0;
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
    if (StartsWith(runtime::UpperCase(line), kStatusLinePrefix)) {
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
  for (std::size_t index = 0; index < lines.size();) {
    std::string line = NextHeaderLine(lines, index);
    const std::string upper = runtime::UpperCase(line);
    if (StartsWith(upper, kContentLengthHeader)) {
      size = ParseIntDef(HeaderValue(line), -1);
      if (size != -1 && bodyFraming_ == BF_UntilClose) bodyFraming_ = BF_Length;
    } else if (StartsWith(upper, kContentTypeHeader)) {
      mimeType_ = HeaderValue(line);
    } else if (StartsWith(upper, kTransferEncodingHeader)) {
      if (HeaderValue(upper).find(kChunkedCoding) != std::string::npos) bodyFraming_ = BF_Chunked;
    } else if (!usingProxy && StartsWith(upper, kConnectionHeader)) {
      if (upper.find(kCloseToken) != std::string::npos) closeAfter = true;
    } else if (usingProxy && StartsWith(upper, kProxyConnectionHeader)) {
      if (upper.find(kCloseToken) != std::string::npos) closeAfter = true;
    }
    headers_.push_back(std::move(line));
  }
  return result;
}

bool THTTPSend::EnsureConnection(bool needSecureLayer) {
  // Anything readable on an idle kept connection, or left over from the
  // last answer, means the peer closed it or it is out of step.
  if (sock_->Handle() != INVALID_SOCKET && connectedHost_ == TargetHost() && connectedPort_ == TargetPort() &&
      sock_->PendingInput().empty() && !sock_->WaitReadable(0))
    return true;
  return OpenConnection(needSecureLayer);
}

bool THTTPSend::OpenConnection(bool needSecureLayer) {
  sock_->Close();
  sock_->BindTo(IPInterface(), std::string(kAnyPort));
  if (sock_->LastErrorCode() != 0) return false;
  sock_->ConnectTo(TargetHost(), TargetPort());
  if (sock_->LastErrorCode() != 0) return false;
  if (needSecureLayer) {
    sock_->ConnectSecure();
    if (sock_->LastErrorCode() != 0) return false;
  }
  connectedHost_ = TargetHost();
  connectedPort_ = TargetPort();
  return true;
}

void THTTPSend::ParseStatusLine(const std::string& line) {
  const std::string s = Trim(TextAfter(line, " "));
  resultCode_ = ParseIntDef(Trim(TextBefore(s, " ")), 0);
  const std::string reason = Trim(TextAfter(s, " "));
  resultString_ = reason == s ? std::string() : reason;
}

bool THTTPSend::ReadBodyUntilClose() {
  for (;;) {
    int32_t timeout = 0;
    if (!NextReadTimeout(timeout)) return false;
    const std::string packet = sock_->ReceivePacket(timeout);
    if (sock_->LastErrorCode() != 0) break;
    if (!BodyHasRoom(static_cast<int64_t>(packet.size()))) return false;
    AppendTextToStream(document_, packet);
  }
  if (sock_->LastErrorCode() != WSAECONNRESET) return false;
  sock_->ClearError();
  return true;
}

bool THTTPSend::ReadBodyByLength(int64_t size) {
  if (size < 1) return true;
  downloadSize_ = ClampToInt32(size);
  if (!BodyHasRoom(size)) return false;
  // Block by block, each whole block kept once it is complete, with the
  // wait for each cut to what is left of the exchange.
  const int64_t block = std::max(sock_->SendMaxChunk(), 1);
  for (int64_t left = size; left > 0;) {
    const auto piece = static_cast<int32_t>(std::min(left, block));
    int32_t timeout = 0;
    if (!NextReadTimeout(timeout)) return false;
    const std::string text = sock_->ReceiveFixedText(piece, timeout);
    if (sock_->LastErrorCode() != 0) break;
    AppendTextToStream(document_, text);
    left -= piece;
  }
  document_.Seek(0, runtime::TSeekOrigin::End);
  return sock_->LastErrorCode() == 0;
}

bool THTTPSend::ReadBodyChunked() {
  for (;;) {
    std::string line;
    if (!ReceiveResponseLine(line, false)) break;
    // The empty line after each chunk's data.
    if (line.empty()) continue;
    const std::string sizeText = Trim(TextBefore(Trim(TextBefore(line, " ")), ";"));
    const int32_t size = ParseIntDef("$" + sizeText, 0);
    if (size == 0) break;
    if (!ReadBodyByLength(size)) break;
  }
  return sock_->LastErrorCode() == 0;
}

void THTTPSend::CollectCookies() {
  for (const std::string& line : headers_) {
    if (!StartsWith(runtime::LowerCase(line), kSetCookieHeader)) continue;
    const std::string s = Trim(TextBefore(TextAfter(line, ":"), ";"));
    SetNamedValue(cookies_, Trim(TextBefore(s, "=")), Trim(TextAfter(s, "=")));
  }
}

void THTTPSend::DropConnection() {
  if (sock_->Handle() != INVALID_SOCKET) sock_->Abort();
  connectedHost_.clear();
  connectedPort_.clear();
}

bool THTTPSend::NextReadTimeout(int32_t& timeout) {
  timeout = Timeout();
  if (!hasDeadline_) return true;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - TClock::now()).count();
  if (left <= 0) {
    FailExchange(WSAETIMEDOUT);
    return false;
  }
  if (timeout < 0 || left < timeout) timeout = static_cast<int32_t>(left);
  return true;
}

bool THTTPSend::ReceiveResponseLine(std::string& line, bool headerLine) {
  int32_t timeout = 0;
  if (!NextReadTimeout(timeout)) return false;
  line = sock_->ReceiveLine(timeout);
  if (sock_->LastErrorCode() != 0) return false;
  if (maxLineLength_ > 0 && line.size() > static_cast<std::size_t>(maxLineLength_)) {
    FailExchange(WSAENOBUFS);
    return false;
  }
  const int64_t counted = static_cast<int64_t>(line.size()) + kCountedLineEnd;
  if (!headerLine) {
    framingBytes_ += counted;
    return BodyHasRoom(0);
  }
  headerBytes_ += counted;
  if (maxHeaderSize_ > 0 && headerBytes_ > maxHeaderSize_) {
    FailExchange(WSAENOBUFS);
    return false;
  }
  return true;
}

void THTTPSend::FailExchange(int32_t code) { static_cast<TExchangeSocket&>(*sock_).Fail(code); }

bool THTTPSend::BodyHasRoom(int64_t size) {
  if (maxBodySize_ <= 0 || document_.Size() + framingBytes_ + size <= maxBodySize_) return true;
  FailExchange(WSAENOBUFS);
  return false;
}

}  // namespace corvandel::http
