#include "cli/record_format.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace corvandel::cli {
namespace {

using namespace std::string_literals;

TEST(RecordFormatTest, EscapesEverythingThatSteersATerminal) {
  const struct {
    std::string text;
    std::string escaped;
  } cases[] = {
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {"\x1b[2J\x7f\0"s, "\\x1b[2J\\x7f\\x00"},
      {"C1 \xC2\x85 \xC2\x9B \xC2\x9F, not \xC2\xA0", "C1 \\xc2\\x85 \\xc2\\x9b \\xc2\\x9f, not \xC2\xA0"},
      // A raw C1 byte that is no part of a character, alone or after a lead byte.
      {"\x9B" "2J \xC3\x9B \x80 \xE2\x80", "\\x9b2J \xC3\x9B \\x80 \xE2\\x80"},
      {"\xC3" "\x9B" "ok", "\xC3\x9Bok"},  // U+00DB is an ordinary letter
      // Direction controls, but not their neighbours.
      {"\xE2\x80\xAE" "abc\xE2\x81\xA6" "d\xE2\x81\xA9",
       "\\xe2\\x80\\xae" "abc\\xe2\\x81\\xa6" "d\\xe2\\x81\\xa9"},
      {"\xE2\x80\xAA\xE2\x80\xAD \xE2\x80\xA9 \xE2\x80\xAF \xE2\x81\xA5 \xE2\x81\xAA",
       "\\xe2\\x80\\xaa\\xe2\\x80\\xad \xE2\x80\xA9 \xE2\x80\xAF \xE2\x81\xA5 \xE2\x81\xAA"},
      // Other text passes as it came, invalid UTF-8 above 0x9F included.
      {"\xE2\x80\x9C" "quoted\xE2\x80\x9D \xF0\x9F\x98\x80 \xFF\xC3", "\xE2\x80\x9C" "quoted\xE2\x80\x9D \xF0\x9F\x98\x80 \xFF\xC3"},
      // Overlong and surrogate forms are no characters: their C1 bytes are escaped.
      {"\xE0\x80\x9B \xED\xA0\x80", "\xE0\\x80\\x9b \xED\xA0\\x80"},
      {"back\\slash", "back\\slash"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeControls(c.text), c.escaped) << testing::PrintToString(c.text);
  EXPECT_EQ(EscapeControls("a\\b\r", true), "a\\\\b\\r");
}

TEST(RecordFormatTest, JSONLinesEscapeControlsAndReadBackTheSame) {
  engine::TPingResult result;
  result.ServiceURL = "rpc.example/ping";
  result.SiteURL = "http://blog.example";
  result.Answer = "Thanks\r\n\xC2\x9B\xE2\x80\xAE\x7f\xE2\x81\xA8 \xC3\xA9";
  const std::string line = JSONRecord(result);
  EXPECT_EQ(line.find_first_of("\r\n\x7f"), std::string::npos) << line;
  for (const char* raw : {"\xC2\x9B", "\xE2\x80\xAE", "\xE2\x81\xA8"}) EXPECT_EQ(line.find(raw), std::string::npos) << line;
  EXPECT_NE(line.find("\\u009b\\u202e\\u007f\\u2068 \xC3\xA9"), std::string::npos) << line;
  EXPECT_EQ(nlohmann::json::parse(line)["answer"], result.Answer);
  // A raw C1 byte is not UTF-8: it becomes U+FFFD.
  result.Answer = "\x9B" "2J";
  EXPECT_EQ(nlohmann::json::parse(JSONRecord(result))["answer"], "\xEF\xBF\xBD" "2J");
}

}  // namespace
}  // namespace corvandel::cli
