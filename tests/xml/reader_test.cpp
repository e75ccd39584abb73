#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "runtime/code_page.h"
#include "runtime/memory_stream.h"
#include "xml/reader.h"
#include "piece_stream.h"
#include "tree_dump.h"

namespace corvandel::xml {
namespace {

using corvandel::testing::DumpTree;
using testing::TPieceStream;

std::string Narrow(const DOMString& text) { return runtime::UTF16ToSystem(text); }

// Parses text, in one piece or in pieces of the given size; returns the
// tree's picture, or "error: " and the exception's message.
std::string Read(std::string_view text, std::size_t piece = 0, const TXMLReaderSettings& settings = {}) {
  std::unique_ptr<TXMLDocument> doc;
  std::unique_ptr<runtime::TMemoryStream> stream =
      piece ? std::make_unique<TPieceStream>(text, piece) : std::make_unique<runtime::TMemoryStream>(text);
  try {
    ReadDocumentFromStream(doc, *stream, u"stream:", settings);
  } catch (const EXMLReadError& e) {
    return std::string("error: ") + e.what();
  }
  return DumpTree(doc.get());
}

struct Case {
  const char* text;
  const char* expected;
};

void Check(const Case& c) {
  const std::string text = c.text;
  EXPECT_EQ(Read(text), c.expected) << "input: " << text;
  for (std::size_t piece = 1; piece <= 5; ++piece)
    EXPECT_EQ(Read(text, piece), c.expected) << "input: " << text << " in pieces of " << piece;
}

TEST(ReaderTest, AnswersBuildTheTreesTheClassifierRelliesOn) {
  const std::string compact =
      "<methodResponse><params><param><value><struct><member><name>flerror</name><value><boolean>0</boolean>"
      "</value></member><member><name>message</name><value>Thanks</value></member></struct></value></param>"
      "</params></methodResponse>";
  const std::string indented =
      "<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n  <params>\r\n    <param>\r\n      <value>\r\n"
      "        <struct>\r\n          <member>\r\n            <name>flerror</name>\r\n"
      "            <value><boolean>0</boolean></value>\r\n          </member>\r\n"
      "          <member>\r\n            <name>message</name>\r\n            <value>Thanks</value>\r\n"
      "          </member>\r\n        </struct>\r\n      </value>\r\n    </param>\r\n  </params>\r\n"
      "</methodResponse>\r\n";
  const char* tree =
      "methodResponse[params[param[value[struct[member[name['flerror']value[boolean['0']]]"
      "member[name['message']value['Thanks']]]]]]]";
  Check({compact.c_str(), tree});
  Check({indented.c_str(), tree});
}

TEST(ReaderTest, ContentShapes) {
  const Case cases[] = {
      {"<a/>", "a"},
      {"<a></a>", "a"},
      {"<a>  text  </a>", "a['text  ']"},
      {"<a>\n x <b/> y </a>", "a['x 'b' y ']"},
      {"<a> <b/> <c/> </a>", "a[bc]"},
      {"<a><!--c--><b/></a>", "a[<!--c-->b]"},
      {"<a><?pi data?></a>", "a[<?pi data?>]"},
      {"<a><?pi?></a>", "a[<?pi?>]"},
      {"<a>x<![CDATA[<&>]]>y</a>", "a['x'<![<&>]>'y']"},
      {"<a><![CDATA[]]></a>", "a[<![]>]"},
      {"<a><![CDATA[a]b]]c]]></a>", "a[<![a]b]]c]>]"},
      {"<a>x > y</a>", "a['x > y']"},
      {"<a>&#32;</a>", "a[' ']"},
      {"<a>&lt;&gt;&amp;&apos;&quot;</a>", "a['<>&'\"']"},
      {"<a>&#65;&#x41;&#x1F600;</a>", "a['AA\xF0\x9F\x98\x80']"},
      {"<a>1\r\n2\r3\n4</a>", "a['1\n2\n3\n4']"},
      {"<a b='1' c=\"2\"/>", "a(b='1' c='2')"},
      {"<a b=' x\ty\nz\r\nw '/>", "a(b=' x y z w ')"},
      {"<a b='&#9;&lt;\"'/>", "a(b='\t<\"')"},
      {"<a b=''/>", "a(b=)"},
      {"<a b='x&quot;y' c=\"&apos;\"></a >", "a(b='x\"y' c=''')"},
      {"<a zz='1' a='2' bb='3'/>", "a(a='2' bb='3' zz='1')"},
      {"<a:b xmlns:a='u'/>", "a:b(xmlns:a='u')"},
      {"<?xml version='1.0' encoding='UTF-8' standalone='yes'?><a/>", "a"},
      {"<?xml version=\"1.0\"?><a/>", "a"},
      {"\xEF\xBB\xBF<a>\xC3\xA9</a>", "a['\xC3\xA9']"},
      {"<!-- before --><a/><!-- after -->\n", "<!-- before -->a<!-- after -->"},
      {"<?pi first?><a/>", "<?pi first?>a"},
      // Runs longer than the blocks that text and names are scanned in.
      {"<a>0123456789abcdefghij<b/>                   <c/>\t\t\t\t\t\t\t\t\t x</a>",
       "a['0123456789abcdefghij'bc'\t\t\t\t\t\t\t\t\t x']"},
      {"<abcdefghijklmnopqrstuvwxyz x0123456789abcdefghij='0123456789abcdef&amp;0123456789\r\n'>"
       "0123456789ab\r\ncdefghij&lt;0123456789\xC3\xA9\xE2\x82\xAC" "0123456789</abcdefghijklmnopqrstuvwxyz>",
       "abcdefghijklmnopqrstuvwxyz(x0123456789abcdefghij='0123456789abcdef&0123456789 ')"
       "['0123456789ab\ncdefghij<0123456789\xC3\xA9\xE2\x82\xAC" "0123456789']"},
  };
  for (const Case& c : cases) Check(c);
}

TEST(ReaderTest, FatalErrorsCarryTheirPosition) {
  const Case cases[] = {
      {"", "error: In 'stream:' (line 1 pos 1): Root element is missing"},
      {"  \n ", "error: In 'stream:' (line 2 pos 2): Root element is missing"},
      {"<a>", "error: In 'stream:' (line 1 pos 4): End-tag is missing for 'a'"},
      {"<a></b>", "error: In 'stream:' (line 1 pos 6): Unmatching element end tag (expected \"</a>\")"},
      {"</a>", "error: In 'stream:' (line 1 pos 2): End-tag is not allowed here"},
      {"<a/><b/>", "error: In 'stream:' (line 1 pos 6): Only one top-level element allowed"},
      {"<a/>text", "error: In 'stream:' (line 1 pos 5): Illegal at document level"},
      {"<a>]]></a>", "error: In 'stream:' (line 1 pos 4): Literal ']]>' is not allowed in text"},
      {"<a>&nbsp;</a>", "error: In 'stream:' (line 1 pos 4): Reference to undefined entity 'nbsp'"},
      {"<a>&#X41;</a>", "error: In 'stream:' (line 1 pos 6): Invalid character reference"},
      {"<a>&#0;</a>", "error: In 'stream:' (line 1 pos 8): Invalid character reference"},
      {"<a>&#x110000;</a>", "error: In 'stream:' (line 1 pos 14): Invalid character reference"},
      {"<a b='1' b='2'/>", "error: In 'stream:' (line 1 pos 10): Duplicate attribute"},
      {"<a b='1'c='2'/>", "error: In 'stream:' (line 1 pos 9): Expected whitespace"},
      {"<a b='<'/>", "error: In 'stream:' (line 1 pos 7): Character '<' is not allowed in attribute value"},
      {"<a b='1/>", "error: In 'stream:' (line 1 pos 7): Literal has no closing quote"},
      {"<a b=1/>", "error: In 'stream:' (line 1 pos 6): Expected single or double quote"},
      {"<a b/>", "error: In 'stream:' (line 1 pos 5): Expected \"=\""},
      {"<a><!-- x -- y --></a>", "error: In 'stream:' (line 1 pos 13): Expected \">\""},
      {"<a><!-- x", "error: In 'stream:' (line 1 pos 8): Unterminated comment"},
      {"<a><![CDATA[x</a>", "error: In 'stream:' (line 1 pos 13): Unterminated CDATA section"},
      {"<a><?pi x", "error: In 'stream:' (line 1 pos 9): Unterminated processing instruction"},
      {"<![CDATA[x]]><a/>", "error: In 'stream:' (line 1 pos 10): Illegal at document level"},
      {"< a/>", "error: In 'stream:' (line 1 pos 2): Whitespace is not allowed here"},
      {"<1a/>", "error: In 'stream:' (line 1 pos 2): Name starts with invalid character"},
      {"\n<?xml version='1.0'?><a/>", "error: In 'stream:' (line 2 pos 3): XML declaration is not allowed here"},
      {"<?XML version='1.0'?><a/>", "error: In 'stream:' (line 1 pos 3): 'xml' is a reserved word; it must be lowercase"},
      {"<?xml encoding='UTF-8'?><a/>", "error: In 'stream:' (line 1 pos 7): Expected \"version\""},
      {"<?xml version='2.0'?><a/>", "error: In 'stream:' (line 1 pos 16): Illegal version number"},
      {"<?xml version='1.0' encoding='windows-1251'?><a/>",
       "error: In 'stream:' (line 1 pos 31): Encoding 'windows-1251' is not supported"},
      {"<?xml version='1.0' standalone='maybe'?><a/>",
       "error: In 'stream:' (line 1 pos 36): Only \"yes\" or \"no\" are permitted as values of \"standalone\""},
      {"<?xml-stylesheet href='x'?><a/>", "error: In 'stream:' (line 1 pos 6): Expected whitespace"},
      {"<a>\x01</a>", "error: In 'stream:' (line 1 pos 4): Invalid character"},
      {"<a>\xEF\xBF\xBE</a>", "error: In 'stream:' (line 1 pos 4): Invalid character"},
      {"<a>\r\n\r\n\x02</a>", "error: In 'stream:' (line 3 pos 1): Invalid character"},
      {"<a>\xC0\x80</a>", "error: In 'stream:' (line 1 pos 4): Invalid character in input stream"},
      {"<a>\xED\xA0\x80</a>", "error: In 'stream:' (line 1 pos 4): Invalid character in input stream"},
      {"<a>\xF4\x90\x80\x80</a>", "error: In 'stream:' (line 1 pos 4): Invalid character in input stream"},
      // Names and references that only start like the expected ones.
      {"<ab></a>", "error: In 'stream:' (line 1 pos 7): Unmatching element end tag (expected \"</ab>\")"},
      {"<a></ab>", "error: In 'stream:' (line 1 pos 6): Unmatching element end tag (expected \"</a>\")"},
      {"<a>&ampx;</a>", "error: In 'stream:' (line 1 pos 4): Reference to undefined entity 'ampx'"},
      {"<a>&lt</a>", "error: In 'stream:' (line 1 pos 7): Expected \";\""},
      {"<a b='v\x01'/>", "error: In 'stream:' (line 1 pos 8): Invalid character"},
      {"<html><body><p>unclosed</body></html>",
       "error: In 'stream:' (line 1 pos 26): Unmatching element end tag (expected \"</p>\")"},
  };
  for (const Case& c : cases) Check(c);
}

TEST(ReaderTest, EncodingsAndByteOrderMarks) {
  const std::string latin1 = "<?xml version='1.0' encoding='latin1'?><a>\xE9</a>";
  Check({latin1.c_str(), "a['\xC3\xA9']"});
  const std::string bomLatin1 = "\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>";
  Check({bomLatin1.c_str(), "a['\xC3\xA9']"});
  const Case declared[] = {
      {"<?xml version='1.0' encoding='us-ascii'?><a>x</a>", "a['x']"},
      {"<?xml version='1.0' encoding='ASCII'?><a>\xC3\xA9</a>", "a['\xC3\xA9']"},
      {"<?xml version='1.0' encoding='windows-1252'?><a>\x93q\x94 \x80\xE9</a>",
       "a['\xE2\x80\x9Cq\xE2\x80\x9D \xE2\x82\xAC\xC3\xA9']"},
      {"<?xml version='1.0' encoding='CP1252'?><a>\x81\x9D\x9F</a>", "a['\xC2\x81\xC2\x9D\xC5\xB8']"},
      {"\xEF\xBB\xBF<?xml version='1.0' encoding='Windows-1252'?><a>\x93</a>", "a['\xE2\x80\x9C']"},
      {"\xEF\xBB\xBF<?xml version='1.0' encoding='US-ASCII'?><a>\xE2\x80\x9C</a>", "a['\xE2\x80\x9C']"},
      {"<?xml version='1.0' encoding='cp1251'?><a/>",
       "error: In 'stream:' (line 1 pos 31): Encoding 'cp1251' is not supported"},
  };
  for (const Case& c : declared) Check(c);

  auto utf16 = [](const std::u16string& text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : text) {
      const char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
      bytes += bigEndian ? high : low;
      bytes += bigEndian ? low : high;
    }
    return bytes;
  };
  for (bool bigEndian : {false, true}) {
    EXPECT_EQ(Read(utf16(u"<a>\u00E9\U0001F600</a>", bigEndian)), "a['\xC3\xA9\xF0\x9F\x98\x80']");
    for (const char16_t* name : {u"UTF-16", u"unicode", bigEndian ? u"utf-16be" : u"UTF-16LE"}) {
      const std::u16string text = u"<?xml version='1.0' encoding='" + std::u16string(name) + u"'?><a>x</a>";
      EXPECT_EQ(Read(utf16(text, bigEndian), 3), "a['x']") << Narrow(name);
    }
    EXPECT_EQ(Read(utf16(u"<?xml version='1.0' encoding='UTF-8'?><a/>", bigEndian)),
              "error: In 'stream:' (line 1 pos 31): Encoding 'UTF-8' is not supported");
    EXPECT_EQ(Read(utf16(u"<?xml version='1.0' encoding='us-ascii'?><a/>", bigEndian)),
              "error: In 'stream:' (line 1 pos 31): Encoding 'us-ascii' is not supported");
    // A lone trailing byte is ignored.
    EXPECT_EQ(Read(utf16(u"<a/>", bigEndian) + "\x20"), "a");
  }
  // A truncated final UTF-8 sequence ends the text without an error of its own.
  EXPECT_EQ(Read("<a/>\xE2\x82"), "a");
}

TEST(ReaderTest, Xml11ReadsItsLineEndsAndNames) {
  Check({"<?xml version='1.1'?><a>1\xC2\x85" "2\xE2\x80\xA8" "3\r\xC2\x85" "4</a>", "a['1\n2\n3\n4']"});
  EXPECT_EQ(Read("<?xml version='1.1'?><a>\xC2\x80</a>"),
            "error: In 'stream:' (line 1 pos 25): Invalid character");
  EXPECT_EQ(Read("<?xml version='1.1'?><\xC4\xB2/>"), "\xC4\xB2");
  EXPECT_EQ(Read("<\xC4\xB2/>"), "error: In 'stream:' (line 1 pos 2): Name starts with invalid character");
  EXPECT_EQ(Read("<?xml version='1.1'?><a>&#x1;</a>"), "a['\x01']");
}

TEST(ReaderTest, NamespaceProcessingWhenAsked) {
  TXMLReaderSettings settings;
  settings.NamespaceAware = true;
  std::unique_ptr<TXMLDocument> doc;
  runtime::TMemoryStream stream("<p:a xmlns:p='urn:p' xmlns='urn:d' p:x='1' y='2'><b/></p:a>");
  ReadDocumentFromStream(doc, stream, u"stream:", settings);
  TDOMElement* root = doc->DocumentElement();
  EXPECT_EQ(root->NamespaceURI(), u"urn:p");
  EXPECT_EQ(root->LocalName(), u"a");
  EXPECT_EQ(root->GetAttributeNode(u"p:x")->NamespaceURI(), u"urn:p");
  EXPECT_EQ(root->GetAttributeNode(u"y")->NamespaceURI(), u"");
  EXPECT_EQ(static_cast<TDOMElement*>(root->FirstChild())->NamespaceURI(), u"urn:d");

  const Case errors[] = {
      {"<p:a/>", "error: In 'stream:' (line 1 pos 7): Unbound prefix \"p\""},
      {"<a xmlns:p='urn:p' p:x='1' xmlns:q='urn:p' q:x='2'/>",
       "error: In 'stream:' (line 1 pos 53): Duplicate prefixed attribute"},
      {"<a xmlns:xml='urn:other'/>", "error: In 'stream:' (line 1 pos 27): Illegal usage of reserved prefix 'xml'"},
      {"<a xmlns:p=''/>", "error: In 'stream:' (line 1 pos 16): Illegal undefining of namespace"},
      {"<a:/>", "error: In 'stream:' (line 1 pos 4): Bad QName syntax, local part is missing"},
      {"<:a/>", "error: In 'stream:' (line 1 pos 2): Name starts with invalid character"},
  };
  for (const Case& c : errors) EXPECT_EQ(Read(c.text, 0, settings), c.expected);
}

TEST(ReaderTest, SettingsChangeTheTree) {
  TXMLReaderSettings keep;
  keep.KeepWhitespaceText = true;
  EXPECT_EQ(Read("<a> <b/> </a>", 0, keep), "a[' 'b' ']");
  TXMLReaderSettings drop;
  drop.DropComments = true;
  EXPECT_EQ(Read("<a>x<!--c-->y</a>", 0, drop), "a['x''y']");
  TXMLReaderSettings cdata;
  cdata.CDataAsText = true;
  EXPECT_EQ(Read("<a>x<![CDATA[<y>]]>z</a>", 0, cdata), "a['x<y>z']");
  TXMLReaderSettings limit;
  limit.CharLimit = 10;
  EXPECT_EQ(Read("<a>0123456789</a>", 0, limit),
            "error: In 'stream:' (line 1 pos 7): Exceeded character count limit");
  // Inside the XML declaration, units are decoded a few at a time under a limit.
  limit.CharLimit = 8;
  EXPECT_EQ(Read("<?xml version='1.0'?><a/>", 0, limit),
            "error: In 'stream:' (line 1 pos 7): Exceeded character count limit");
}

TEST(ReaderTest, PartialDocumentStaysWithTheCaller) {
  std::unique_ptr<TXMLDocument> doc;
  runtime::TMemoryStream stream("<a><b x='1'>text</b><c y='2' y='3'/></a>");
  EXPECT_THROW(ReadDocumentFromStream(doc, stream), EXMLReadError);
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(DumpTree(doc.get()), "a[b(x='1')['text']c(y=)]");  // the second y took the first one's place
}

TEST(ReaderTest, ErrorHookSeesEveryError) {
  TXMLReaderSettings settings;
  std::string seen;
  settings.OnError = [&](const EXMLReadError& e) { seen = e.Reason() + "@" + std::to_string(e.Column()); };
  EXPECT_EQ(Read("<a>&bad;</a>", 0, settings), "error: In 'stream:' (line 1 pos 4): Reference to undefined entity 'bad'");
  EXPECT_EQ(seen, "Reference to undefined entity 'bad'@4");
}

TEST(ReaderTest, DeepNestingIsReadWithoutRecursion) {
  constexpr int kDepth = 1000000;
  std::string text;
  for (int i = 0; i < kDepth; ++i) text += "<d>";
  text += "x";
  for (int i = 0; i < kDepth; ++i) text += "</d>";
  std::unique_ptr<TXMLDocument> doc;
  runtime::TMemoryStream stream(text);
  TXMLReaderSettings unbounded;
  unbounded.MaxDocumentBytes = 0;
  ReadDocumentFromStream(doc, stream, u"stream:", unbounded);
  EXPECT_EQ(doc->DocumentElement()->TextContent(), u"x");
}

// Dense markup makes far more tree than text: the document's memory is
// bounded on its own, whatever the body limit lets through.
TEST(ReaderLimitsTest, DocumentMemoryIsBounded) {
  auto repeated = [](std::string_view piece, std::size_t bytes) {
    std::string text = "<r>";
    while (text.size() < bytes) text += piece;
    return text + "</r>";
  };
  TXMLReaderSettings small;
  small.MaxDocumentBytes = 1u << 20;
  const char* kLimit = "Document exceeds the allowed size in memory";
  for (std::string_view piece : {"<b/>", "<b a='1'/>", "t<!---->", "<?p?>", "<![CDATA[c]]>"}) {
    EXPECT_NE(Read(repeated(piece, 200000), 0, small).find(kLimit), std::string::npos) << piece;
    EXPECT_EQ(Read(repeated(piece, 2000), 0, small).find("error"), std::string::npos) << piece;
  }
  // Text counts by its length: one long run passes the bound too.
  EXPECT_NE(Read("<r>" + std::string(600000, 'x') + "</r>", 0, small).find(kLimit), std::string::npos);
  // The default holds a body's worth of "<b/>" to far less than a tree of it.
  const std::string dense = repeated("<b/>", 4u << 20);
  std::unique_ptr<TXMLDocument> doc;
  runtime::TMemoryStream stream(dense);
  EXPECT_THROW(ReadDocumentFromStream(doc, stream), EXMLReadError);
  EXPECT_LE(doc->AllocatedNodeBytes(), kDefaultMaxDocumentBytes);
  // Declared defaults copy their value into every element.
  const std::string defaults = "<!DOCTYPE r [<!ATTLIST b a CDATA '" + std::string(5000, 'v') + "'>]>" +
                               repeated("<b/>", 2000);
  EXPECT_NE(Read(defaults, 0, small).find(kLimit), std::string::npos);
}

// A thread's documents share their names' storage; the memory bound still
// counts every name a document uses, as if none were known before it.
TEST(ReaderLimitsTest, NamesCountAlikeWhenAnEarlierDocumentUsedThem) {
  std::string text = "<r>";
  for (int i = 0; i < 40; ++i) text += "<name" + std::to_string(i) + "/>";
  text += "</r>";
  auto fits = [&](uint64_t bytes) {
    TXMLReaderSettings settings;
    settings.MaxDocumentBytes = bytes;
    return Read(text, 0, settings).find("error") == std::string::npos;
  };
  auto fitsOnNewThread = [&](uint64_t bytes) {
    bool result = false;
    std::thread([&] { result = fits(bytes); }).join();
    return result;
  };
  uint64_t low = 1, high = 1u << 20;  // the least bound the document fits in, read first on its thread
  while (low < high) {
    const uint64_t middle = (low + high) / 2;
    if (fitsOnNewThread(middle)) high = middle;
    else low = middle + 1;
  }
  std::thread([&] {
    EXPECT_TRUE(fits(low));
    EXPECT_FALSE(fits(low - 1));
  }).join();
}

// A caller that drops each record as it ends reads a long list in the
// tree of one record: node storage is reused, and the memory bound counts
// only what is alive (and the text, which stays).
TEST(ReaderLimitsTest, DroppedElementsLeaveTheTreeAndTheMemoryBound) {
  std::string text = "<!DOCTYPE list [<!ENTITY e '<r><v>in entity</v></r>'>]><list>";
  for (int i = 0; i < 20000; ++i) text += "<r><v>" + std::to_string(i % 10) + "</v><w/><w/><w/><w/></r>";
  text += "&e;<keep/></list>";
  TXMLReaderSettings settings;
  settings.MaxDocumentBytes = 1u << 20;
  EXPECT_NE(Read(text, 0, settings).find("Document exceeds the allowed size in memory"), std::string::npos);

  std::string seen;
  int shown = 0;
  settings.OnElementEnd = [&seen, &shown](TDOMElement& element) {
    if (element.NodeName() != u"r") return TElementVerdict::Keep;
    // Shown whole: its children are there, the end tag read.
    if (seen.size() < 12) seen += Narrow(element.TextContent());
    ++shown;
    return TElementVerdict::Drop;
  };
  for (std::size_t piece : {0, 3}) {
    seen.clear();
    shown = 0;
    EXPECT_EQ(Read(text, piece, settings), "<!DOCTYPE list>list[&e;keep]");
    EXPECT_EQ(seen, "012345678901");
    // The entity's own elements are not the document's: they stay in the
    // reference's copy, never shown.
    EXPECT_EQ(shown, 20000);
  }
  {
    std::unique_ptr<TXMLDocument> doc;
    runtime::TMemoryStream stream(text);
    ReadDocumentFromStream(doc, stream, u"stream:", settings);
    EXPECT_EQ(doc->DocumentElement()->FirstChild()->TextContent(), u"in entity");
  }
  // A callback's own exception ends the read and reaches the caller.
  settings.OnElementEnd = [](TDOMElement&) -> TElementVerdict { throw std::runtime_error("stop here"); };
  std::unique_ptr<TXMLDocument> doc;
  runtime::TMemoryStream stream(text);
  EXPECT_THROW(ReadDocumentFromStream(doc, stream, u"stream:", settings), std::runtime_error);
}

TEST(ReaderTest, LongTextCrossesManyBuffers) {
  std::string text = "<a>";
  for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + "\r\n";
  text += "</a>";
  std::unique_ptr<TXMLDocument> doc;
  runtime::TMemoryStream stream(text);
  ReadDocumentFromStream(doc, stream);
  const std::string content = Narrow(doc->DocumentElement()->TextContent());
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 5000);
  EXPECT_EQ(content.find('\r'), std::string::npos);
  EXPECT_EQ(Read(text.substr(0, text.size() - 4) + "\x01"),
            "error: In 'stream:' (line 5001 pos 1): Invalid character");
}

}  // namespace
}  // namespace corvandel::xml

namespace corvandel::xml {
namespace {

std::string Laughs(int levels, int fanOut) {
  std::string text = "<!DOCTYPE lolz [\n<!ENTITY lol0 \"lol\">\n";
  for (int level = 1; level <= levels; ++level) {
    text += "<!ENTITY lol" + std::to_string(level) + " \"";
    for (int i = 0; i < fanOut; ++i) text += "&lol" + std::to_string(level - 1) + ";";
    text += "\">\n";
  }
  return text + "]>\n<lolz>&lol" + std::to_string(levels) + ";</lolz>";
}

TEST(ReaderEntityTest, OrdinaryEntitiesBecomeReferenceNodesWithContent) {
  const std::string text =
      "<!DOCTYPE a [<!ENTITY who \"world &amp; <b>all</b>\"><!ENTITY who \"ignored\">]><a x='&who;'>hello &who;!</a>";
  EXPECT_EQ(Read(text), "<!DOCTYPE a>a(x=&who;)['hello '&who;'!']");
  std::unique_ptr<TXMLDocument> doc;
  runtime::TMemoryStream stream(text);
  ReadDocumentFromStream(doc, stream);
  EXPECT_EQ(doc->DocumentElement()->TextContent(), u"hello world & all!");
  TXMLReaderSettings expand;
  expand.ExpandEntityRefs = true;
  EXPECT_EQ(Read("<!DOCTYPE a [<!ENTITY e \"x<b>y</b>z\">]><a>1&e;2</a>", 0, expand), "<!DOCTYPE a>a['1x'b['y']'z2']");
  EXPECT_EQ(Read("<!DOCTYPE a [<!ENTITY e \"&e;\">]><a>&e;</a>"),
            "error: In 'stream:' (line 1 pos 29): Entity 'e' recursively references itself");
}

TEST(ReaderEntityTest, ExponentialExpansionStopsEarly) {
  for (bool expand : {false, true}) {
    TXMLReaderSettings settings;
    settings.ExpandEntityRefs = expand;
    const std::string result = Read(Laughs(10, 10), 0, settings);
    EXPECT_NE(result.find("Entity expansion exceeds the allowed amount"), std::string::npos) << result;
  }
  // A few levels stay within the allowance.
  EXPECT_EQ(Read(Laughs(2, 3)).substr(0, 16), "<!DOCTYPE lolz>l");
}

TEST(ReaderEntityTest, QuadraticExpansionStopsEarly) {
  const std::string big(100000, 'x');
  std::string text = "<!DOCTYPE a [<!ENTITY big \"" + big + "\">]><a>";
  for (int i = 0; i < 20000; ++i) text += "&big;";
  text += "</a>";
  for (bool expand : {false, true}) {
    TXMLReaderSettings settings;
    settings.ExpandEntityRefs = expand;
    const std::string result = Read(text, 0, settings);
    EXPECT_NE(result.find("Entity expansion exceeds the allowed amount"), std::string::npos) << result.substr(0, 200);
  }
}

// References to an entity of a few empty elements fill a body without much
// text; what they copy is charged by the bytes of the copies, so the copies
// of one document stay within kEntityExpansionAllowance.
TEST(ReaderEntityTest, CopiesAreChargedWhatTheyCost) {
  struct Shape {
    const char* value;
    const char* reference;
  };
  for (const Shape shape : {Shape{"<a/><a/><a/><a/>", "&e;"}, Shape{"<a x='1'>t</a>", "&e;"},
                            Shape{"&f;&f;&f;&f;&f;&f;&f;&f;", "&e;"}}) {
    std::string text = "<!DOCTYPE r [<!ENTITY f '<i/>'><!ENTITY e \"" + std::string(shape.value) + "\">]><r>";
    while (text.size() < (4u << 20)) text += shape.reference;
    text += "</r>";
    for (bool expand : {false, true}) {
      TXMLReaderSettings settings;
      settings.ExpandEntityRefs = expand;
      settings.MaxDocumentBytes = 0;
      std::unique_ptr<TXMLDocument> doc;
      runtime::TMemoryStream stream(text);
      try {
        ReadDocumentFromStream(doc, stream, u"stream:", settings);
        ADD_FAILURE() << shape.value << " read whole";
      } catch (const EXMLReadError& e) {
        EXPECT_NE(std::string(e.what()).find("Entity expansion exceeds the allowed amount"), std::string::npos)
            << e.what();
      }
      // Copied elements, each of which takes well over 64 bytes.
      uint64_t elements = 0;
      for (TDOMNode* node = doc->DocumentElement(); node; node = NextInTree(node, doc.get()))
        elements += node->NodeType() == ELEMENT_NODE;
      EXPECT_LE(elements * 64, kEntityExpansionAllowance) << shape.value << (expand ? " expanded" : "");
    }
  }
}

TEST(ReaderEntityTest, ExternalIdentifiersAreNotReadUnlessAllowed) {
  // No file is opened: the reference to the undeclared entity is tolerated
  // because the external subset could have declared it.
  EXPECT_EQ(Read("<!DOCTYPE a SYSTEM 'file:///etc/passwd'><a>&x;</a>"), "<!DOCTYPE a>a[&x;]");
  EXPECT_EQ(Read("<!DOCTYPE a [<!ENTITY e SYSTEM 'file:///etc/hostname'>]><a>&e;</a>"), "<!DOCTYPE a>a[&e;]");
}


// A worker keeps freed blocks for its next document; a document that
// outlives those kept blocks, held by a thread_local object made before the
// first read, is still freed cleanly, and a document read on one thread
// and freed on another is too.
TEST(ReaderTest, ReadersNestedInACallbackKeepTheirOwnScratchText) {
  // Names and texts too long to fit in place, so that each reader's
  // scratch buffers have storage the thread's next reader may take over.
  const std::string outer = "<outerElementName>outer text &amp; more outer text</outerElementName>";
  const std::string inner = "<innerElementName attributeName='inner value, long enough'>inner &lt;text&gt;</innerElementName>";
  const std::string innerTree = "innerElementName(attributeName='inner value, long enough')['inner <text>']";
  std::string innerSeen;
  TXMLReaderSettings settings;
  settings.OnElementEnd = [&](TDOMElement&) {
    innerSeen = Read(inner);
    return TElementVerdict::Keep;
  };
  EXPECT_EQ(Read(outer, 0, settings), "outerElementName['outer text & more outer text']");
  EXPECT_EQ(innerSeen, innerTree);
  EXPECT_EQ(Read(inner), innerTree);
  // A read that fails leaves text collected: the next reader starts empty.
  EXPECT_NE(Read("<unfinishedElement>text that never ends").find("error: "), std::string::npos);
  EXPECT_EQ(Read(outer), "outerElementName['outer text & more outer text']");
}

TEST(ReaderTest, DocumentsOutliveTheThreadThatReadThem) {
  const std::string text = "<a b='attribute value'>text long enough for the arena<c/></a>";
  std::unique_ptr<TXMLDocument> moved;
  std::thread([&] {
    struct THolder {
      std::unique_ptr<TXMLDocument> Doc;
    };
    thread_local THolder holder;
    for (std::unique_ptr<TXMLDocument>* target : {&holder.Doc, &moved}) {
      runtime::TMemoryStream stream(text);
      ReadDocumentFromStream(*target, stream, u"stream:", {});
    }
  }).join();
  EXPECT_EQ(DumpTree(moved.get()), "a(b='attribute value')['text long enough for the arena'c]");
}

}  // namespace
}  // namespace corvandel::xml
