#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/call_setup.h"
#include "engine/ping_service.h"
#include "engine/ping_texts.h"
#include "script_server.h"

extern char** environ;

namespace corvandel::engine {
namespace {

using http::testing::ReadRequestStep;
using http::testing::SendStep;
using http::testing::TScript;
using http::testing::TScriptServer;

constexpr const char* kThanks = "Thanks for the ping.";

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// The request body for a site, as the service must receive it.
std::string RequestBody(const std::string& site) {
  return Lines({"<?xml version=\"1.0\"?>", "<methodCall>", "  <methodName>weblogUpdates.ping</methodName>",
                "  <params>", "    <param>", "      <value>" + site + "</value>", "    </param>", "    <param>",
                "      <value>" + site + "</value>", "    </param>", "  </params>", "</methodCall>"});
}

std::string PingAnswer(const std::string& members) {
  return "<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n  <params>\r\n    <param>\r\n      <value>\r\n"
         "        <struct>" + members + "</struct>\r\n      </value>\r\n    </param>\r\n  </params>\r\n"
         "</methodResponse>\r\n";
}

std::string Member(const std::string& name, const std::string& value) {
  return "<member><name>" + name + "</name><value>" + value + "</value></member>";
}

std::string WithLength(const std::string& status, const std::string& body) {
  return status + "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TPingResult Call(TPingService& service, const std::string& url) {
  TPingResult result;
  result.ServiceURL = "listed";
  result.SiteURL = "site";
  result.ThreadNum = 7;
  const bool returned = service.Post(url, result);
  EXPECT_EQ(returned, result.Success) << url;
  EXPECT_EQ(result.ServiceURL, "listed");
  EXPECT_EQ(result.SiteURL, "site");
  EXPECT_EQ(result.ThreadNum, 7);
  return result;
}

// Two calls of one site send the same body, built once; only the address differs.
TEST(PingCallTest, SendsTheRequestExactly) {
  TScriptServer server(AF_INET, {{ReadRequestStep(), SendStep(WithLength("HTTP/1.1 200 OK", PingAnswer("")))}});
  TPingService service;
  service.BuildRequest("abc");
  Call(service, "http://127.0.0.1:" + server.PortText());
  Call(service, "http://127.0.0.1:" + server.PortText() + "/RPC2?x=1");
  server.Stop();
  const auto received = server.Received();
  ASSERT_EQ(received.size(), 2u);
  const std::string body = RequestBody("abc");
  ASSERT_EQ(body.size(), 230u);
  const std::string headers = " HTTP/1.0\r\nHost: 127.0.0.1:" + server.PortText() +
                              "\r\nKeep-Alive: 300\r\nConnection: keep-alive\r\n"
                              "User-Agent: Mozilla/4.0 (compatible; Corvandel)\r\n"
                              "Content-Type: text/xml\r\nContent-Length: 230\r\n\r\n";
  EXPECT_EQ(received[0], "POST /" + headers + body);
  EXPECT_EQ(received[1], "POST /RPC2?x=1" + headers + body);
}

enum class TEnd { Close, Reset };

struct OutcomeCase {
  std::string name;
  std::string response;
  TEnd end;
  bool success;
  int32_t code;
  std::string answer;
};

std::vector<OutcomeCase> OutcomeCases() {
  const std::string thanks = PingAnswer(Member("flerror", "<boolean>0</boolean>") + Member("message", kThanks));
  const std::string refused = PingAnswer(Member("flerror", "<boolean>1</boolean>") + Member("message", "Go away"));
  const std::string word = PingAnswer(Member("flerror", "<boolean>no</boolean>") + Member("message", kThanks));
  const std::string noMembers = "<?xml version=\"1.0\"?><methodResponse><params/></methodResponse>";
  const std::string notXML = "Thanks!\r\n<b>bold</b> and\tmore\r\n";
  std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  char size[16];
  std::snprintf(size, sizeof(size), "%zx", thanks.size());
  chunked += std::string(size) + "\r\n" + thanks + "\r\n0\r\n\r\n";
  return {
      {"success by length", WithLength("HTTP/1.1 200 OK", thanks), TEnd::Close, true, 200, kThanks},
      {"success until close", "HTTP/1.0 200 OK\r\n\r\n" + thanks, TEnd::Close, true, 200, kThanks},
      {"success chunked", chunked, TEnd::Close, true, 200, kThanks},
      {"error with a message", WithLength("HTTP/1.1 200 OK", refused), TEnd::Close, false, 200, "Go away"},
      {"no members", WithLength("HTTP/1.1 200 OK", noMembers), TEnd::Close, true, 200, "?"},
      {"not XML", WithLength("HTTP/1.1 200 OK", notXML), TEnd::Close, false, 200, "answer is not XML: " + notXML},
      {"empty body", WithLength("HTTP/1.1 200 OK", ""), TEnd::Close, false, 200, "answer is not XML: "},
      {"flerror that is a word", WithLength("HTTP/1.1 200 OK", word), TEnd::Close, false, 200,
       "answer is not XML: " + word},
      {"not found", WithLength("HTTP/1.1 404 Not Found", thanks), TEnd::Close, false, 404, "?"},
      {"redirect", "HTTP/1.1 301 Moved\r\nLocation: http://127.0.0.1:1/\r\nContent-Length: 0\r\n\r\n", TEnd::Close,
       false, 301, "?"},
      {"server error", WithLength("HTTP/1.1 500 Internal Server Error", "oops"), TEnd::Close, false, 500, "?"},
      {"no status line", thanks, TEnd::Close, false, 0, "?"},
      {"reset before the answer", "", TEnd::Reset, false, 0, "?"},
      {"closed inside the body", "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n<?xml", TEnd::Close, false, 0, "?"},
      {"a header line past the limit", "HTTP/1.1 200 OK\r\nX: " + std::string(1 << 17, 'x') + "\r\n\r\n" + thanks,
       TEnd::Close, false, 0, "?"},
  };
}

TEST(PingCallTest, OutcomeOfEveryKindOfAnswer) {
  for (const OutcomeCase& c : OutcomeCases()) {
    TScript script{ReadRequestStep()};
    if (!c.response.empty()) script.push_back(SendStep(c.response));
    if (c.end == TEnd::Reset) script.push_back(http::testing::ResetStep());
    TScriptServer server(AF_INET, {script});
    TPingService service;
    service.BuildRequest("http://site.example/");
    const TPingResult result = Call(service, "http://127.0.0.1:" + server.PortText() + "/RPC2");
    EXPECT_EQ(result.Success, c.success) << c.name;
    EXPECT_EQ(result.Code, c.code) << c.name;
    EXPECT_EQ(result.Answer, c.answer) << c.name;
    server.Stop();
  }
}

TEST(PingCallTest, NoExchangeGivesCodeZero) {
  uint16_t port = 0;
  const http::TSocket probe = http::testing::OpenLoopbackListener(AF_INET, port);
  ASSERT_GE(probe, 0);
  ::close(probe);
  TScriptServer silent(AF_INET, {{http::testing::AwaitClientCloseStep()}});
  TPingService service;
  service.BuildRequest("abc");
  for (const std::string& url : {"http://127.0.0.1:" + std::to_string(port) + "/",
                                 "https://127.0.0.1:" + silent.PortText() + "/"}) {
    const TPingResult result = Call(service, url);
    EXPECT_FALSE(result.Success) << url;
    EXPECT_EQ(result.Code, 0) << url;
    EXPECT_EQ(result.Answer, "?") << url;
    EXPECT_FALSE(result.Reason.empty()) << url;
  }
  EXPECT_EQ(Call(service, "http://127.0.0.1:" + std::to_string(port) + "/").Reason,
            "connect failed (10061 Connection refused, ECONNREFUSED)");
  TPingService unbuilt;
  const TPingResult result = Call(unbuilt, "http://127.0.0.1:" + silent.PortText() + "/");
  EXPECT_FALSE(result.Success);
  EXPECT_EQ(result.Code, 0);
  EXPECT_EQ(result.Answer, "?");
  EXPECT_EQ(result.Reason, "call not made");
}

// Every failed call says why; a success gives no reason.
TEST(PingCallTest, ReasonsSayWhyACallFailed) {
  const std::string fault =
      "<?xml version=\"1.0\"?><methodResponse><fault><value><struct><member><name>faultCode</name><value><int>"
      "-32601</int></value></member><member><name>faultString</name><value><string>server error. requested "
      "method weblogUpdates.ping does not exist.</string></value></member></struct></value></fault>"
      "</methodResponse>";
  const std::string page =
      "<?xml version=\"1.0\"?><html xmlns=\"http://www.w3.org/1999/xhtml\"><body><p>Thanks for visiting this "
      "parked domain</p></body></html>";
  auto Redirect = [](const std::string& status, const std::string& location) {
    return "HTTP/1.1 " + status + "\r\n" + location + "Content-Length: 0\r\n\r\n";
  };
  // The cut falls on the second byte of the "\xC3\xA9".
  const std::string longLocation =
      "http://x.example/" + std::string(kMaxLocationInReason - 18, 'a') + "\xC3\xA9" + std::string(40000, 'b');
  struct Case {
    std::string response;
    bool success;
    std::string answer;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {WithLength("HTTP/1.1 200 OK", PingAnswer(Member("flerror", "0") + Member("message", kThanks))), true, kThanks,
       ""},
      {WithLength("HTTP/1.1 200 OK", PingAnswer(Member("flerror", "1") + Member("message", "Go away"))), false,
       "Go away", "flerror 1"},
      {WithLength("HTTP/1.1 200 OK", fault), false, "server error. requested method weblogUpdates.ping does not exist.",
       "fault -32601: server error. requested method weblogUpdates.ping does not exist."},
      {WithLength("HTTP/1.1 200 OK", page), false, "answer is not XML: " + page,
       "not an XML-RPC answer: the document element is html, not methodResponse"},
      {"HTTP/1.1 503 Service Unavailable\r\nretry-after:  120 \r\nContent-Length: 0\r\n\r\n", false, "?",
       "Service Unavailable, Retry-After: 120"},
      {WithLength("HTTP/1.1 404 Not Found", ""), false, "?", "Not Found"},
      // A redirect is not followed; its reason says where the service went.
      {Redirect("301 Moved Permanently", "Location:  https://rpc.example/RPC2 \r\n"), false, "?",
       "moved permanently to https://rpc.example/RPC2"},
      {Redirect("308 Permanent Redirect", "location:/xmlrpc\r\n"), false, "?", "moved permanently to /xmlrpc"},
      {Redirect("302 Found", "Location: http://mirror.example/ping\r\n"), false, "?",
       "moved temporarily to http://mirror.example/ping"},
      {Redirect("303 See Other", "Location: http://a.example/\r\n"), false, "?", "moved temporarily to http://a.example/"},
      {Redirect("307 Temporary Redirect", "Location: http://b.example/\r\n"), false, "?",
       "moved temporarily to http://b.example/"},
      {Redirect("302 Found", ""), false, "?", "Found"},
      // A hostile Location is cut, never inside a UTF-8 sequence.
      {Redirect("301 Moved Permanently", "Location: " + longLocation + "\r\n"), false, "?",
       "moved permanently to " + longLocation.substr(0, kMaxLocationInReason - 1) + "\xE2\x80\xA6"},
  };
  for (const Case& c : cases) {
    TScriptServer server(AF_INET, {{ReadRequestStep(), SendStep(c.response)}});
    TPingService service;
    service.BuildRequest("abc");
    TPingResult result;
    result.Reason = "stale";
    EXPECT_EQ(service.Post("http://127.0.0.1:" + server.PortText() + "/", result), c.success) << c.response;
    server.Stop();
    EXPECT_EQ(result.Answer, c.answer) << c.response;
    EXPECT_EQ(result.Reason, c.reason) << c.response;
  }
}

// A call cut short by an exception says what it was.
TEST(PingCallTest, ExceptionsBecomeReasons) {
  auto reasonOf = [](auto raise) {
    std::string reason = "stale";
    try {
      raise();
    } catch (...) {
      DescribeCurrentException(reason);
    }
    return reason;
  };
  EXPECT_EQ(reasonOf([] { throw std::bad_alloc(); }), "out of memory");
  EXPECT_EQ(reasonOf([] { throw std::runtime_error("EDOMError in Node.AppendChild"); }),
            "EDOMError in Node.AppendChild");
  EXPECT_EQ(reasonOf([] { throw std::runtime_error(""); }), "unknown failure");
  EXPECT_EQ(reasonOf([] { throw 7; }), "unknown failure");

  TPingResult result;
  result.Success = true;
  result.Code = 200;
  result.Answer = "Thanks";
  try {
    throw std::length_error("too long");
  } catch (...) {
    FailOnCurrentException(result);
  }
  EXPECT_FALSE(result.Success);
  EXPECT_EQ(result.Code, 0);
  EXPECT_EQ(result.Answer, "?");
  EXPECT_EQ(result.Reason, "too long");
}

// The read time-out of a call comes from its settings, and the bound on the
// whole exchange follows it.
TEST(PingCallTest, CallSettingsSetTheReadTimeout) {
  EXPECT_EQ(ExchangeBound(std::chrono::milliseconds(90000)), std::chrono::minutes(5));
  EXPECT_EQ(ExchangeBound(std::chrono::milliseconds(900)), std::chrono::milliseconds(3000));
  TScriptServer silent(AF_INET, {{ReadRequestStep(), http::testing::AwaitClientCloseStep()}});
  TPingService service;
  service.Settings = std::make_shared<const TCallSettings>(TCallSettings{std::chrono::milliseconds(100), {}, {}, {}});
  service.BuildRequest("abc");
  TPingResult result;
  service.Post("http://127.0.0.1:" + silent.PortText() + "/", result);
  silent.Stop();
  EXPECT_FALSE(result.Success);
  EXPECT_EQ(result.Code, 0);
  EXPECT_NE(result.Reason.find("time"), std::string::npos) << result.Reason;
}

// An answer may name a file in its document type; reading the answer must
// never open it.
TEST(PingCallTest, AnswerCannotMakeTheReaderOpenLocalFiles) {
  const std::filesystem::path dtd = std::filesystem::temp_directory_path() /
                                    ("corvandel_ping_" + std::to_string(::getpid()) + ".dtd");
  {
    std::ofstream out(dtd);
    out << "<!ENTITY secret \"TOPSECRET\">\n";
  }
  const std::string body = "<?xml version=\"1.0\"?>\r\n<!DOCTYPE methodResponse SYSTEM \"file://" + dtd.string() +
                           "\">\r\n<methodResponse><params><param><value><struct>" +
                           Member("message", "&secret;") + "</struct></value></param></params></methodResponse>\r\n";
  TScriptServer server(AF_INET, {{ReadRequestStep(), SendStep(WithLength("HTTP/1.1 200 OK", body))}});
  TPingService service;
  service.BuildRequest("abc");
  const TPingResult result = Call(service, "http://127.0.0.1:" + server.PortText() + "/");
  server.Stop();
  std::filesystem::remove(dtd);
  EXPECT_EQ(result.Code, 200);
  // The body names the entity only; its text could come from the file alone.
  EXPECT_EQ(result.Answer.find("TOPSECRET"), std::string::npos) << result.Answer;
}

// Every worker owns its ping call; fourteen of them call one server at once.
TEST(PingCallTest, FourteenWorkersAtOnce) {
  constexpr int kWorkers = 14;
  const std::string thanks = PingAnswer(Member("flerror", "<boolean>0</boolean>") + Member("message", kThanks));
  TScriptServer server(AF_INET, {{ReadRequestStep(), SendStep(WithLength("HTTP/1.1 200 OK", thanks))}});
  const std::string url = "http://127.0.0.1:" + server.PortText() + "/RPC2";
  std::vector<TPingResult> results(kWorkers);
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&results, &url, i] {
      TPingService service;
      service.BuildRequest("http://site" + std::to_string(i) + ".example/");
      service.Post(url, results[static_cast<std::size_t>(i)]);
    });
  }
  for (std::thread& worker : workers) worker.join();
  server.Stop();
  for (const TPingResult& result : results) {
    EXPECT_TRUE(result.Success);
    EXPECT_EQ(result.Code, 200);
    EXPECT_EQ(result.Answer, kThanks);
  }
  std::vector<std::string> bodies;
  for (const std::string& received : server.Received()) bodies.push_back(received.substr(received.find("\r\n\r\n") + 4));
  std::sort(bodies.begin(), bodies.end());
  std::vector<std::string> expected;
  for (int i = 0; i < kWorkers; ++i) expected.push_back(RequestBody("http://site" + std::to_string(i) + ".example/"));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(bodies, expected);
}

// Python's standard XML-RPC server, started for the test and stopped after it.
class TPythonPeer {
public:
  explicit TPythonPeer(const std::string& site) {
#if defined(CORVANDEL_PYTHON) && defined(CORVANDEL_XMLRPC_PEER)
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    std::string python = CORVANDEL_PYTHON;
    std::string script = CORVANDEL_XMLRPC_PEER;
    std::string siteArgument = site;
    char* argv[] = {python.data(), script.data(), siteArgument.data(), nullptr};
    if (posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    port_ = ReadPort(out[0]);
    ::close(out[0]);
#else
    (void)site;
#endif
  }
  ~TPythonPeer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  TPythonPeer(const TPythonPeer&) = delete;
  TPythonPeer& operator=(const TPythonPeer&) = delete;

  // Empty when the peer could not be started.
  const std::string& Port() const { return port_; }

private:
  // The peer's first line, "PORT <n>", within a bounded wait.
  static std::string ReadPort(int fd) {
    constexpr int kStartLimitMs = 20000;
    std::string line;
    while (line.find('\n') == std::string::npos) {
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, kStartLimitMs) <= 0) return {};
      char buffer[64];
      const ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n <= 0) return {};
      line.append(buffer, static_cast<std::size_t>(n));
    }
    if (line.rfind("PORT ", 0) != 0) return {};
    return line.substr(5, line.find('\n') - 5);
  }

  pid_t pid_ = -1;
  std::string port_;
};

TEST(PingCallTest, RealXMLRPCPeer) {
  const std::string site = "http://corvandel.example/blog/";
  TPythonPeer peer(site);
  if (peer.Port().empty()) GTEST_SKIP() << "Python 3 is not available";
  TPingService service;
  service.BuildRequest(site);
  const std::string base = "http://127.0.0.1:" + peer.Port();

  const TPingResult thanked = Call(service, base + "/RPC2");
  EXPECT_TRUE(thanked.Success);
  EXPECT_EQ(thanked.Code, 200);
  EXPECT_EQ(thanked.Answer, kThanks);

  const TPingResult refused = Call(service, base + "/refuse");
  EXPECT_FALSE(refused.Success);
  EXPECT_EQ(refused.Code, 200);
  EXPECT_EQ(refused.Answer, "Site is banned.");

  const TPingResult unknown = Call(service, base + "/elsewhere");
  EXPECT_FALSE(unknown.Success);
  EXPECT_EQ(unknown.Code, 404);
  EXPECT_EQ(unknown.Answer, "?");

  // The peer compares what it received with the site it was given.
  TPingService other;
  other.BuildRequest("http://another.example/");
  const TPingResult mismatched = Call(other, base + "/RPC2");
  EXPECT_FALSE(mismatched.Success);
  EXPECT_NE(mismatched.Answer.find("unexpected parameters"), std::string::npos) << mismatched.Answer;
}

}  // namespace
}  // namespace corvandel::engine
