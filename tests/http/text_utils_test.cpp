#include "http/text_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvandel::http {
namespace {

TEST(TextCutTest, BeforeAndAfterTheFirstDelimiter) {
  struct Case {
    std::string text, delimiter, before, after;
  };
  const Case cases[] = {
      {"abc", " ", "abc", "abc"},
      {"a;b;c", ";", "a", "b;c"},
      {"key: value", ": ", "key", "value"},
      {"a::b", "::", "a", "b"},
      {";x", ";", "", "x"},
      {"x;", ";", "x", ""},
      {"", ";", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextBefore(c.text, c.delimiter), c.before) << c.text;
    EXPECT_EQ(TextAfter(c.text, c.delimiter), c.after) << c.text;
  }
}

TEST(TextCutTest, TakeFieldConsumesUpToTheDelimiter) {
  std::string text = "a;b;c";
  EXPECT_EQ(TakeField(text, ";"), "a");
  EXPECT_EQ(text, "b;c");
  EXPECT_EQ(TakeField(text, ";"), "b");
  EXPECT_EQ(TakeField(text, ";"), "c");
  EXPECT_EQ(text, "");

  std::string whole = "abc";
  EXPECT_EQ(TakeField(whole, ";"), "abc");
  EXPECT_EQ(whole, "");

  std::string padded = "  a  , b ,c ";
  EXPECT_EQ(TakeFieldTrimmed(padded, ","), "a");
  EXPECT_EQ(padded, "b ,c");
}

TEST(TrimTest, BlankTrimmingKeepsOtherControls) {
  EXPECT_EQ(TrimBlanks("\t a b \r\n "), "\t a b \r\n");
  EXPECT_EQ(Trim(std::string("\0\t x \x01\r\n", 8)), "x");
}

TEST(ParseIntDefTest, WholeIntegersOrTheDefault) {
  const std::pair<std::string, int32_t> cases[] = {
      {"0", 0},           {"42", 42},          {"-7", -7},          {"+7", 7},
      {"$1F", 31},        {"$ffff", 65535},    {"$FFFFFFFF", -1},   {"2147483647", 2147483647},
      {"2147483648", -5}, {"-2147483648", INT32_MIN}, {"", -5},     {"12a", -5},
      {" 1", -5},         {"$", -5},           {"$g", -5},          {"99999999999999999999", -5},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseIntDef(text, -5), expected) << text;
}

TEST(FindLineEndTest, FirstLineEndWithItsPartner) {
  struct Case {
    std::string text;
    int32_t position;
    std::string terminator;
  };
  const Case cases[] = {
      {"abc", -1, ""},          {"", -1, ""},
      {"ab\r\ncd", 3, "\r\n"},  {"ab\n\rcd", 3, "\n\r"},
      {"ab\ncd", 3, "\n"},      {"ab\rcd", 3, "\r"},
      {"ab\r", 3, "\r"},        {"ab\n", 3, "\n"},
      {"\r\r\n", 1, "\r"},      {"\n\n", 1, "\n"},
      {"a\r\n\r\n", 2, "\r\n"},
  };
  for (const Case& c : cases) {
    const TLineEnd end = FindLineEnd(c.text);
    EXPECT_EQ(end.Position, c.position) << c.text;
    EXPECT_EQ(end.Terminator, c.terminator) << c.text;
  }
}

TEST(NextHeaderLineTest, JoinsContinuationLines) {
  const std::vector<std::string> lines = {
      "A: 1",  " more",   "\tand tab", "B: 2",  "\"quoted\"", ":colon", "=eq",
      "C: 3 ", "", " not joined after empty", "D: 4", " last entry is never joined"};
  std::size_t index = 0;
  EXPECT_EQ(NextHeaderLine(lines, index), "A: 1 more and tab");
  EXPECT_EQ(index, 3u);
  EXPECT_EQ(NextHeaderLine(lines, index), "B: 2 \"quoted\" :colon =eq");
  EXPECT_EQ(NextHeaderLine(lines, index), "C: 3");
  EXPECT_EQ(NextHeaderLine(lines, index), "");
  EXPECT_EQ(NextHeaderLine(lines, index), " not joined after empty");
  EXPECT_EQ(NextHeaderLine(lines, index), "D: 4");
  EXPECT_EQ(NextHeaderLine(lines, index), " last entry is never joined");
  EXPECT_EQ(index, lines.size());
  EXPECT_EQ(NextHeaderLine(lines, index), "");
}

TEST(Base64EncodeTest, StandardAlphabetWithPadding) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},          {"a", "YQ=="},        {"ab", "YWI="},
      {"abc", "YWJj"},   {"user:pass", "dXNlcjpwYXNz"},
      {std::string("\xFB\xFF\xBF", 3), "+/+/"}, {std::string("\0\0", 2), "AAA="},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(Base64Encode(bytes), text) << text;
}

TEST(IPLiteralTest, IPv4) {
  const std::pair<std::string, bool> cases[] = {
      {"127.0.0.1", true},   {"0.0.0.0", true},   {"255.255.255.255", true}, {"1. 2 .3.4", true},
      {"256.0.0.1", false},  {"1.2.3", false},    {"1.2.3.4.5", false},     {"1..3.4", false},
      {"a.b.c.d", false},    {"-1.2.3.4", false}, {"1.2.3.4x", false},      {"", false},
      {"localhost", false},  {"::1", false},      {"99999999999.1.1.1", false},
      {"1.2.3.4.", false},   {".1.2.3.4", false}, {"001.002.003.004", true}, {"1.2.3. 4", true},
      {"1.2.3.", false},     {"1.2.3.256", false},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(IsIPv4Literal(text), expected) << text;
}

TEST(IPLiteralTest, IPv6) {
  const std::pair<std::string, bool> cases[] = {
      {"::", true},
      {"::1", true},
      {"fe80::1%4", true},
      {"1:2:3:4:5:6:7:8", true},
      {"2001:db8::ff00:42:8329", true},
      {"::ffff", true},
      {"FFFF::", true},
      {"1::", true},
      {"1:", false},
      {":1", false},
      {"1:::", false},
      {"::ffff:10.0.0.1", true},
      {"64:ff9b::192.0.2.33%1", true},
      {"1:2:3:4:5:6:1.2.3.4", true},
      {"1:2:3:4:5:6:7:1.2.3.4", false},
      {"::1.2.3.4:1", false},
      {"::ffff:10.0.0.256", false},
      {"1:2:3:4:5:6:7:8:9", false},
      {"1::2::3", false},
      {"cafe", false},
      {"1.2.3.4", false},
      {"example.org", false},
      {"fe80::1%eth0", false},
      {"fe80::1%10000", false},
      {"12345::1", false},
      {"g::1", false},
      {"", false},
      {":::", false},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(IsIPv6Literal(text), expected) << text;
    EXPECT_EQ(IPLiteralBytes(text).size() == 16, expected) << text;
  }
}

TEST(IPLiteralTest, BytesOfEachForm) {
  const std::pair<std::string, std::string> cases[] = {
      {"10.0.0.1", std::string("\x0a\x00\x00\x01", 4)},
      {"::ffff:10.0.0.1", std::string(10, '\0') + std::string("\xff\xff\x0a\x00\x00\x01", 6)},
      {"::ffff:a00:1", std::string(10, '\0') + std::string("\xff\xff\x0a\x00\x00\x01", 6)},
      {"fd00::", std::string("\xfd", 1) + std::string(15, '\0')},
      {"1:2:3:4:5:6:7:8%4", std::string("\0\x01\0\x02\0\x03\0\x04\0\x05\0\x06\0\x07\0\x08", 16)},
      {"example.org", ""},
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(IPLiteralBytes(text), bytes) << text;
}

TEST(SplitURLTest, Table) {
  struct Case {
    std::string url;
    TURLParts parts;
  };
  const Case cases[] = {
      {"http://h", {"http", "", "", "h", "80", "/", "", "/"}},
      {"http://h:8080/RPC2?a=1", {"http", "", "", "h", "8080", "/RPC2", "a=1", "/RPC2?a=1"}},
      {"https://h/x", {"https", "", "", "h", "443", "/x", "", "/x"}},
      {"HTTPS://h", {"HTTPS", "", "", "h", "443", "/", "", "/"}},
      {"ftp://h/f", {"ftp", "", "", "h", "21", "/f", "", "/f"}},
      {"rpc.example.org/ping", {"http", "", "", "rpc.example.org", "80", "/ping", "", "/ping"}},
      {"http://u:p:q@h/", {"http", "u", "p:q", "h", "80", "/", "", "/"}},
      {"http://u@h", {"http", "u", "", "h", "80", "/", "", "/"}},
      {"http://h/p@x", {"http", "", "", "h", "80", "/p@x", "", "/p@x"}},
      {"http://[::1]:8080/x", {"http", "", "", "::1", "8080", "/x", "", "/x"}},
      {"http://[fe80::1%4]/", {"http", "", "", "fe80::1%4", "80", "/", "", "/"}},
      {"http://[::1]junk/", {"http", "", "", "::1", "80", "/", "", "/"}},
      {"http://h:80:90/", {"http", "", "", "h", "80:90", "/", "", "/"}},
      {"http://h/a?b?c#frag", {"http", "", "", "h", "80", "/a", "b?c#frag", "/a?b?c#frag"}},
      {"http://h/a#frag", {"http", "", "", "h", "80", "/a#frag", "", "/a#frag"}},
      {"http:///x", {"http", "", "", "localhost", "80", "/x", "", "/x"}},
      {"http://:81", {"http", "", "", "localhost", "81", "/", "", "/"}},
      {"", {"http", "", "", "localhost", "80", "/", "", "/"}},
  };
  for (const Case& c : cases) {
    const TURLParts got = SplitURL(c.url);
    EXPECT_EQ(got.Protocol, c.parts.Protocol) << c.url;
    EXPECT_EQ(got.User, c.parts.User) << c.url;
    EXPECT_EQ(got.Password, c.parts.Password) << c.url;
    EXPECT_EQ(got.Host, c.parts.Host) << c.url;
    EXPECT_EQ(got.Port, c.parts.Port) << c.url;
    EXPECT_EQ(got.Path, c.parts.Path) << c.url;
    EXPECT_EQ(got.Parameters, c.parts.Parameters) << c.url;
    EXPECT_EQ(got.RequestURI, c.parts.RequestURI) << c.url;
  }
}

}  // namespace
}  // namespace corvandel::http
