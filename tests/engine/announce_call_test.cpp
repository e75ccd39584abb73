#include "engine/announce_call.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script_server.h"

namespace corvandel::engine {
namespace {

using http::testing::ReadRequestStep;
using http::testing::SendStep;
using http::testing::TScriptServer;

std::string Answer(const std::string& status, const std::string& extra = "", const std::string& body = "") {
  return "HTTP/1.1 " + status + "\r\n" + extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(AnnounceCallTest, LinesAreSortedByKindAndParsed) {
  EXPECT_EQ(KindOf("rpc.example/RPC2"), TServiceKind::XMLRPC);
  EXPECT_EQ(KindOf("http://indexnow.example/"), TServiceKind::XMLRPC);
  EXPECT_EQ(KindOf("IndexNow:https://api.example/indexnow?key=k"), TServiceKind::IndexNow);
  EXPECT_EQ(KindOf("websub:https://hub.example/"), TServiceKind::WebSub);
  EXPECT_EQ(KindName(TServiceKind::WebSub), "websub");

  TIndexNowService service;
  std::string error;
  ASSERT_TRUE(ParseIndexNowLine("indexnow:https://api.example/indexnow?key=a%2Bb&keyLocation=https://s.example/k.txt",
                                service, error));
  EXPECT_EQ(service.Endpoint, "https://api.example/indexnow");
  EXPECT_EQ(service.Key, "a+b");
  EXPECT_EQ(service.KeyLocation, "https://s.example/k.txt");
  for (const char* bad : {"indexnow:https://api.example/indexnow", "indexnow:https://api.example/?key=",
                          "indexnow:api.example/indexnow?key=k", "indexnow:https://api.example/?key=k&x=1",
                          "indexnow:https://api.example/?key=%zz", "indexnow:https://api.example/?key=k&keyLocation=k.txt"}) {
    EXPECT_FALSE(ParseIndexNowLine(bad, service, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  std::string hub;
  EXPECT_TRUE(ParseWebSubLine("websub:https://hub.example/", hub, error));
  EXPECT_EQ(hub, "https://hub.example/");
  EXPECT_FALSE(ParseWebSubLine("websub:", hub, error));
  EXPECT_FALSE(ParseWebSubLine("websub:hub.example", hub, error));
}

TEST(AnnounceCallTest, RequestsAreEncodedExactly) {
  const std::string site = "http://blog.example/a b?x=1&y=\xC3\xA9~";
  TIndexNowService service{"https://api.example/indexnow", "k&1", ""};
  EXPECT_EQ(IndexNowRequestURL(service, site),
            "https://api.example/indexnow?url=http%3A%2F%2Fblog.example%2Fa%20b%3Fx%3D1%26y%3D%C3%A9~&key=k%261");
  service.KeyLocation = "https://blog.example/keys/k.txt";
  EXPECT_EQ(IndexNowRequestURL(service, "http://a.example/"),
            "https://api.example/indexnow?url=http%3A%2F%2Fa.example%2F&key=k%261"
            "&keyLocation=https%3A%2F%2Fblog.example%2Fkeys%2Fk.txt");
  EXPECT_EQ(WebSubRequestBody("http://blog.example/feed?a=1&b=2"),
            "hub.mode=publish&hub.url=http%3A%2F%2Fblog.example%2Ffeed%3Fa%3D1%26b%3D2");

  EXPECT_EQ(KeyFileURL({"https://api.example/", "abc", ""}, "http://blog.example:8080/post/1"),
            "https://blog.example/abc.txt");
  EXPECT_EQ(KeyFileURL({"https://api.example/", "abc", "http://x.example/k"}, "http://blog.example/"),
            "http://x.example/k");
  EXPECT_TRUE(KeyFileHolds("abc", "abc"));
  EXPECT_TRUE(KeyFileHolds("\xEF\xBB\xBF" "abc \r\n", "abc"));
  EXPECT_FALSE(KeyFileHolds("abcd", "abc"));
  EXPECT_FALSE(KeyFileHolds("", "abc"));
}

// Each documented status of the endpoint gets its meaning; the endpoint
// sees the documented request.
TEST(AnnounceCallTest, IndexNowStatusesAndTheRequestAsSent) {
  struct Case {
    std::string response;
    bool success;
    int32_t code;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {Answer("200 OK"), true, 200, "URL submitted"},
      {Answer("202 Accepted"), true, 202, "URL received, key validation pending"},
      {Answer("400 Bad Request"), false, 400, "bad request"},
      {Answer("403 Forbidden"), false, 403, "key not valid (not found, or the file does not hold it)"},
      {Answer("422 Unprocessable Entity"), false, 422,
       "the URL does not belong to the host, or the key does not match the protocol"},
      {Answer("429 Too Many Requests", "Retry-After: 3600\r\n"), false, 429, "too many requests, retry after 3600"},
      {Answer("500 Internal Server Error", "", "backend down\r\nmore"), false, 500, "backend down"},
  };
  for (const Case& c : cases) {
    TScriptServer server(AF_INET, {{ReadRequestStep(), SendStep(c.response)}});
    const std::string line = "indexnow:http://127.0.0.1:" + server.PortText() + "/indexnow?key=k1";
    TPingResult result;
    EXPECT_EQ(SubmitIndexNow(line, "http://blog.example/?p=1&q=\xC3\xA9", result), c.success) << c.response;
    server.Stop();
    EXPECT_EQ(result.Code, c.code) << c.response;
    EXPECT_EQ(result.Answer, c.answer) << c.response;
    EXPECT_EQ(result.Kind, TServiceKind::IndexNow);
    EXPECT_EQ(result.Reason.empty(), c.success) << c.response;
    const auto received = server.Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].substr(0, received[0].find("\r\n")),
              "GET /indexnow?url=http%3A%2F%2Fblog.example%2F%3Fp%3D1%26q%3D%C3%A9&key=k1 HTTP/1.0");
    EXPECT_EQ(received[0].find("Content-Length"), std::string::npos) << received[0];
  }
}

TEST(AnnounceCallTest, WebSubPublishesAFormAndReadsTheHubsText) {
  struct Case {
    std::string response;
    bool success;
    std::string answer;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {Answer("204 No Content"), true, "?", ""},
      {Answer("202 Accepted", "", "Publish accepted"), true, "Publish accepted", ""},
      {Answer("400 Bad Request", "", "hub.url is not a known topic\nline two"), false, "hub.url is not a known topic",
       "Bad Request"},
      {Answer("307 Temporary Redirect", "Location: https://hub.example/v2\r\n"), false, "?",
       "moved temporarily to https://hub.example/v2"},
  };
  for (const Case& c : cases) {
    TScriptServer server(AF_INET, {{ReadRequestStep(), SendStep(c.response)}});
    TPingResult result;
    EXPECT_EQ(PublishWebSub("websub:http://127.0.0.1:" + server.PortText() + "/hub", "http://blog.example/feed",
                            result),
              c.success);
    server.Stop();
    EXPECT_EQ(result.Answer, c.answer);
    EXPECT_EQ(result.Reason, c.reason);
    const auto received = server.Received();
    ASSERT_EQ(received.size(), 1u);
    const std::string body = "hub.mode=publish&hub.url=http%3A%2F%2Fblog.example%2Ffeed";
    EXPECT_EQ(received[0].substr(0, received[0].find("\r\n")), "POST /hub HTTP/1.0");
    EXPECT_NE(received[0].find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
    EXPECT_NE(received[0].find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    EXPECT_EQ(received[0].substr(received[0].size() - body.size()), body);
  }
}

// A line that cannot be called fails alone, without any exchange.
TEST(AnnounceCallTest, MalformedLinesFailWithTheirReason) {
  TPingResult result;
  result.Success = true;
  EXPECT_FALSE(SubmitIndexNow("indexnow:https://api.example/indexnow", "http://blog.example/", result));
  EXPECT_EQ(result.Code, 0);
  EXPECT_EQ(result.Answer, "?");
  EXPECT_EQ(result.Reason, "malformed service line: indexnow line has no key");
  EXPECT_FALSE(PublishWebSub("websub:", "http://blog.example/", result));
  EXPECT_EQ(result.Reason, "malformed service line: websub needs an http:// or https:// hub");

  // The ping call hands each kind to its own call.
  TPingService pinger;
  pinger.BuildRequest("http://blog.example/");
  EXPECT_FALSE(pinger.Call("websub:nowhere", result));
  EXPECT_EQ(result.Kind, TServiceKind::WebSub);
}

TEST(AnnounceCallTest, KeyCheckReadsTheKeyFile) {
  struct Case {
    std::string response;
    bool holds;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {Answer("200 OK", "", "k1\n"), true, ""},
      {Answer("200 OK", "", "other"), false, " does not hold the key"},
      {Answer("404 Not Found"), false, ": status 404 Not Found"},
      {Answer("308 Permanent Redirect", "Location: https://www.blog.example/k1.txt\r\n"), false,
       ": status 308 moved permanently to https://www.blog.example/k1.txt"},
  };
  for (const Case& c : cases) {
    TScriptServer server(AF_INET, {{ReadRequestStep(), SendStep(c.response)}});
    const std::string location = "http://127.0.0.1:" + server.PortText() + "/k1.txt";
    std::string reason;
    EXPECT_EQ(CheckIndexNowKey("indexnow:https://api.example/indexnow?key=k1&keyLocation=" + location,
                               "http://blog.example/", reason),
              c.holds);
    server.Stop();
    EXPECT_EQ(reason, c.holds ? "" : "key file " + location + c.reason);
    ASSERT_EQ(server.Received().size(), 1u);
    EXPECT_EQ(server.Received()[0].substr(0, 20), "GET /k1.txt HTTP/1.0");
  }
}

}  // namespace
}  // namespace corvandel::engine
