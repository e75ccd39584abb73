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
  ASSERT_TRUE(ParseIndexNowLine(
      "indexnow:https://api.example/indexnow?key=abc%2D1234&keyLocation=https://s.example/k.txt", service, error));
  EXPECT_EQ(service.Endpoint, "https://api.example/indexnow");
  EXPECT_EQ(service.Key, "abc-1234");
  EXPECT_EQ(service.KeyLocation, "https://s.example/k.txt");
  for (const char* bad : {"indexnow:https://api.example/indexnow", "indexnow:https://api.example/?key=",
                          "indexnow:api.example/indexnow?key=abcd1234", "indexnow:https://api.example/?key=abcd1234&x=1",
                          "indexnow:https://api.example/?key=%zz",
                          "indexnow:https://api.example/?key=abcd1234&keyLocation=k.txt"}) {
    EXPECT_FALSE(ParseIndexNowLine(bad, service, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  std::string hub;
  EXPECT_TRUE(ParseWebSubLine("websub:https://hub.example/", hub, error));
  EXPECT_EQ(hub, "https://hub.example/");
  EXPECT_FALSE(ParseWebSubLine("websub:", hub, error));
  EXPECT_FALSE(ParseWebSubLine("websub:hub.example", hub, error));
}

// A key is 8 to 128 characters of a-z, A-Z, 0-9 and -; the reason states
// the rule and quotes the key safely.
TEST(AnnounceCallTest, KeysFollowTheKeyRule) {
  const std::string longest(kMaxIndexNowKey, 'a');
  struct Case {
    std::string key;  // as written on the line
    bool valid;
  };
  const std::vector<Case> cases = {
      {"abcdefgh", true},      {"aZ09-aZ09", true},        {longest, true},
      {"abcdefg", false},      {longest + "a", false},     {"abcdefg_", false},
      {"abcd.efgh", false},    {"abcd%20efgh", false},     {"abcd%C3%A9fgh", false},
  };
  for (const Case& c : cases) {
    TIndexNowService service;
    std::string error;
    EXPECT_EQ(ParseIndexNowLine("indexnow:https://api.example/indexnow?key=" + c.key, service, error), c.valid)
        << c.key;
  }
  TIndexNowService service;
  std::string error;
  EXPECT_FALSE(ParseIndexNowLine("indexnow:https://api.example/?key=k1", service, error));
  EXPECT_EQ(error, "indexnow key \"k1\" must be 8 to 128 characters of a-z, A-Z, 0-9 and -");
  EXPECT_FALSE(ParseIndexNowLine("indexnow:https://api.example/?key=a%22%0A%5C" + longest, service, error));
  EXPECT_EQ(error, "indexnow key \"a\\\"\\x0A\\\\" + std::string(60, 'a') +
                       "\xE2\x80\xA6\" must be 8 to 128 characters of a-z, A-Z, 0-9 and -");
}

// A key file vouches for URLs on its scheme, host and port, under its folder.
TEST(AnnounceCallTest, KeyScopeIsTheKeyLocationsHostAndFolder) {
  struct Case {
    std::string keyLocation;
    std::string url;
    bool inside;
  };
  const std::vector<Case> cases = {
      {"https://blog.example/keys/k.txt", "https://blog.example/keys/post/1", true},
      {"https://blog.example/keys/k.txt", "https://BLOG.Example:443/keys/", true},
      {"HTTPS://blog.example:443/keys/k.txt?v=1", "https://blog.example/keys/a?x=/", true},
      {"http://blog.example:8080/k.txt", "http://blog.example:08080/a", true},
      {"https://blog.example/keys/k.txt", "https://blog.example/keys", false},
      {"https://blog.example/keys/k.txt", "https://blog.example/keysmith/a", false},
      {"https://blog.example/keys/k.txt", "https://blog.example/keys/../admin", false},
      {"https://blog.example/keys/k.txt", "http://blog.example/keys/a", false},
      {"https://blog.example/keys/k.txt", "https://blog.example:8443/keys/a", false},
      {"https://blog.example/keys/k.txt", "https://other.example/keys/a", false},
  };
  for (const Case& c : cases) EXPECT_EQ(InKeyScope(c.keyLocation, c.url), c.inside) << c.keyLocation << " " << c.url;

  // Such a URL is refused before any request.
  TPingResult result;
  EXPECT_FALSE(SubmitIndexNow("indexnow:http://127.0.0.1:1/indexnow?key=abcd1234&keyLocation=https://Blog.example"
                              "/keys/k.txt",
                              "https://other.example/a", *DefaultCallSettings(), result));
  EXPECT_EQ(result.Code, 0);
  EXPECT_EQ(result.Reason,
            "not submitted: https://other.example/a is not under the keyLocation's folder https://blog.example/keys/ "
            "(a key file vouches only for URLs on its host, under its folder)");
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
  EXPECT_EQ(IndexNowBatchBody(service, "blog.example", {"https://blog.example/a", "https://blog.example/\"b\""}),
            R"({"host":"blog.example","key":"k&1","keyLocation":"https://blog.example/keys/k.txt",)"
            R"("urlList":["https://blog.example/a","https://blog.example/\"b\""]})");
  EXPECT_EQ(IndexNowBatchBody({"https://api.example/indexnow", "abcd1234", ""}, "a.example", {"http://a.example/"}),
            R"({"host":"a.example","key":"abcd1234","urlList":["http://a.example/"]})");
  EXPECT_EQ(WebSubRequestBody("http://blog.example/feed?a=1&b=2"),
            "hub.mode=publish&hub.url=http%3A%2F%2Fblog.example%2Ffeed%3Fa%3D1%26b%3D2"
            "&hub.topic=http%3A%2F%2Fblog.example%2Ffeed%3Fa%3D1%26b%3D2");

  // The default key file is on the site's own scheme, host and port.
  const std::vector<std::pair<std::string, std::string>> keyFiles = {
      {"http://blog.example:27191/post/1", "http://blog.example:27191/abcd1234.txt"},
      {"https://blog.example:443/", "https://blog.example/abcd1234.txt"},
      {"http://blog.example:80", "http://blog.example/abcd1234.txt"},
      {"HTTP://Blog.example/a?b", "HTTP://Blog.example/abcd1234.txt"},
      {"http://[::1]:8080/", "http://[::1]:8080/abcd1234.txt"},
  };
  for (const auto& [site, file] : keyFiles) EXPECT_EQ(KeyFileURL({"https://api.example/", "abcd1234", ""}, site), file);
  EXPECT_EQ(KeyFileURL({"https://api.example/", "abcd1234", "http://x.example/k"}, "http://blog.example/"),
            "http://x.example/k");
  EXPECT_TRUE(KeyFileHolds("abc", "abc"));
  EXPECT_TRUE(KeyFileHolds("\xEF\xBB\xBF" "abc \r\n", "abc"));
  EXPECT_FALSE(KeyFileHolds("abcd", "abc"));
  EXPECT_FALSE(KeyFileHolds("", "abc"));
}

// An endpoint's words: a JSON message or errorCode, else the first line.
TEST(AnnounceCallTest, EndpointWordsAreOneBoundedLine) {
  const std::string cut = std::string(kMaxAnswerText - 1, 'a');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {" \r\n", ""},
      {"  key missing\t\r\nsecond", "key missing"},
      {R"( {"code":"x","message":" Invalid key\nmore","errorCode":"E1"})", "Invalid key"},
      {R"({"message":"","errorCode":"UnknownKey"})", "UnknownKey"},
      {R"({"errorCode":17})", "17"},
      {R"({"status":"no"})", R"({"status":"no"})"},
      {R"({"message":"broken)", R"({"message":"broken)"},
      {cut + "\xC3\xA9tail", cut},
      {cut + "b\xC3\xA9", cut + "b"},
  };
  for (const auto& [body, words] : cases) EXPECT_EQ(EndpointWords(body), words) << body;
}

// Each documented status of the endpoint gets its meaning, and a refusal
// the endpoint's words after it; the endpoint sees the documented request.
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
      {Answer("405 Method Not Allowed"), false, 405, "method not allowed"},
      {Answer("403 Forbidden", "", R"({"code":"UserForbiddedToAccessSite","message":"User is unauthorized"})"),
       false, 403, "key not valid (not found, or the file does not hold it): User is unauthorized"},
      {Answer("422 Unprocessable Entity", "", "url not on host\n"), false, 422,
       "the URL does not belong to the host, or the key does not match the protocol: url not on host"},
      {Answer("200 OK", "", "ignored"), true, 200, "URL submitted"},
  };
  for (const Case& c : cases) {
    TScriptServer server(AF_INET, {{ReadRequestStep(), SendStep(c.response)}});
    const std::string line = "indexnow:http://127.0.0.1:" + server.PortText() + "/indexnow?key=abcd1234";
    TPingResult result;
    EXPECT_EQ(SubmitIndexNow(line, "http://blog.example/?p=1&q=\xC3\xA9", *DefaultCallSettings(), result), c.success)
        << c.response;
    server.Stop();
    EXPECT_EQ(result.Code, c.code) << c.response;
    EXPECT_EQ(result.Answer, c.answer) << c.response;
    EXPECT_EQ(result.Kind, TServiceKind::IndexNow);
    EXPECT_EQ(result.Reason.empty(), c.success) << c.response;
    const auto received = server.Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].substr(0, received[0].find("\r\n")),
              "GET /indexnow?url=http%3A%2F%2Fblog.example%2F%3Fp%3D1%26q%3D%C3%A9&key=abcd1234 HTTP/1.0");
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
                            *DefaultCallSettings(), result),
              c.success);
    server.Stop();
    EXPECT_EQ(result.Answer, c.answer);
    EXPECT_EQ(result.Reason, c.reason);
    const auto received = server.Received();
    ASSERT_EQ(received.size(), 1u);
    const std::string body =
        "hub.mode=publish&hub.url=http%3A%2F%2Fblog.example%2Ffeed&hub.topic=http%3A%2F%2Fblog.example%2Ffeed";
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
  EXPECT_FALSE(
      SubmitIndexNow("indexnow:https://api.example/indexnow", "http://blog.example/", *DefaultCallSettings(), result));
  EXPECT_EQ(result.Code, 0);
  EXPECT_EQ(result.Answer, "?");
  EXPECT_EQ(result.Reason, "malformed service line: indexnow line has no key");
  EXPECT_FALSE(PublishWebSub("websub:", "http://blog.example/", *DefaultCallSettings(), result));
  EXPECT_EQ(result.Reason, "malformed service line: websub needs an http:// or https:// hub");

  // The ping call hands each kind to its own call.
  TPingService pinger;
  pinger.BuildRequest("http://blog.example/");
  EXPECT_FALSE(pinger.Call("websub:nowhere", result));
  EXPECT_EQ(result.Kind, TServiceKind::WebSub);
}

}  // namespace
}  // namespace corvandel::engine
