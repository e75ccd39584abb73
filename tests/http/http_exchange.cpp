#include "http_exchange.h"

#include <sys/socket.h>

namespace corvandel::http::testing {

std::string WithPort(std::string text, const std::string& port) {
  constexpr std::string_view kPlaceholder = "{port}";
  for (std::size_t at = text.find(kPlaceholder); at != std::string::npos; at = text.find(kPlaceholder, at))
    text.replace(at, kPlaceholder.size(), port);
  return text;
}

namespace {

// What the client holds after its exchange.
void TakeResponse(const THTTPSend& http, TExchangeOutcome& outcome) {
  outcome.Code = http.ResultCode();
  outcome.Reason = http.ResultString();
  outcome.Document = http.Document().ToString();
  outcome.MimeType = http.MimeType();
  outcome.Headers = http.Headers();
  outcome.Error = http.Sock().LastErrorCode();
  outcome.Failure = http.Error();
}

}  // namespace

TExchangeOutcome RunExchange(THTTPSend& http, const std::vector<TScript>& scripts, const std::string& method,
                             const std::string& url, std::size_t pieceSize, const TSetup& setup) {
  std::vector<TScript> cut;
  for (const TScript& script : scripts) {
    TScript pieces;
    for (const TStep& step : script) {
      if (step.Kind == TStep::Send && pieceSize > 0) AppendPieces(pieces, step.Bytes, pieceSize);
      else pieces.push_back(step);
    }
    cut.push_back(std::move(pieces));
  }
  TScriptServer server(AF_INET, cut, pieceSize > 0);
  TExchangeOutcome outcome;
  if (!server.Listening()) return outcome;
  const std::string port = server.PortText();
  outcome.Port = port;
  if (setup) setup(http, port);
  const THookMonitor pacing = server.PacingMonitor();
  http.Sock().SetOnMonitor([&outcome, &pacing](TBlockSocket& sender, bool writing, const void* buffer,
                                               int32_t length) {
    if (writing) outcome.Sent.emplace_back(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
    pacing(sender, writing, buffer, length);
  });
  outcome.Result = http.ExecuteRequest(method, WithPort(url, port));
  TakeResponse(http, outcome);
  // The server waits for the client to go before it reports what it read.
  http.Sock().Abort();
  http.Sock().SetOnMonitor(nullptr);
  server.Stop();
  outcome.Received = server.Received();
  return outcome;
}

TExchangeOutcome RunInMemory(const std::vector<TPeerScript>& scripts, const std::string& method,
                             const std::string& url, const std::function<void(THTTPSend&)>& setup) {
  auto owned = std::make_unique<TMemoryBlockSocket>(scripts);
  TMemoryBlockSocket& sock = *owned;
  THTTPSend http(std::move(owned));
  if (setup) setup(http);
  TExchangeOutcome outcome;
  outcome.Result = http.ExecuteRequest(method, url);
  TakeResponse(http, outcome);
  outcome.Received = sock.Written();
  return outcome;
}

std::vector<std::pair<std::string, std::vector<std::string>>> Splittings(const std::string& bytes) {
  std::vector<std::pair<std::string, std::vector<std::string>>> ways;
  ways.push_back({"whole", {bytes}});
  for (std::size_t at = 1; at < bytes.size(); ++at)
    ways.push_back({"cut at " + std::to_string(at), {bytes.substr(0, at), bytes.substr(at)}});
  for (std::size_t piece = 1; piece <= 5; ++piece) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += piece) pieces.push_back(bytes.substr(at, piece));
    ways.push_back({"pieces of " + std::to_string(piece), std::move(pieces)});
  }
  return ways;
}

TExchangeOutcome RunExchange(const TSetup& setup, const std::vector<TScript>& scripts,
                             const std::string& method, const std::string& url, std::size_t pieceSize) {
  THTTPSend http;
  return RunExchange(http, scripts, method, url, pieceSize, setup);
}

}  // namespace corvandel::http::testing
