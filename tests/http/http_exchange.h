#pragma once

// Runs one THTTPSend exchange against a scripted server and gathers what
// both ends saw, so that the HTTP tests can compare whole outcomes.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "http/http_send.h"
#include "http/memory_socket.h"
#include "script_server.h"

namespace corvandel::http::testing {

// Expected to run out: short, to keep the suite fast. Used only where no
// data is on its way, so that a busy machine cannot change the outcome.
inline constexpr int32_t kExpiringTimeout = 300;
// Not expected to run out: only a fault waits this long.
inline constexpr int32_t kAmpleTimeout = 30000;

struct TExchangeOutcome {
  bool Result = false;
  int32_t Code = 0;
  std::string Reason;
  std::string Document;
  std::string MimeType;
  std::vector<std::string> Headers;
  int32_t Error = 0;               // the socket's last error code
  TExchangeError Failure;          // the exchange's reason
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

// Runs method against url on a fresh client over a socket whose peer plays
// scripts from memory; Received holds what the client wrote on each
// connection. No ports, no clocks.
TExchangeOutcome RunInMemory(const std::vector<TPeerScript>& scripts, const std::string& method,
                             const std::string& url, const std::function<void(THTTPSend&)>& setup = {});

// bytes as the packets of every way worth trying: whole, cut in two at
// every position, and in pieces of 1 to 5 bytes. Each comes with a label.
std::vector<std::pair<std::string, std::vector<std::string>>> Splittings(const std::string& bytes);

// The same on a fresh client.
TExchangeOutcome RunExchange(const TSetup& setup, const std::vector<TScript>& scripts,
                             const std::string& method, const std::string& url, std::size_t pieceSize = 0);

}  // namespace corvandel::http::testing
