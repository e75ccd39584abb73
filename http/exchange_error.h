#pragma once

// Why an HTTP exchange failed: one reason per cause, each with a text, and
// the socket's own code and text underneath (for example "connect failed"
// over 10061 "Connection refused").

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
  PeerClosed,
  LineTooLong,
  HeaderBlockTooLarge,
  BodyTooLarge,
  ExchangeTimeExceeded,
  ProxyRefused,  // the proxy or its tunnel
  SecureLayerFailed,
  Stopped,
};

// "connect failed", "read timed out", ...; "" for None.
std::string_view ExchangeFailureText(TExchangeFailure failure);

struct TExchangeError {
  TExchangeFailure Reason = TExchangeFailure::None;
  int32_t SocketCode = 0;
  std::string SocketText;

  explicit operator bool() const { return Reason != TExchangeFailure::None; }
  // The reason's text with the socket's code and text after it, e.g.
  // "connect failed (10061 Connection refused)"; "" when nothing failed.
  std::string Describe() const;
};

}  // namespace corvandel::http
