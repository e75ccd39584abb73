#pragma once

// One HTTP/1.x request and its whole response, read into memory.
//
//   THTTPSend http;
//   http.SetMimeType("text/xml");
//   http.Document().WriteText(body);
//   if (http.ExecuteRequest("post", "http://host/RPC2") && http.ResultCode() == 200)
//     ... read http.Document() ...
//
// Network trouble never raises: ExecuteRequest returns false, Error() says
// why, and Sock() keeps the socket's own error code and text.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/block_socket.h"
#include "http/exchange_error.h"
#include "http/net_client.h"
#include "http/response_parser.h"
#include "runtime/memory_stream.h"

namespace corvandel::http {

inline constexpr const char* kDefaultHTTPPort = "80";
inline constexpr int32_t kDefaultHTTPTimeout = 90000;
inline constexpr const char* kDefaultMimeType = "text/html";
inline constexpr const char* kDefaultProtocol = "1.0";
inline constexpr int32_t kDefaultKeepAliveTimeout = 300;
inline constexpr const char* kDefaultProxyPort = "8080";
inline constexpr const char* kDefaultUserAgent = "Mozilla/4.0 (compatible; Corvandel)";

// A body below this size leaves in the same send as the header block.
inline constexpr int64_t kSingleSendLimit = 65536;
// Asked of the socket for both directions.
inline constexpr int32_t kSocketBufferSize = 65536;

// Limits that keep a hostile or broken server from exhausting memory or
// holding a worker for ever. Breaking one fails the exchange with its own
// reason (line too long, header block too large, body too large, exchange
// time exceeded). Each is a property too, 0 meaning no limit.
//
// One status, header or chunk-size line; real ones stay far below 1 KiB.
inline constexpr int32_t kDefaultMaxLineLength = 64 * 1024;
// All status and header lines of one response; real blocks are a few hundred bytes.
inline constexpr int32_t kDefaultMaxHeaderSize = 256 * 1024;
// One response body with its chunk framing; a ping answer is a few hundred bytes.
inline constexpr int32_t kDefaultMaxBodySize = 4 * 1024 * 1024;
// Everything from connecting to the body's last byte: every connect, send,
// receive and wait. Well above the default Timeout, so that a slow but
// honest server still gets its full wait, but finite, so that a server that
// trickles one byte within each Timeout cannot hold the caller indefinitely.
inline constexpr int32_t kDefaultMaxExchangeTime = 5 * 60 * 1000;
// The most a connect waits for the peer's answer. A host that drops the
// attempt would otherwise hold it for the system's retries (over two
// minutes); any live server answers within a few seconds.
inline constexpr int32_t kDefaultConnectTimeout = 30 * 1000;

class THTTPSend : public TNetClient {
public:
  THTTPSend();
  // Works over the socket given, e.g. one whose peer lives in memory.
  explicit THTTPSend(std::unique_ptr<TTCPBlockSocket> sock);
  ~THTTPSend() override;

  // Sends the request for method (sent upper-cased) and url, with Document
  // as its body, and reads the response: Headers then holds the status
  // line(s), the response header lines and a final empty line, Document the
  // body positioned at 0. True when the request went out and the response
  // was read as framed; false when connecting, sending or receiving failed
  // or a limit was broken. ResultCode is 500 until a status line is parsed.
  bool ExecuteRequest(const std::string& method, const std::string& url);

  // Clears the range, Document and Headers, and sets MimeType back to its default.
  void ResetMessage();

  // Why the last ExecuteRequest failed; its Reason is None after a success.
  const TExchangeError& Error() const { return error_; }

  TTCPBlockSocket& Sock() { return *sock_; }
  const TTCPBlockSocket& Sock() const { return *sock_; }

  // Before the call, lines sent after the generated ones; after it, the response's.
  std::vector<std::string>& Headers() { return headers_; }
  const std::vector<std::string>& Headers() const { return headers_; }
  // Before the call the request body, after it the response body.
  runtime::TMemoryStream& Document() { return document_; }
  const runtime::TMemoryStream& Document() const { return document_; }
  // Entries name=value, sent with every request and updated from each response.
  std::vector<std::string>& Cookies() { return cookies_; }
  const std::vector<std::string>& Cookies() const { return cookies_; }

  // The request's content type; after the call the response's.
  const std::string& MimeType() const { return mimeType_; }
  void SetMimeType(std::string value) { mimeType_ = std::move(value); }
  // The version on the request line: "1.0", "1.1" or "0.9" (request line only).
  const std::string& Protocol() const { return protocol_; }
  void SetProtocol(std::string value) { protocol_ = std::move(value); }
  bool KeepAlive() const { return keepAlive_; }
  void SetKeepAlive(bool value) { keepAlive_ = value; }
  int32_t KeepAliveTimeout() const { return keepAliveTimeout_; }
  void SetKeepAliveTimeout(int32_t value) { keepAliveTimeout_ = value; }
  // Sends "Expect: 100-continue" (HTTP/1.1 with a body) and holds the body
  // back until the server agrees.
  bool Status100() const { return status100_; }
  void SetStatus100(bool value) { status100_ = value; }

  // An HTTP proxy; none while ProxyHost is empty. https goes through its tunnel.
  const std::string& ProxyHost() const { return proxyHost_; }
  void SetProxyHost(std::string value) { proxyHost_ = std::move(value); }
  const std::string& ProxyPort() const { return proxyPort_; }
  void SetProxyPort(std::string value) { proxyPort_ = std::move(value); }
  const std::string& ProxyUser() const { return proxyUser_; }
  void SetProxyUser(std::string value) { proxyUser_ = std::move(value); }
  const std::string& ProxyPass() const { return proxyPass_; }
  void SetProxyPass(std::string value) { proxyPass_ = std::move(value); }

  int32_t ResultCode() const { return resultCode_; }
  const std::string& ResultString() const { return resultString_; }

  // Not sent when empty.
  const std::string& UserAgent() const { return userAgent_; }
  void SetUserAgent(std::string value) { userAgent_ = std::move(value); }

  // Size of the last body part read by length.
  int32_t DownloadSize() const { return downloadSize_; }
  // Bytes handed to the socket by the last upload step.
  int32_t UploadSize() const { return uploadSize_; }

  // Byte range to ask for; none while both are 0 or less.
  int32_t RangeStart() const { return rangeStart_; }
  void SetRangeStart(int32_t value) { rangeStart_ = value; }
  int32_t RangeEnd() const { return rangeEnd_; }
  void SetRangeEnd(int32_t value) { rangeEnd_ = value; }

  // Writes ":port" on the "Host: " line when the port is not the scheme's
  // default (80 for http, 443 for https).
  bool AddPortNumberToHost() const { return addPortNumberToHost_; }
  void SetAddPortNumberToHost(bool value) { addPortNumberToHost_ = value; }

  int32_t MaxLineLength() const { return maxLineLength_; }
  void SetMaxLineLength(int32_t value) { maxLineLength_ = value; }
  int32_t MaxHeaderSize() const { return maxHeaderSize_; }
  void SetMaxHeaderSize(int32_t value) { maxHeaderSize_ = value; }
  int32_t MaxBodySize() const { return maxBodySize_; }
  void SetMaxBodySize(int32_t value) { maxBodySize_ = value; }
  // Milliseconds.
  int32_t MaxExchangeTime() const { return maxExchangeTime_; }
  void SetMaxExchangeTime(int32_t value) { maxExchangeTime_ = value; }
  // Milliseconds a connect may wait, within the exchange time; 0 leaves
  // only the exchange time.
  int32_t ConnectTimeout() const { return connectTimeout_; }
  void SetConnectTimeout(int32_t value) { connectTimeout_ = value; }

private:
  // Where in the exchange a socket error arose, which decides its reason.
  enum class TPhase { Bind, Connect, Secure, Send, Receive };

  void BuildRequestHeaders(const std::string& method, const std::string& protocol,
                           const std::string& host, const std::string& port, const std::string& uri,
                           const std::string& user, const std::string& password, bool usingProxy,
                           bool hasBody, bool expect, bool secure);
  std::string BuildHeaderBlock() const;
  bool SendRequest(bool expect, bool hasBody, std::string& savedStatus,
                   std::vector<std::string>& savedHeaderLines);
  bool ReadStatusLine(const std::string& savedStatus);
  bool ReadHeaderLines(std::vector<std::string> lines, bool usingProxy, bool& closeAfter, int64_t& size);
  bool EnsureConnection(bool needSecureLayer, const std::string& hostName);
  bool OpenConnection(bool needSecureLayer, const std::string& hostName);
  void ParseStatusLine(const std::string& line);
  bool ReadBodyUntilClose();
  bool ReadBodyByLength(int64_t size);
  bool ReadBodyChunked();
  void DropConnection();

  // A response line within the line limit; header lines also count against
  // the header limit.
  bool ReceiveResponseLine(std::string& line, bool headerLine);
  // True when the socket reports no error; otherwise records its reason.
  bool SocketOK();
  // Records why the exchange failed from the socket's error in this phase.
  void FailFromSocket();
  // The proxy as a reason names it: host:port, an IPv6 host in brackets.
  std::string ProxyText() const;
  // Records a broken limit; code is the socket code it stands for.
  void FailExchange(TExchangeFailure reason, int32_t code);
  // True when size more bytes still fit in the body.
  bool BodyHasRoom(int64_t size);

  std::unique_ptr<TTCPBlockSocket> sock_;
  TBodyFraming bodyFraming_ = BF_UntilClose;
  std::string connectedHost_;
  std::string connectedPort_;
  std::vector<std::string> headers_;
  runtime::TMemoryStream document_;
  std::string mimeType_ = kDefaultMimeType;
  std::string protocol_ = kDefaultProtocol;
  bool keepAlive_ = true;
  int32_t keepAliveTimeout_ = kDefaultKeepAliveTimeout;
  bool status100_ = false;
  std::string proxyHost_;
  std::string proxyPort_ = kDefaultProxyPort;
  std::string proxyUser_;
  std::string proxyPass_;
  int32_t resultCode_ = 0;
  std::string resultString_;
  std::string userAgent_ = kDefaultUserAgent;
  std::vector<std::string> cookies_;
  int32_t downloadSize_ = 0;
  int32_t uploadSize_ = 0;
  int32_t rangeStart_ = 0;
  int32_t rangeEnd_ = 0;
  bool addPortNumberToHost_ = true;

  int32_t maxLineLength_ = kDefaultMaxLineLength;
  int32_t maxHeaderSize_ = kDefaultMaxHeaderSize;
  int32_t maxBodySize_ = kDefaultMaxBodySize;
  int32_t maxExchangeTime_ = kDefaultMaxExchangeTime;
  int32_t connectTimeout_ = kDefaultConnectTimeout;
  // State of the exchange in progress.
  TExchangeError error_;
  TPhase phase_ = TPhase::Connect;
  // The exchange goes to a proxy, directly or through its tunnel.
  bool viaProxy_ = false;
  int64_t headerBytes_ = 0;
  int64_t framingBytes_ = 0;
};

}  // namespace corvandel::http
