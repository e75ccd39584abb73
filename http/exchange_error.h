#pragma once

// Why an HTTP exchange failed: one reason per cause, each with a text, and
// the socket's own code and text underneath (for example "connect failed"
// over 10061 "Connection refused"), with the system's name for the error
// where there is one ("ECONNREFUSED", "EAI_NONAME"). A failure at a proxy
// names the proxy; credentials are never part of it.

#include <cstdint>
#include <string>
#include <string_view>

namespace corvandel::http {

enum class TExchangeFailure {
  None,
  NameNotResolved,
  ConnectFailed,
  ConnectTimedOut,
  SendFailed,  // failed or timed out
  ReadTimedOut,
  PeerClosed,       // an orderly close before the answer was complete
  ConnectionReset,  // the peer reset the connection
  LineTooLong,
  HeaderBlockTooLarge,
  BodyTooLarge,
  ExchangeTimeExceeded,
  ProxyRefused,  // the proxy answered CONNECT without a 2xx status
  SecureLayerFailed,
  Stopped,
};

// "connect failed", "read timed out", ...; "" for None.
std::string_view ExchangeFailureText(TExchangeFailure failure);

// Stands in the place of the socket's text when the peer closed in order:
// the socket's own text for that code speaks of a reset.
inline constexpr std::string_view kEndOfStreamText = "end of stream";
// What ProxyRefused says when the proxy sent no status line at all.
inline constexpr std::string_view kNoTunnelStatusText = "no status line in the answer";

struct TExchangeError {
  TExchangeFailure Reason = TExchangeFailure::None;
  int32_t SocketCode = 0;
  std::string SocketText;
  // The system's symbolic name for the error, e.g. "ECONNREFUSED"; "" when
  // the code is the socket's own.
  std::string SystemName;
  // True when the peer ended the stream in order (SocketCode is then 10054).
  bool OrderlyClose = false;
  // "host:port" of the proxy when the failure arose there; "" otherwise.
  std::string Proxy;
  // For ProxyRefused: the proxy's status code and reason phrase.
  std::string ProxyStatus;

  explicit operator bool() const { return Reason != TExchangeFailure::None; }
  // The reason's text with the socket's code and text after it, e.g.
  // "connect failed (10061 Connection refused, ECONNREFUSED)", behind
  // "proxy host:port: " when the proxy failed; "" when nothing failed.
  std::string Describe() const;
};

}  // namespace corvandel::http
