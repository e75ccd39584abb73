#include "xml/xml_names.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace corvandel::xml {
namespace {

// Facts of XML 1.0's Appendix B and XML 1.1's NameStartChar and NameChar,
// independent of how the tables are made: {unit, start 1.0, name 1.0,
// start 1.1, name 1.1}.
TEST(NameCharTablesTest, ClassesOfKnownCharacters) {
  struct TCase {
    char16_t Char;
    int Start10, Name10, Start11, Name11;
  };
  const TCase cases[] = {
      {u'A', 1, 1, 1, 1},    {u'z', 1, 1, 1, 1},    {u'_', 1, 1, 1, 1},    {u'0', 0, 1, 0, 1},
      {u'.', 0, 1, 0, 1},    {u':', 0, 0, 0, 0},    {u' ', 0, 0, 0, 0},    {0x00B7, 0, 1, 0, 1},
      {0x00D7, 0, 0, 0, 0},  {0x00F7, 0, 0, 0, 0},  {0x0131, 1, 1, 1, 1},  {0x0132, 0, 0, 1, 1},
      {0x0134, 1, 1, 1, 1},  {0x02D0, 0, 1, 1, 1},  {0x0300, 0, 1, 0, 1},  {0x0346, 0, 0, 0, 1},
      {0x037E, 0, 0, 0, 0},  {0x0660, 0, 1, 1, 1},  {0x203F, 0, 0, 0, 1},  {0x2070, 0, 0, 1, 1},
      {0x3005, 0, 1, 1, 1},  {0x3007, 1, 1, 1, 1},  {0x3021, 1, 1, 1, 1},  {0x4E00, 1, 1, 1, 1},
      {0x9FA5, 1, 1, 1, 1},  {0x9FA6, 0, 0, 1, 1},  {0xAC00, 1, 1, 1, 1},  {0xD7A4, 0, 0, 1, 1},
      {0xD800, 0, 0, 0, 0},  {0xDC00, 0, 0, 0, 0},  {0xE000, 0, 0, 0, 0},  {0xFDD0, 0, 0, 0, 0},
      {0xFFFD, 0, 0, 1, 1},  {0xFFFE, 0, 0, 0, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(c.Char));
    EXPECT_EQ(IsNameStartChar(c.Char, false), c.Start10 != 0);
    EXPECT_EQ(IsNameChar(c.Char, false), c.Name10 != 0);
    EXPECT_EQ(IsNameStartChar(c.Char, true), c.Start11 != 0);
    EXPECT_EQ(IsNameChar(c.Char, true), c.Name11 != 0);
  }
}

TEST(NameCharTablesTest, AsciiClassesAndInvariants) {
  for (bool xml11 : {false, true}) {
    const TNameCharTables& tables = NameCharTables(xml11);
    EXPECT_EQ(tables.Bitmaps()[0], TNameBitmap{});
    EXPECT_EQ(tables.Bitmaps()[1], (TNameBitmap{~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u}));
    for (unsigned c = 0; c < 0x80; ++c) {
      const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      const bool digit = c >= '0' && c <= '9';
      EXPECT_EQ(tables.IsNameStartChar(c), letter || c == '_') << c;
      EXPECT_EQ(tables.IsNameChar(c), letter || digit || c == '_' || c == '-' || c == '.') << c;
    }
    for (unsigned c = 0; c <= 0xFFFF; ++c) {
      const auto unit = static_cast<DOMChar>(c);
      ASSERT_TRUE(!tables.IsNameStartChar(unit) || tables.IsNameChar(unit)) << std::hex << c;
    }
  }
}

TEST(NameCharTablesTest, Xml11TablesAreBuiltOnceAcrossThreads) {
  std::vector<const TNameCharTables*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = &Xml11NameTables(); });
  for (std::thread& t : threads) t.join();
  for (const TNameCharTables* tables : seen) EXPECT_EQ(tables, &Xml11NameTables());
}

// {value, result under XML 1.0, result under XML 1.1}
struct TCheckCase {
  DOMString Value;
  int Xml10, Xml11;
};

void ExpectEach(const std::vector<TCheckCase>& cases, bool (*check)(DOMStringView, bool)) {
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    EXPECT_EQ(check(cases[i].Value, false), cases[i].Xml10 != 0);
    EXPECT_EQ(check(cases[i].Value, true), cases[i].Xml11 != 0);
  }
}

const DOMString kPair = u"\xD800\xDC00";  // U+10000

TEST(NameCheckTest, IsValidName) {
  ExpectEach({{u"", 0, 0},         {u"a", 1, 1},           {u"_a", 1, 1},        {u":a", 1, 1},
              {u"a:", 1, 1},       {u"a-1", 1, 1},         {u"a.b", 1, 1},       {u"1a", 0, 0},
              {u"-a", 0, 0},       {u".a", 0, 0},          {u"a b", 0, 0},       {u"\x0132", 0, 1},
              {u"\x0131", 1, 1},   {u"a\x00B7", 1, 1},     {u"\x00B7", 0, 0},    {kPair, 0, 1},
              {u"a" + kPair + u"b", 0, 1},
              {u"\xD800", 0, 0},           // lone high surrogate
              {u"a\xD800", 0, 0},          // cut off at the end
              {u"\xD800\x0041", 0, 0},     // no low surrogate after it
              {u"\xDC00\xD800", 0, 0},     // reversed
              {u"\xDB80\xDC00", 0, 0},     // U+F0000 lies beyond the accepted planes
              {u"\xDB7F\xDFFF", 0, 1}},    // U+EFFFF is the last accepted
             IsValidName);
  EXPECT_TRUE(IsValidName(u"a b", 1, false));
}

TEST(NameCheckTest, IsValidNmtoken) {
  ExpectEach({{u"", 0, 0}, {u"1a", 1, 1}, {u"-", 1, 1}, {u":", 1, 1}, {u"\x00B7", 1, 1}, {u"a b", 0, 0},
              {kPair, 0, 1}, {u"1\xD800", 0, 0}},
             IsValidNmtoken);
}

TEST(NameCheckTest, IsValidNameList) {
  ExpectEach({{u"a b", 1, 1}, {u"  a  b", 1, 1}, {u"a:b c", 1, 1}, {u"a b ", 0, 0}, {u" ", 0, 0}, {u"", 0, 0},
              {u"a 1", 0, 0}, {u"a\tb", 0, 0}, {u"a " + kPair, 0, 1}, {u"a \xD800", 0, 0}},
             IsValidNameList);
}

TEST(NameCheckTest, IsValidNmtokenList) {
  ExpectEach({{u"1 2", 1, 1}, {u" 1  -", 1, 1}, {u"1 ", 0, 0}, {u" ", 0, 0}, {u"", 0, 0}, {u"a\nb", 0, 0},
              {kPair + u" 1", 0, 1}},
             IsValidNmtokenList);
}

TEST(NameCheckTest, CheckQualifiedName) {
  struct TCase {
    DOMString Name;
    int NamespaceIndex;
    int Expected;
  };
  const TCase cases[] = {
      {u"a:b", 0, -14},     {u"a:b", 3, 2},         {u"a:b:c", 3, -14},   {u"xmlns", 2, 0},
      {u"xmlns", 3, -14},   {u"xmlns:p", 2, 6},     {u"xmlns:p", 3, -14}, {u"p:a", 2, -14},
      {u"a", 2, -14},       {u"xmlnsx", 3, 0},      {u"xml:lang", 1, 4},  {u"xml:lang", 3, -14},
      {u"p:lang", 1, 2},    {u":a", 3, -14},        {u"a:", 3, -14},      {u"a:1", 3, -14},
      {u"a", 0, 0},         {u"", 0, -5},           {u"1a", 3, -5},       {u"a:b:c", -1, -14},
      {u"xml:lang", -1, 4}, {u"a:b", -1, 2},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(CheckQualifiedName(c.Name, c.NamespaceIndex, false), c.Expected) << "case " << (&c - cases);

  // Under XML 1.1 a supplementary character may start the local part.
  EXPECT_EQ(CheckQualifiedName(u"a:" + kPair, 3, true), 2);
  EXPECT_EQ(CheckQualifiedName(kPair + u":a", 3, true), 3);
}

TEST(NormalizeSpacesTest, TrimsAndCollapsesSpaces) {
  const std::pair<DOMString, DOMString> cases[] = {
      {u"  a   b  ", u"a b"}, {u"a  b", u"a b"},  {u"abc", u"abc"}, {u"", u""},
      {u"   ", u""},         {u"a ", u"a"},       {u"a   b   c", u"a b c"},
      {u"a\t\tb", u"a\t\tb"},  // only spaces are collapsed
      {u" \ta\t ", u"a"},      // trimming takes every unit up to U+0020...
      {u"\ta", u"\ta"},        // ...but only when a space is at an end
  };
  for (const auto& [input, expected] : cases) {
    DOMString value = input;
    NormalizeSpaces(value);
    EXPECT_EQ(value, expected);
  }
}

}  // namespace
}  // namespace corvandel::xml
