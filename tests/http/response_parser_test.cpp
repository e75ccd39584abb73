#include "http/response_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvandel::http {
namespace {

TEST(ResponseParserTest, StatusLines) {
  struct Case {
    std::string line;
    bool isStatus;
    int32_t code;
    std::string reason;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK", true, 200, "OK"},
      {"http/1.0 404", true, 404, ""},
      {"HTTP/1.0 500 Internal Server Error ", true, 500, "Internal Server Error"},
      {"HTTP/1.1  301   Moved  ", true, 301, "Moved"},
      {"HTTP/1.1 abc Bad", true, 0, "Bad"},
      {"HTTP/", true, 0, ""},
      {"HTTP", false, 0, ""},
      {"<html>", false, 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsStatusLine(c.line), c.isStatus) << c.line;
    const TStatusLine status = ParseStatusLine(c.line);
    EXPECT_EQ(status.Code, c.code) << c.line;
    EXPECT_EQ(status.Reason, c.reason) << c.line;
  }
}

TEST(ResponseParserTest, HeaderBlocksDecideFramingTypeAndClose) {
  struct Case {
    std::string name;
    std::vector<std::string> lines;
    bool usingProxy;
    TBodyFraming framing;
    int64_t length;
    bool closeAfter;
    std::string mimeType;
  };
  const Case cases[] = {
      {"nothing", {""}, false, BF_UntilClose, -1, false, "text/html"},
      {"a length", {"Content-Length: 12", ""}, false, BF_Length, 12, false, "text/html"},
      {"a length without a blank is no length", {"Content-Length:12", ""}, false, BF_UntilClose, -1, false,
       "text/html"},
      {"a length that does not parse", {"Content-Length: 1x", ""}, false, BF_UntilClose, -1, false, "text/html"},
      {"chunked after a length", {"content-length: 5", "Transfer-Encoding: gzip, Chunked", ""}, false, BF_Chunked,
       5, false, "text/html"},
      {"chunked before a length", {"TRANSFER-ENCODING: chunked", "Content-Length: 5", ""}, false, BF_Chunked, 5,
       false, "text/html"},
      {"a content type", {"Content-Type:  text/xml; charset=utf-8 ", ""}, false, BF_UntilClose, -1, false,
       "text/xml; charset=utf-8"},
      {"close asked", {"Connection: Close", ""}, false, BF_UntilClose, -1, true, "text/html"},
      {"a proxy's close is not the server's", {"Proxy-Connection: close", ""}, false, BF_UntilClose, -1, false,
       "text/html"},
      {"behind a proxy its close counts", {"Proxy-Connection: close", ""}, true, BF_UntilClose, -1, true,
       "text/html"},
      {"behind a proxy the server's close does not", {"Connection: close", ""}, true, BF_UntilClose, -1, false,
       "text/html"},
      {"a folded length", {"Content-Length:", " 7", ""}, false, BF_Length, 7, false, "text/html"},
  };
  for (const Case& c : cases) {
    TResponseHead head;
    head.MimeType = "text/html";
    InterpretHeaderLines(c.lines, c.usingProxy, head);
    EXPECT_EQ(head.Framing, c.framing) << c.name;
    EXPECT_EQ(head.ContentLength, c.length) << c.name;
    EXPECT_EQ(head.CloseAfter, c.closeAfter) << c.name;
    EXPECT_EQ(head.MimeType, c.mimeType) << c.name;
    EXPECT_EQ(head.Lines.back(), "") << c.name;
  }
}

TEST(ResponseParserTest, ChunkSizes) {
  struct Case {
    std::string line;
    int32_t size;
  };
  const Case cases[] = {{"5", 5},          {"a", 10},      {"FF", 255}, {"5;ext=1", 5}, {"3 ; x", 3},
                        {"1f ", 31},  {" 1f", 0},      {"0", 0},       {"zz", 0},   {"", 0},        {"7fffffff", 0x7fffffff},
                        {"100000000", 0}};
  for (const Case& c : cases) EXPECT_EQ(ParseChunkSize(c.line), c.size) << c.line;
}

TEST(ResponseParserTest, CookiesAreSetReplacedAndRemoved) {
  std::vector<std::string> cookies{"keep=1", "SID=old"};
  CollectCookies({"HTTP/1.1 200 OK", "Set-Cookie: sid=abc; Path=/; HttpOnly", "set-cookie: n", "X: y", ""}, cookies);
  EXPECT_EQ(cookies, (std::vector<std::string>{"keep=1", "sid=abc", "n=n"}));
  CollectCookies({"SET-COOKIE: keep=; Max-Age=0"}, cookies);
  EXPECT_EQ(cookies, (std::vector<std::string>{"sid=abc", "n=n"}));
}

}  // namespace
}  // namespace corvandel::http
