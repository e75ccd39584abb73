#pragma once

// Runs one THTTPSend exchange against a scripted server and gathers what
// both ends saw, so that the HTTP tests can compare whole outcomes.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "http/http_send.h"
#include "script_server.h"

namespace corvandel::http::testing {

// Expected to run out: short, to keep the suite fast.
inline constexpr int32_t kExpiringTimeout = 300;
// Not expected to run out: only a fault waits this long.
inline constexpr int32_t kAmpleTimeout = 5000;

struct TExchangeOutcome {
  bool Result = false;
  int32_t Code = 0;
  std::string Reason;
  std::string Document;
  std::string MimeType;
  std::vector<std::string> Headers;
  int32_t Error = 0;               // the socket's last error code
  std::vector<std::string> Sent;   // each buffer the client handed to its socket
  std::vector<std::string> Received;  // what the server read, per connection
  std::string Port;                   // the server's
};

using TSetup = std::function<void(THTTPSend& http, const std::string& port)>;

// Replaces every "{port}" in text by port.
std::string WithPort(std::string text, const std::string& port);

// Runs method against url (where "{port}" stands for the server's port) on
// http, after setup has prepared it. With pieceSize above 0 every Send step
// of the scripts is cut into packets of that size, handed to the client one
// at a time.
TExchangeOutcome RunExchange(THTTPSend& http, const std::vector<TScript>& scripts, const std::string& method,
                             const std::string& url, std::size_t pieceSize = 0, const TSetup& setup = {});

// The same on a fresh client.
TExchangeOutcome RunExchange(const TSetup& setup, const std::vector<TScript>& scripts,
                             const std::string& method, const std::string& url, std::size_t pieceSize = 0);

}  // namespace corvandel::http::testing
