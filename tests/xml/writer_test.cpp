#include "xml/writer.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "runtime/memory_stream.h"
#include "xml/dom.h"
#include "xml/reader.h"

namespace corvandel::xml {
namespace {

const std::string kDeclaration = "<?xml version=\"1.0\"?>";

// Each line followed by CR LF.
std::string Lines(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

std::string Write(TDOMNode& node) {
  runtime::TMemoryStream stream;
  WriteDocumentToStream(node, stream);
  return stream.ToString();
}

// A sink that keeps every block it is handed.
class TRecordingWriter : public TXMLWriter {
public:
  std::vector<std::size_t> Blocks;
  std::string Bytes;

protected:
  void EmitBytes(const char* buffer, std::size_t count) override {
    Blocks.push_back(count);
    Bytes.append(buffer, count);
  }
};

class WriterTest : public ::testing::Test {
protected:
  std::unique_ptr<TXMLDocument> doc = std::make_unique<TXMLDocument>();

  TDOMElement* Element(const DOMString& name, TDOMNode* parent) {
    return static_cast<TDOMElement*>(parent->AppendChild(doc->CreateElement(name)));
  }
  TDOMElement* ElementNS(const DOMString& uri, const DOMString& name, TDOMNode* parent) {
    return static_cast<TDOMElement*>(parent->AppendChild(doc->CreateElementNS(uri, name)));
  }
  void Text(const DOMString& data, TDOMNode* parent) { parent->AppendChild(doc->CreateTextNode(data)); }
  TDOMAttr* Attribute(TDOMElement* element, const DOMString& name, const DOMString& value) {
    TDOMAttr* attribute = doc->CreateAttribute(name);
    attribute->SetValue(value);
    element->SetAttributeNode(attribute);
    return attribute;
  }
  void AttributeNS(TDOMElement* element, const DOMString& uri, const DOMString& name, const DOMString& value) {
    TDOMAttr* attribute = doc->CreateAttributeNS(uri, name);
    attribute->SetValue(value);
    element->SetAttributeNodeNS(attribute);
  }

  // The ping request for one site text.
  void BuildRequest(const DOMString& site) {
    TDOMElement* call = Element(u"methodCall", doc.get());
    Text(u"weblogUpdates.ping", Element(u"methodName", call));
    TDOMElement* params = Element(u"params", call);
    for (int i = 0; i < 2; ++i) Text(site, Element(u"value", Element(u"param", params)));
  }

  static std::string Request(const std::string& value) {
    return Lines({kDeclaration, "<methodCall>", "  <methodName>weblogUpdates.ping</methodName>", "  <params>",
                  "    <param>", "      <value>" + value + "</value>", "    </param>", "    <param>",
                  "      <value>" + value + "</value>", "    </param>", "  </params>", "</methodCall>"});
  }
};

TEST_F(WriterTest, PingRequestIsTheExactBody) {
  BuildRequest(u"abc");
  EXPECT_EQ(Write(*doc), Request("abc"));
  EXPECT_EQ(Request("abc").size(), 230u);
}

TEST_F(WriterTest, SiteTextsAreEscapedAndEncodedAsUTF8) {
  const struct {
    DOMString Site;
    std::string Written;
  } cases[] = {
      {u"http://a.example/?x=1&y=<2>", "http://a.example/?x=1&amp;y=&lt;2&gt;"},
      {u"caf\u00E9 \u20AC", "caf\xC3\xA9 \xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"\x7F\x80\u07FF\u0800\uFFFF", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
  };
  for (const auto& c : cases) {
    doc = std::make_unique<TXMLDocument>();
    BuildRequest(c.Site);
    EXPECT_EQ(Write(*doc), Request(c.Written)) << c.Written;
  }
}

TEST_F(WriterTest, DocumentDeclarationAndStylesheet) {
  EXPECT_EQ(Write(*doc), kDeclaration + "\r\n");

  doc->SetXMLVersion(u"1.1");
  doc->StylesheetType = u"text/xsl";
  doc->StylesheetHRef = u"s.xsl";
  Element(u"a", doc.get());
  EXPECT_EQ(Write(*doc), Lines({"<?xml version=\"1.1\"?>", "<?xml-stylesheet type=\"text/xsl\" href=\"s.xsl\"?>", "<a/>"}));
}

// XML 1.1 reads its restricted characters only as references; a 1.0
// document writes the controls it may hold as they are.
TEST_F(WriterTest, RestrictedCharactersOfXML11AreWrittenAsReferences) {
  const DOMString controls = u"a\u0001\u001F\u007F\u0085\u009F\u2028\tb";
  TDOMElement* root = Element(u"r", doc.get());
  Attribute(root, u"v", controls);
  Text(controls, root);
  TDOMComment* comment = doc->CreateComment(u"c\u0085");
  root->AppendChild(comment);

  doc->SetXMLVersion(u"1.1");
  const std::string written = Write(*doc);
  EXPECT_EQ(written, Lines({"<?xml version=\"1.1\"?>",
                            "<r v=\"a&#x1;&#x1F;&#x7F;&#x85;&#x9F;&#x2028;&#x9;b\">"
                            "a&#x1;&#x1F;&#x7F;&#x85;&#x9F;&#x2028;\tb<!--c\xC2\x85-->",
                            "</r>"}));
  // The same through WriteNode of an element of the document.
  EXPECT_NE(Write(*root).find(" v=\"a&#x1;"), std::string::npos);

  runtime::TMemoryStream stream(written);
  std::unique_ptr<TXMLDocument> read;
  ReadDocumentFromStream(read, stream);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->DocumentElement()->GetAttribute(u"v"), controls);
  EXPECT_EQ(read->DocumentElement()->FirstChild()->NodeValue(), controls);

  doc->SetXMLVersion(u"1.0");
  EXPECT_NE(Write(*doc).find("a\x01\x1F\x7F"), std::string::npos);
}

TEST_F(WriterTest, IndentationFollowsTextContent) {
  TDOMElement* root = Element(u"root", doc.get());
  Element(u"empty", root);
  Text(u"", Element(u"blank", root));
  TDOMElement* mixed = Element(u"mixed", root);
  Text(u"x", mixed);
  TDOMElement* inner = Element(u"inner", mixed);
  Element(u"deep", inner);
  Text(u"y", Element(u"leaf", inner));
  TDOMElement* tail = Element(u"tail", root);
  Element(u"e", tail);
  Text(u"z", tail);

  // Inside content that begins with text nothing is indented, down to an
  // element whose own content begins with markup; end tags after markup
  // are indented even there.
  EXPECT_EQ(Write(*doc), Lines({kDeclaration, "<root>", "  <empty/>", "  <blank></blank>", "  <mixed>x<inner>",
                                "      <deep/>", "      <leaf>y</leaf>", "    </inner>", "  </mixed>", "  <tail>",
                                "    <e/>z</tail>", "</root>"}));
}

TEST_F(WriterTest, EscapingByNodeKind) {
  TDOMEntity* entity = doc->CreateEntity(u"ent");
  entity->AppendChild(doc->CreateTextNode(u"a&b"));
  TDOMAttr* mixedValue = doc->CreateAttribute(u"m");
  mixedValue->AppendChild(doc->CreateTextNode(u"a\""));
  mixedValue->AppendChild(doc->CreateEntityReference(u"lt"));
  mixedValue->AppendChild(doc->CreateTextNode(u"b"));

  const struct {
    TDOMNode* Node;
    std::string Written;
  } cases[] = {
      {doc->CreateTextNode(u"x>y & a<b"), "x&gt;y &amp; a&lt;b"},
      {doc->CreateTextNode(u"a\r\nb|a\rb|a\nb|a\n\rb|\r"), "a\r\nb|a\r\nb|a\r\nb|a\r\n\r\nb|\r\n"},
      {doc->CreateTextNode(u"tab\t'\"]]>"), "tab\t'\"]]&gt;"},
      {doc->CreateAttribute(u"a"), " a=\"\""},
      {Attribute(doc->CreateElement(u"e"), u"a", u"x>y'"), " a=\"x>y'\""},
      {Attribute(doc->CreateElement(u"e"), u"a", u"\t|\n|\r|\"|&|<"), " a=\"&#x9;|&#xA;|&#xD;|&quot;|&amp;|&lt;\""},
      {mixedValue, " m=\"a&quot;&lt;b\""},
      {doc->CreateComment(u"a--b&<\r\nc\rd"), "\r\n<!--a--b&<\r\nc\r\nd-->"},
      {doc->CreateProcessingInstruction(u"pi", u""), "\r\n<?pi?>"},
      {doc->CreateProcessingInstruction(u"pi", u"x=\"&\"\ny"), "\r\n<?pi x=\"&\"\r\ny?>"},
      {doc->CreateCDATASection(u"a]]>b"), "\r\n<![CDATA[a]]]]><![CDATA[>b]]>"},
      {doc->CreateCDATASection(u"]]]>]]>"), "\r\n<![CDATA[]]]]]><![CDATA[>]]]]><![CDATA[>]]>"},
      {doc->CreateCDATASection(u"]>a]b]]&<\r\n"), "\r\n<![CDATA[]>a]b]]&<\r\n]]>"},
      {doc->CreateEntityReference(u"amp"), "&amp;"},
      {entity, "a&amp;b"},
      {doc->CreateNotation(u"n"), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Write(*c.Node), c.Written) << c.Written;
}

TEST_F(WriterTest, PlainAttributesInMapOrderAndOnlySpecified) {
  TDOMElement* e = Element(u"e", doc.get());
  Attribute(e, u"zz", u"1");
  Attribute(e, u"a", u"2");
  Attribute(e, u"bb", u"3");
  Attribute(e, u"ab", u"4");
  Attribute(e, u"dflt", u"5")->SetSpecified(false);
  EXPECT_EQ(Write(*doc), Lines({kDeclaration, "<e a=\"2\" ab=\"4\" bb=\"3\" zz=\"1\"/>"}));
}

TEST_F(WriterTest, SurrogatesMustBePaired) {
  const struct {
    DOMString Text;
    const char* Error;  // none when the text is written
  } cases[] = {
      {u"\xD83D\xDE00", nullptr},
      {u"\xDBFF\xDFFF", nullptr},
      {u"a\xD83D", kHighSurrogateWithoutLow},
      {u"\xD83D" u"b", kHighSurrogateWithoutLow},
      {u"\xD83D\xD83D\xDE00", kHighSurrogateWithoutLow},
      {u"\xDE00", kLowSurrogateWithoutHigh},
      {u"\xDE00\xD83D", kLowSurrogateWithoutHigh},
  };
  for (const auto& c : cases) {
    TRecordingWriter writer;
    try {
      writer.WriteEscaped(c.Text, TEscape::Attribute);
      EXPECT_EQ(c.Error, nullptr);
    } catch (const EConvertError& e) {
      ASSERT_NE(c.Error, nullptr);
      EXPECT_STREQ(e.what(), c.Error);
    }
  }
}

TEST_F(WriterTest, FailureStillDeliversWhatWasWrittenAndRestoresState) {
  TDOMElement* root = ElementNS(u"urn:a", u"p:root", doc.get());
  Text(u"ok", root);
  TDOMElement* bad = Element(u"b", root);
  Text(u"fine", bad);
  Text(u"\xDC00", bad);

  runtime::TMemoryStream stream("XY");
  stream.SetPosition(2);
  try {
    WriteDocumentToStream(*doc, stream);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Low surrogate without high one");
  }
  EXPECT_EQ(stream.ToString(), "XY" + kDeclaration + "\r\n<p:root xmlns:p=\"urn:a\">ok<b>fine");

  // The same writer goes on cleanly: no indentation, text state or
  // namespace binding of the failed document is left behind.
  TRecordingWriter writer;
  EXPECT_THROW(writer.WriteNode(doc.get()), EConvertError);
  EXPECT_FALSE(writer.InsideText());
  EXPECT_EQ(writer.IndentLevel(), 0);
  writer.Flush();
  writer.Bytes.clear();
  bad->RemoveChild(bad->LastChild());
  writer.WriteNode(doc.get());
  writer.Flush();
  EXPECT_EQ(writer.Bytes, Lines({kDeclaration, "<p:root xmlns:p=\"urn:a\">ok<b>fine</b>", "</p:root>"}));
}

TEST_F(WriterTest, NamespaceDeclarationsAndGeneratedPrefixes) {
  const DOMString xmlns(kXmlnsNamespace);
  TDOMElement* root = ElementNS(u"urn:a", u"p:root", doc.get());
  AttributeNS(root, u"urn:x", u"x", u"1");
  AttributeNS(root, u"urn:y", u"y", u"2");
  AttributeNS(root, DOMString(kXmlNamespace), u"xml:lang", u"en");
  // Declared explicitly and needed by the element: declared once.
  TDOMElement* declared = ElementNS(u"urn:d", u"d", root);
  AttributeNS(declared, xmlns, u"xmlns", u"urn:d");
  AttributeNS(declared, xmlns, u"xmlns:q", u"urn:q\"&<");
  // A prefix taken by another URI in scope gets a generated one; a URI
  // bound in an outer scope reuses that prefix.
  TDOMElement* clash = ElementNS(u"urn:a", u"p:clash", root);
  AttributeNS(clash, u"urn:b", u"p:b", u"3");
  AttributeNS(clash, u"urn:a", u"r:a", u"4");
  // Out of the default namespace again.
  ElementNS(u"", u"plain", declared);

  EXPECT_EQ(Write(*doc),
            Lines({kDeclaration,
                   "<p:root xmlns:p=\"urn:a\" xmlns:NS1=\"urn:x\" xmlns:NS2=\"urn:y\" NS1:x=\"1\" NS2:y=\"2\""
                   " xml:lang=\"en\">",
                   "  <d xmlns=\"urn:d\" xmlns:q=\"urn:q&quot;&amp;&lt;\">", "    <plain xmlns=\"\"/>", "  </d>",
                   "  <p:clash xmlns:NS3=\"urn:b\" NS3:b=\"3\" p:a=\"4\"/>", "</p:root>"}));
}

TEST_F(WriterTest, NamespaceScopesEndWithTheirElement) {
  TDOMElement* root = Element(u"root", doc.get());
  for (int i = 0; i < 2; ++i) {
    TDOMElement* child = ElementNS(u"urn:a", u"p:c", root);
    ElementNS(u"urn:a", u"p:g", child);
  }
  EXPECT_EQ(Write(*doc), Lines({kDeclaration, "<root>", "  <p:c xmlns:p=\"urn:a\">", "    <p:g/>", "  </p:c>",
                                "  <p:c xmlns:p=\"urn:a\">", "    <p:g/>", "  </p:c>", "</root>"}));
}

TEST_F(WriterTest, DocumentTypeDeclarations) {
  const struct {
    DOMString PublicId, SystemId, Subset;
    std::string Written;
  } cases[] = {
      {u"", u"", u"", "<!DOCTYPE doc >"},
      {u"", u"doc.dtd", u"", "<!DOCTYPE doc SYSTEM \"doc.dtd\">"},
      {u"-//P//EN", u"doc.dtd", u"", "<!DOCTYPE doc PUBLIC \"-//P//EN\" \"doc.dtd\">"},
      {u"", u"say \"hi\".dtd", u"", "<!DOCTYPE doc SYSTEM 'say \"hi\".dtd'>"},
      {u"", u"", u"<!ENTITY e \"&#38;\">\n<!ELEMENT doc ANY>", "<!DOCTYPE doc [<!ENTITY e \"&#38;\">\r\n<!ELEMENT doc ANY>]>"},
  };
  for (const auto& c : cases) {
    doc = std::make_unique<TXMLDocument>();
    TDOMDocumentType* type = doc->CreateDocumentType(u"doc", c.PublicId, c.SystemId);
    type->InternalSubset = c.Subset;
    doc->AppendChild(type);
    Element(u"doc", doc.get());
    EXPECT_EQ(Write(*doc), Lines({kDeclaration, c.Written, "<doc/>"}));
  }
}

TEST_F(WriterTest, SinkReceivesWholeBlocksThenTheRest) {
  // Deep enough for the indentation to outgrow its first string, with
  // 2-, 3- and 4-byte characters falling across block ends.
  const DOMString texts[] = {u"\u00E9\u00E9\u00E9", u"\u20AC\u20AC", u"\U0001F600"};
  const std::string encoded[] = {"\xC3\xA9\xC3\xA9\xC3\xA9", "\xE2\x82\xAC\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  std::string expected = kDeclaration, closing = "\r\n";
  TDOMNode* parent = doc.get();
  for (int level = 0; level < 120; ++level) {
    parent = Element(u"e", parent);
    Text(texts[level % 3], Element(u"t", parent));
    const std::string indent = "\r\n" + std::string(2 * level, ' ');
    expected += indent + "<e>" + indent + "  <t>" + encoded[level % 3] + "</t>";
    closing = indent + "</e>" + closing;
  }
  expected += closing;

  TRecordingWriter writer;
  writer.WriteNode(doc.get());
  writer.Flush();
  ASSERT_EQ(writer.Bytes, expected);
  std::vector<std::size_t> blocks(expected.size() / TXMLWriter::kBlockSize, TXMLWriter::kBlockSize);
  blocks.push_back(expected.size() % TXMLWriter::kBlockSize);
  EXPECT_EQ(writer.Blocks, blocks);
}

TEST_F(WriterTest, VeryDeepTreeIsWrittenWithoutRecursion) {
  constexpr int kDepth = 100000;
  TDOMNode* parent = doc.get();
  for (int level = 0; level < kDepth; ++level) {
    TDOMElement* e = Element(u"e", parent);
    Text(u"t", e);
    parent = e;
  }
  for (TDOMNode* e = parent->ParentNode(); e != doc.get(); e = e->ParentNode()) Text(u"t", e);

  std::string expected = kDeclaration + "\r\n";
  for (int level = 0; level < kDepth; ++level) expected += "<e>t";
  expected += "</e>";
  for (int level = 1; level < kDepth; ++level) expected += "t</e>";
  expected += "\r\n";
  ASSERT_EQ(expected.size(), 24u + 9u * kDepth);
  EXPECT_TRUE(Write(*doc) == expected);  // a failure would print megabytes
}

}  // namespace
}  // namespace corvandel::xml
