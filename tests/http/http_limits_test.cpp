#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "http/http_send.h"
#include "http_exchange.h"

namespace corvandel::http {
namespace {

using testing::ReadRequestStep;
using testing::RunExchange;
using testing::SendStep;
using testing::TScript;

std::string HeaderLines(std::size_t count, std::size_t length) {
  std::string lines;
  for (std::size_t i = 0; i < count; ++i) lines += "X-" + std::to_string(i) + ": " + std::string(length, 'h') + "\r\n";
  return lines;
}

// Header lines after the status line ok and before the empty line that
// make the header block exactly total bytes as the limit counts them
// (each line with a two-byte end).
std::string HeaderBlockOf(std::size_t total, const std::string& ok) {
  constexpr std::size_t kLineLength = 1000;
  std::size_t left = total - ok.size() - 2;
  std::string lines;
  while (left > 2 * (kLineLength + 2)) {
    lines += "X: " + std::string(kLineLength - 3, 'h') + "\r\n";
    left -= kLineLength + 2;
  }
  return lines + "Y: " + std::string(left - 5, 'h') + "\r\n";
}

std::string ChunkOf(std::size_t size) {
  char hex[16];
  std::snprintf(hex, sizeof(hex), "%zx", size);
  return std::string(hex) + "\r\n" + std::string(size, 'c') + "\r\n";
}

constexpr std::size_t kLine = kDefaultMaxLineLength;
constexpr std::size_t kBody = kDefaultMaxBodySize;

struct LimitCase {
  std::string name;
  TScript script;  // after the request has been read
  std::function<void(THTTPSend&)> setup;
  bool result;
  TExchangeFailure failure;  // expected when the result is false
  std::size_t documentSize;
};

std::vector<LimitCase> LimitCases() {
  const std::string ok = "HTTP/1.0 200 OK\r\n";
  const auto trickle = [](THTTPSend& http) {
    // Every byte comes well within Timeout; only the whole exchange is too long.
    http.SetTimeout(testing::kAmpleTimeout);
    http.SetMaxExchangeTime(testing::kExpiringTimeout);
  };
  return {
      {"a header line at the line limit", {SendStep(ok + "X: " + std::string(kLine - 3, 'a') + "\r\n\r\nbody")}, {},
       true, TExchangeFailure::None, 4},
      {"a header line past the line limit", {SendStep(ok + "X: " + std::string(kLine - 2, 'a') + "\r\n\r\nbody")}, {},
       false, TExchangeFailure::LineTooLong, 0},
      {"a status line past the line limit", {SendStep("HTTP/1.0 200 " + std::string(kLine, 'a') + "\r\n\r\n")}, {},
       false, TExchangeFailure::LineTooLong, 0},
      {"no status line, and a line that never ends", {testing::FloodStep(std::string(4096, 'a'))}, {}, false,
       TExchangeFailure::LineTooLong, 0},
      {"a header block at the limit",
       {SendStep(ok + HeaderBlockOf(kDefaultMaxHeaderSize, ok) + "\r\nbody")}, {}, true, TExchangeFailure::None, 4},
      {"a header block past the limit",
       {SendStep(ok + HeaderBlockOf(kDefaultMaxHeaderSize + 1, ok) + "\r\nbody")}, {}, false,
       TExchangeFailure::HeaderBlockTooLarge, 0},
      {"endless header lines", {SendStep(ok), testing::FloodStep(HeaderLines(50, 100))}, {}, false, TExchangeFailure::HeaderBlockTooLarge, 0},
      {"endless interim answers", {testing::FloodStep("HTTP/1.1 100 Continue\r\n\r\n")}, {}, false, TExchangeFailure::HeaderBlockTooLarge, 0},
      // Each line read costs the socket time in proportion to what it holds
      // unread, so floods of empty lines run against lowered limits.
      {"endless empty lines before the status line", {testing::FloodStep(std::string(4096, '\n'))},
       [](THTTPSend& http) { http.SetMaxHeaderSize(16 * 1024); }, false, TExchangeFailure::HeaderBlockTooLarge, 0},
      {"a body by length at the limit",
       {SendStep(ok + "Content-Length: " + std::to_string(kBody) + "\r\n\r\n" + std::string(kBody, 'b'))}, {}, true,
       TExchangeFailure::None, kBody},
      {"a body by length past the limit, refused before it arrives",
       {SendStep(ok + "Content-Length: " + std::to_string(kBody + 1) + "\r\n\r\n"), testing::AwaitClientCloseStep()},
       {}, false, TExchangeFailure::BodyTooLarge, 0},
      {"a body until close at the limit", {SendStep(ok + "\r\n" + std::string(kBody, 'b'))}, {}, true, TExchangeFailure::None, kBody},
      {"a body until close past the limit", {SendStep(ok + "\r\n"), testing::FloodStep(std::string(65536, 'b'))}, {},
       false, TExchangeFailure::BodyTooLarge, 0},
      {"endless chunks",
       {SendStep("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"), testing::FloodStep(ChunkOf(60000))}, {},
       false, TExchangeFailure::BodyTooLarge, 0},
      {"endless chunk framing around tiny chunks",
       {SendStep("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"),
        testing::FloodStep("1;" + std::string(30000, 'e') + "\r\nc\r\n")},
       {}, false, TExchangeFailure::BodyTooLarge, 0},
      {"endless empty lines between chunks",
       {SendStep("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"), testing::FloodStep(std::string(4096, '\n'))},
       [](THTTPSend& http) { http.SetMaxBodySize(32 * 1024); }, false, TExchangeFailure::BodyTooLarge, 0},
      {"header lines trickled in", {SendStep(ok), testing::TrickleStep("X: y\r\n")}, trickle, false,
       TExchangeFailure::ExchangeTimeExceeded, 0},
      {"a body trickled in until close", {SendStep(ok + "\r\n"), testing::TrickleStep("b")}, trickle, false,
       TExchangeFailure::ExchangeTimeExceeded, 0},
      {"chunks trickled in",
       {SendStep("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"), testing::TrickleStep("1\r\nc\r\n")},
       trickle, false, TExchangeFailure::ExchangeTimeExceeded, 0},
  };
}

TEST(HTTPLimitsTest, ServersThatBreakALimitFailTheExchange) {
  for (const LimitCase& c : LimitCases()) {
    THTTPSend http;
    if (c.setup) c.setup(http);
    TScript script{ReadRequestStep()};
    script.insert(script.end(), c.script.begin(), c.script.end());
    const auto outcome = RunExchange(http, {script}, "GET", "http://127.0.0.1:{port}/");
    EXPECT_EQ(outcome.Result, c.result) << c.name;
    if (!c.result) {
      EXPECT_EQ(outcome.Failure.Reason, c.failure) << c.name << ": " << outcome.Failure.Describe();
    }
    if (c.result) {
      EXPECT_EQ(outcome.Document.size(), c.documentSize) << c.name;
    }
    EXPECT_LE(outcome.Document.size(), kBody) << c.name;
  }
}

}  // namespace
}  // namespace corvandel::http
