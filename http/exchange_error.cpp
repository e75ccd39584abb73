#include "http/exchange_error.h"

namespace corvandel::http {

std::string_view ExchangeFailureText(TExchangeFailure failure) {
  switch (failure) {
    case TExchangeFailure::None: return "";
    case TExchangeFailure::NameNotResolved: return "name not resolved";
    case TExchangeFailure::ConnectFailed: return "connect failed";
    case TExchangeFailure::ConnectTimedOut: return "connect timed out";
    case TExchangeFailure::SendFailed: return "send failed or timed out";
    case TExchangeFailure::ReadTimedOut: return "read timed out";
    case TExchangeFailure::PeerClosed: return "peer closed the connection";
    case TExchangeFailure::ConnectionReset: return "connection reset by peer";
    case TExchangeFailure::LineTooLong: return "line too long";
    case TExchangeFailure::HeaderBlockTooLarge: return "header block too large";
    case TExchangeFailure::BodyTooLarge: return "body too large";
    case TExchangeFailure::ExchangeTimeExceeded: return "exchange time exceeded";
    case TExchangeFailure::ProxyRefused: return "proxy refused the tunnel";
    case TExchangeFailure::SecureLayerFailed: return "secure layer failed";
    case TExchangeFailure::Stopped: return "stopped";
  }
  return "";
}

std::string TExchangeError::Describe() const {
  std::string text(ExchangeFailureText(Reason));
  if (text.empty()) return text;
  // The proxy's own answer says more than the socket code that stands for it.
  if (Reason == TExchangeFailure::ProxyRefused)
    return text + ": " + (ProxyStatus.empty() ? std::string(kNoTunnelStatusText) : ProxyStatus);
  if (SocketCode != 0) {
    text += " (" + std::to_string(SocketCode);
    if (OrderlyClose) {
      text += ", ";
      text += kEndOfStreamText;
    } else {
      if (!SocketText.empty()) text += " " + SocketText;
      if (!SystemName.empty()) text += ", " + SystemName;
    }
    text += ")";
  }
  if (!Proxy.empty()) text = "proxy " + Proxy + ": " + text;
  return text;
}

}  // namespace corvandel::http
