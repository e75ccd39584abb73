#include <gtest/gtest.h>

#include <string>

#include "runtime/ascii_case.h"
#include "runtime/code_page.h"

namespace corvandel::runtime {
namespace {

TEST(CodePageTest, WidensValidUTF8) {
  EXPECT_EQ(SystemToUTF16(""), u"");
  EXPECT_EQ(SystemToUTF16("abc"), u"abc");
  EXPECT_EQ(SystemToUTF16("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(SystemToUTF16("\xE2\x82\xAC"), u"\u20AC");
  EXPECT_EQ(SystemToUTF16("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(SystemToUTF16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(CodePageTest, InvalidBytesWidenToReplacementCharacters) {
  struct Case {
    const char* bytes;
    std::u16string expected;
  };
  const Case cases[] = {
      {"\x80", u"\uFFFD"},                      // stray continuation byte
      {"a\xFF" "b", u"a\uFFFDb"},               // never valid
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong lead byte
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\xE2\x82", u"\uFFFD"},                  // truncated at the end: one maximal subpart
      {"\xE2\x82" "a", u"\uFFFDa"},
      {"\xF0\x9F\x98" "\xC3\xA9", u"\uFFFD\u00E9"},
  };
  for (const Case& c : cases) EXPECT_EQ(SystemToUTF16(c.bytes), c.expected) << c.bytes;
}

TEST(CodePageTest, NarrowsToUTF8AndReplacesUnpairedSurrogates) {
  EXPECT_EQ(UTF16ToSystem(u"caf\u00E9 \u20AC"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(UTF16ToSystem(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(UTF16ToSystem(std::u16string(1, 0xD800) + u"a"), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(UTF16ToSystem(std::u16string(1, 0xDC00)), "\xEF\xBF\xBD");
  const std::string text = "Grüße, 世界 \xF0\x9F\x98\x80";
  EXPECT_EQ(UTF16ToSystem(SystemToUTF16(text)), text);
}

TEST(AsciiCaseTest, ChangesOnlyAsciiLetters) {
  EXPECT_EQ(LowerCase("FlError ÄÖ 1@Z[`"), "flerror ÄÖ 1@z[`");
  EXPECT_TRUE(StartsWithNoCase("Retry-After: 5", "retry-after:"));
  EXPECT_TRUE(StartsWithNoCase("http/1.1 200", "HTTP/"));
  EXPECT_FALSE(StartsWithNoCase("HTTP", "HTTP/"));
  EXPECT_FALSE(StartsWithNoCase("[ttp/", "{TTP/"));  // only letters fold
  EXPECT_EQ(UpperCase("message äö {z}"), "MESSAGE äö {Z}");
  EXPECT_EQ(LowerCase(u"NAME \u00C4"), u"name \u00C4");
  EXPECT_EQ(UpperCase(u"name \u00E4"), u"NAME \u00E4");
}

}  // namespace
}  // namespace corvandel::runtime
