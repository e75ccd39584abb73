#include "announce/key_check.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <thread>
#include <vector>

#include "script_server.h"

namespace corvandel::announce {
namespace {

using http::testing::ReadRequestStep;
using http::testing::SendStep;
using http::testing::TScript;
using http::testing::TScriptServer;

std::string Answer(const std::string& status, const std::string& extra = "", const std::string& body = "") {
  return "HTTP/1.1 " + status + "\r\n" + extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Gzipped(const std::string& text) {
  z_stream stream{};
  deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string packed(deflateBound(&stream, text.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(packed.data());
  stream.avail_out = static_cast<uInt>(packed.size());
  deflate(&stream, Z_FINISH);
  packed.resize(stream.total_out);
  deflateEnd(&stream);
  return packed;
}

std::string Line(const std::string& keyLocation) {
  return "indexnow:https://api.example/indexnow?key=held-key-1&keyLocation=" + keyLocation;
}

// A key file is read through redirects and gzip, like a source; what is
// wrong with it is said with its URL.
TEST(KeyCheckTest, ReadsTheKeyFileLikeASource) {
  struct Case {
    std::vector<TScript> scripts;
    std::string reason;  // after "key file URL"; empty when the file holds the key
  };
  const std::vector<Case> cases = {
      {{{ReadRequestStep(), SendStep(Answer("200 OK", "", "held-key-1\n"))}}, ""},
      {{{ReadRequestStep(), SendStep(Answer("200 OK", "", "other"))}}, " does not hold the key"},
      {{{ReadRequestStep(), SendStep(Answer("404 Not Found"))}}, ": the server answered 404: Not Found"},
      {{{ReadRequestStep(), SendStep(Answer("301 Moved Permanently", "Location: /keys/k1.txt\r\n"))},
        {ReadRequestStep(), SendStep(Answer("200 OK", "Content-Encoding: gzip\r\n", Gzipped("held-key-1")))}},
       ""},
      {{{ReadRequestStep(), SendStep(Answer("302 Found", "Location: /k1.txt\r\n"))}},
       ": the server redirects in a loop, back to "},
      {{{ReadRequestStep(), SendStep(Answer("302 Found", "Location: file:///etc/passwd\r\n"))}},
       ": the server redirects to \"file:///etc/passwd\", which is not an http or https URL"},
  };
  for (const Case& c : cases) {
    TScriptServer server(AF_INET, c.scripts);
    const std::string location = "http://127.0.0.1:" + server.PortText() + "/k1.txt";
    TKeyChecks checks({}, {});
    const std::string reason = checks.Check(Line(location), "http://127.0.0.1:" + server.PortText() + "/");
    server.Stop();
    if (c.reason.empty())
      EXPECT_EQ(reason, "");
    else
      EXPECT_EQ(reason.substr(0, ("key file " + location + c.reason).size()), "key file " + location + c.reason);
  }
}

// However many sites and workers share a key file, it is fetched once, and
// every site gets its finding.
TEST(KeyCheckTest, FetchesEachFileOnce) {
  TScriptServer server(AF_INET, {{ReadRequestStep(), SendStep(Answer("200 OK", "", "held-key-1"))}});
  const std::string line = Line("http://127.0.0.1:" + server.PortText() + "/k1.txt");
  int notes = 0;
  TKeyChecks checks({}, [&notes](const std::string&, const std::string&, const std::string&) { ++notes; });
  std::vector<std::string> findings(5, "unset");
  std::vector<std::thread> workers;
  for (std::size_t i = 0; i < findings.size(); ++i)
    workers.emplace_back([&, i] { findings[i] = checks.Check(line, "http://127.0.0.1:" + server.PortText() + "/"); });
  for (std::thread& worker : workers) worker.join();
  server.Stop();
  EXPECT_EQ(server.Received().size(), 1u);
  EXPECT_EQ(notes, 1);
  for (const std::string& finding : findings) EXPECT_EQ(finding, "");
}

}  // namespace
}  // namespace corvandel::announce
