#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "runtime/code_page.h"
#include "runtime/memory_stream.h"
#include "xml/reader.h"
#include "piece_stream.h"
#include "tree_dump.h"

namespace corvandel::xml {
namespace {

using corvandel::testing::DumpTree;
using corvandel::testing::TAttributeDump;
using testing::TPieceStream;

std::string Narrow(const DOMString& text) { return runtime::UTF16ToSystem(text); }

struct TParsed {
  std::unique_ptr<TXMLDocument> Doc;
  std::string Error;                  // the fatal error's message, if any
  std::vector<std::string> Validity;  // the reasons of the validity errors

  std::string Tree() const {
    return Error.empty() ? DumpTree(Doc.get(), TAttributeDump::Value) : "error: " + Error;
  }
  TDOMEntity* Entity(const DOMString& name) const {
    TDOMDocumentType* type = Doc->DocType();
    return type ? static_cast<TDOMEntity*>(type->Entities()->GetNamedItem(name)) : nullptr;
  }
};

TParsed Parse(std::string_view text, TXMLReaderSettings settings = {}, std::size_t piece = 0,
              const DOMString& systemId = u"stream:") {
  TParsed result;
  settings.OnError = [&result](const EXMLReadError& e) {
    if (e.Severity() == SEVERITY_ERROR) result.Validity.push_back(e.Reason());
  };
  TPieceStream stream(text, piece);
  try {
    ReadDocumentFromStream(result.Doc, stream, systemId, settings);
  } catch (const EXMLReadError& e) {
    result.Error = e.what();
  }
  return result;
}

TXMLReaderSettings Validating() {
  TXMLReaderSettings settings;
  settings.Validate = true;
  return settings;
}

TXMLReaderSettings Expanding() {
  TXMLReaderSettings settings;
  settings.ExpandEntityRefs = true;
  return settings;
}

struct Case {
  std::string text;
  std::string expected;
};

// Checks the case whole and again with the input handed over in pieces of 1 to 5 bytes.
void Check(const Case& c, const TXMLReaderSettings& settings = {}) {
  EXPECT_EQ(Parse(c.text, settings).Tree(), c.expected) << "input: " << c.text;
  for (std::size_t piece = 1; piece <= 5; ++piece)
    EXPECT_EQ(Parse(c.text, settings, piece).Tree(), c.expected) << "input: " << c.text << " in pieces of " << piece;
}

std::string At(int column, const std::string& reason) {
  return "error: In 'stream:' (line 1 pos " + std::to_string(column) + "): " + reason;
}

TEST(DtdReaderTest, DocumentTypeDeclarationsThatAreAccepted) {
  const Case cases[] = {
      {"<!DOCTYPE a><a/>", "<!DOCTYPE a>a"},
      {"<!DOCTYPE a[]><a/>", "<!DOCTYPE a>a"},
      {"<!DOCTYPE a [ ] ><a/>", "<!DOCTYPE a>a"},
      {"<!DOCTYPE a SYSTEM 'http://example.com/a.dtd'><a/>", "<!DOCTYPE a>a"},
      {"<!DOCTYPE a PUBLIC '-//Corp//DTD A 1.0//EN' 'a.dtd' [<!ENTITY e 'x'>]><a>&e;</a>", "<!DOCTYPE a>a[&e;]"},
      {"<!DOCTYPE a [<?pi?><!-- dropped --><!ELEMENT a ANY>]><a/>", "<?pi?><!DOCTYPE a>a"},
      // The external subset is not read, so an undeclared entity may live there.
      {"<!DOCTYPE a SYSTEM 'a.dtd'><a>&unknown;</a>", "<!DOCTYPE a>a[&unknown;]"},
  };
  for (const Case& c : cases) Check(c);

  TParsed parsed = Parse("<!DOCTYPE a PUBLIC ' -//A//B\n  C ' 'a.dtd'><a/>");
  TDOMDocumentType* type = parsed.Doc->DocType();
  EXPECT_EQ(type->PublicId, u"-//A//B C");
  EXPECT_EQ(type->SystemId, u"a.dtd");
  EXPECT_TRUE(type->ReadOnly());
}

TEST(DtdReaderTest, MalformedDeclarationsAreFatalWhereTheyGoWrong) {
  const Case cases[] = {
      {"<a/><!DOCTYPE a>", At(5, "Markup declaration is not allowed here")},
      {"<!DOCTYPE a><!DOCTYPE a><a/>", At(13, "Markup declaration is not allowed here")},
      {"<!DOCTYPE a PUBLIC 'a\tb' 'x'><a/>", At(21, "Illegal Public ID literal")},
      {"<!DOCTYPE a PUBLIC 'a{b' 'x'><a/>", At(21, "Illegal Public ID literal")},
      {"<!DOCTYPE a [<![IGNORE[ ]]>]><a/>", At(14, "Conditional sections are not allowed in internal subset")},
      {"<!DOCTYPE a [<!FOO>]><a/>", At(16, "Illegal markup declaration")},
      {"<!DOCTYPE a [<!ATTLIST a b CDATA\"x\">]><a/>", At(33, "Expected whitespace")},
      {"<!DOCTYPE a [<!ATTLIST a b STRING 'x'>]><a/>", At(28, "Illegal attribute type for 'b'")},
      {"<!DOCTYPE a [<!ATTLIST a b CDATAX 'x'>]><a/>", At(28, "Illegal attribute type for 'b'")},
      {"<!DOCTYPE a [<!ELEMENT a (b,c|d)>]><a/>", At(30, "Expected \",\"")},
      {"<!DOCTYPE a [<!ELEMENT a (b c)>]><a/>", At(29, "Expected pipe or comma delimiter")},
      {"<!DOCTYPE a [<!ELEMENT a (#PCDATA|b)>]><a/>", At(37, "Expected \"*\"")},
      {"<!DOCTYPE a [<!ELEMENT a foo>]><a/>", At(26, "Invalid content specification")},
      {"<!DOCTYPE a [<!ELEMENT a EMPTY]><a/>", At(31, "Expected \">\"")},
      {"<!DOCTYPE a [<!ENTITY e foo>]><a/>", At(25, "Expected entity value or external ID")},
      {"<!DOCTYPE a [<!NOTATION n foo>]><a/>", At(27, "Expected external or public ID")},
      {"<!DOCTYPE a [<!ENTITY e '%p;'>]><a/>", At(26, "PE reference not allowed here in internal subset")},
      {"<!DOCTYPE a [<!ENTITY e 'abc>]><a/>", At(26, "Literal has no closing quote")},
      {"<!DOCTYPE a [ x ]><a/>", At(15, "Illegal character in DTD")},
      {"<!DOCTYPE a [<!ENTITY % p '<!ELEMENT a'> %p; EMPTY>]><a/>",
       At(39, "Parameter entities must be properly nested")},
      {"<!DOCTYPE a [<!ENTITY % r '&#37;r;'> %r;]><a/>", At(31, "Entity '%r' recursively references itself")},
  };
  for (const Case& c : cases) Check(c);

  TXMLReaderSettings reject;
  reject.RejectDoctype = true;
  EXPECT_EQ(Parse("<!DOCTYPE a><a/>", reject).Tree(), At(1, "Document type is prohibited by parser settings"));
}

TEST(DtdReaderTest, EntityDeclarations) {
  const char* prologue =
      "<!DOCTYPE a [\n"
      "  <!ENTITY plain 'text'>\n"
      "  <!ENTITY plain 'ignored'>\n"
      "  <!ENTITY mixed 'A&#66;&plain;&lt;'>\n"
      "  <!ENTITY % decl '<!ENTITY viaPE \"from a parameter entity\">'>\n"
      "  %decl;\n"
      "]>";
  Check({std::string(prologue) + "<a>&plain;&mixed;</a>", "<!DOCTYPE a>a[&plain;&mixed;]"});
  Check({std::string(prologue) + "<a>&plain;|&mixed;|&viaPE;</a>",
         "<!DOCTYPE a>a['text|ABtext<|from a parameter entity']"},
        Expanding());

  TParsed parsed = Parse(std::string(prologue) + "<a>&mixed;</a>");
  ASSERT_NE(parsed.Entity(u"mixed"), nullptr);
  EXPECT_EQ(DumpTree(parsed.Entity(u"mixed")), "'AB'&plain;'<'");
  EXPECT_EQ(parsed.Doc->DocType()->Entities()->Length(), 3u);
  EXPECT_EQ(parsed.Entity(u"decl"), nullptr);  // parameter entities stay with the reader

  EXPECT_EQ(Parse("<!DOCTYPE a [<!NOTATION gif SYSTEM 'viewer'><!ENTITY pic SYSTEM 'p.gif' NDATA gif>]>"
                  "<a>&pic;</a>")
                .Tree(),
            At(88, "Reference to unparsed entity 'pic'"));
}

TEST(DtdReaderTest, InternalSubsetIsKeptWithLineEndsNormalised) {
  // Long enough to pass through several decoding buffers.
  std::string subset = "\r\n  <!ENTITY e 'x'>\r\n";
  std::string expected = "\n  <!ENTITY e 'x'>\n";
  for (int i = 0; i < 300; ++i) {
    subset += "  <!-- comment number " + std::to_string(i) + " -->\r";
    expected += "  <!-- comment number " + std::to_string(i) + " -->\n";
  }
  const std::string text = "<!DOCTYPE a [" + subset + "]><a>&e;</a>";
  for (std::size_t piece : {0, 1, 3, 7}) {
    TParsed parsed = Parse(text, {}, piece);
    ASSERT_EQ(parsed.Tree(), "<!DOCTYPE a>a[&e;]");
    EXPECT_EQ(Narrow(parsed.Doc->DocType()->InternalSubset), expected) << "pieces of " << piece;
  }
}

TEST(DtdReaderTest, DeclaredDefaultsAppearWithoutValidation) {
  const std::string prologue =
      "<!DOCTYPE r [<!ATTLIST a b CDATA 'dflt' c CDATA #IMPLIED d CDATA #FIXED 'f' "
      "t NMTOKENS ' x   y ' i ID #IMPLIED>]>";
  Check({prologue + "<r><a/><a b='given' t='p  q '/><a c='1' i=' id1 '/></r>",
         "<!DOCTYPE r>r[a(b?=dflt d?=f t?=x y)a(b=given d?=f t=p q)a(b?=dflt c=1 d?=f i=id1 t?=x y)]"});
  TParsed parsed = Parse(prologue + "<r><a/><a i=' id1 '/></r>");
  ASSERT_NE(parsed.Doc->GetElementById(u"id1"), nullptr);
  EXPECT_EQ(parsed.Doc->GetElementById(u"id1"), parsed.Doc->DocumentElement()->LastChild());
}

struct ValidityCase {
  std::string body;
  std::vector<std::string> errors;
};

void CheckValidity(const std::string& prologue, const std::vector<ValidityCase>& cases) {
  for (const ValidityCase& c : cases) {
    TParsed parsed = Parse(prologue + c.body, Validating());
    EXPECT_EQ(parsed.Error, "") << c.body;
    EXPECT_EQ(parsed.Validity, c.errors) << c.body;
    // Without validation the same documents read silently.
    EXPECT_EQ(Parse(prologue + c.body).Validity, std::vector<std::string>()) << c.body;
  }
}

TEST(DtdReaderTest, ContentModelsAreMatched) {
  CheckValidity(
      "<!DOCTYPE r [<!ELEMENT r ((a,b?)+,c*,(d|e))><!ELEMENT a EMPTY><!ELEMENT b EMPTY><!ELEMENT c EMPTY>"
      "<!ELEMENT d EMPTY><!ELEMENT e (#PCDATA|a)*><!ELEMENT f (a|b?)><!ELEMENT g (a+|b)>]>",
      {
          {"<r><a/><d/></r>", {}},
          {"<r><a/><b/><a/><c/><c/><e>text<a/>text</e></r>", {}},
          {"<r><a/><a/><a/><b/><d/></r>", {}},
          {"<r><a/></r>", {"Element 'r' is missing required sub-elements"}},
          {"<r><a/><b/><b/><d/></r>", {"Element 'b' is not allowed in this context"}},
          // Once a child is refused, the next one is matched from the same place again.
          {"<r><c/><d/></r>", {"Element 'c' is not allowed in this context", "Element 'd' is not allowed in this context"}},
          {"<r><a/><c/><a/><d/></r>", {"Element 'a' is not allowed in this context"}},
          {"<r><a/><d/><e/></r>", {"Element 'e' is not allowed in this context"}},
          {"<r><a><b/></a><d/></r>", {"Element 'b' is not allowed in this context"}},
          {"<r><a/><e><b/></e></r>", {"Element 'b' is not allowed in this context"}},
          {"<r><a/><d>x</d></r>", {"Character data is not allowed in EMPTY elements"}},
          {"<r>x<a/><d/></r>", {"Character data is not allowed in element-only content"}},
          // A choice with an optional member may be left out entirely.
          {"<f/>", {"Root element name does not match DTD"}},
          {"<g/>", {"Root element name does not match DTD", "Element 'g' is missing required sub-elements"}},
          {"<r><a/><x/><d/></r>", {"Using undeclared element 'x'"}},
      });
}

TEST(DtdReaderTest, DeclaredAttributesAreChecked) {
  CheckValidity(
      "<!DOCTYPE r [<!ELEMENT r ANY><!ELEMENT a EMPTY>"
      "<!ATTLIST a id ID #IMPLIED ref IDREF #IMPLIED refs IDREFS #IMPLIED need CDATA #REQUIRED "
      "fix CDATA #FIXED 'f' kind (one|two) 'one' n NMTOKEN #IMPLIED pic ENTITY #IMPLIED>"
      "<!NOTATION gif SYSTEM 'viewer'><!ENTITY pic SYSTEM 'p.gif' NDATA gif><!ENTITY txt 'text'>]>",
      {
          {"<r><a id='x' need='1'/><a ref='x' refs=' x  x ' need='' pic='pic'/></r>", {}},
          {"<r><a/></r>", {"Required attribute 'need' of element 'a' is missing"}},
          {"<r><a need='1' fix='g'/></r>", {"Value of attribute 'fix' does not match its #FIXED default"}},
          {"<r><a need='1' kind='three'/></r>", {"Attribute 'kind' type mismatch"}},
          {"<r><a need='1' n='a b'/></r>", {"Attribute 'n' type mismatch"}},
          {"<r><a need='1' id='1x'/></r>", {"Attribute 'id' type mismatch"}},
          {"<r><a need='1' pic='txt'/></r>", {"Attribute 'pic' type mismatch"}},
          {"<r><a need='1' id='x'/><a need='1' id='x'/></r>", {"The ID 'x' is not unique"}},
          {"<r><a need='1' ref='nowhere' refs='x y'/><a need='1' id='x'/></r>",
           {"The ID 'nowhere' does not match any element", "The ID 'y' does not match any element"}},
          {"<r><a need='1' other='1'/></r>", {"Using undeclared attribute 'other' on element 'a'"}},
      });
}

TEST(DtdReaderTest, DeclarationsTheyDuplicateOrContradict) {
  CheckValidity("<!DOCTYPE r [<!ELEMENT r ANY><!ELEMENT r EMPTY>"
                "<!ELEMENT m (#PCDATA|r|r)*>"
                "<!ATTLIST r a (x|x) #IMPLIED i ID #IMPLIED j ID #IMPLIED k ID 'v' e CDATA #IMPLIED>"
                "<!ATTLIST m n NOTATION (gif) #IMPLIED o NOTATION (gif) #IMPLIED t NMTOKEN 'a b'>"
                "<!NOTATION gif SYSTEM 'v'><!NOTATION gif SYSTEM 'w'>]>",
                {{"<r/>",
                  {"Duplicate declaration of element 'r'", "Duplicate token in mixed section",
                   "Duplicate token in enumerated attibute declaration",
                   "Only one attribute of type ID is allowed per element",
                   "Only one attribute of type ID is allowed per element",
                   "An attribute of type ID cannot have a default value",
                   "Only one attribute of type NOTATION is allowed per element",
                   "Default value for attribute 't' has wrong syntax", "Duplicate notation declaration: 'gif'"}}});
  CheckValidity("<!DOCTYPE r [<!ELEMENT r ANY><!ATTLIST r n NOTATION (png) #IMPLIED>]>",
                {{"<r/>", {"Notation 'png' is not declared"}}});
}

TEST(DtdReaderTest, UndeclaredParameterEntityStopsDeclarationsUnlessStandalone) {
  const std::string subset = "<!DOCTYPE a [<!ELEMENT a ANY>%missing;<!ENTITY e 'x'>]><a>&e;</a>";
  TParsed parsed = Parse(subset, Validating());
  EXPECT_EQ(parsed.Tree(), "<!DOCTYPE a>a[&e;]");
  EXPECT_EQ(parsed.Entity(u"e"), nullptr);
  EXPECT_EQ(parsed.Validity, (std::vector<std::string>{"Undefined parameter entity 'missing' referenced",
                                                        "Undefined entity 'e' referenced"}));

  parsed = Parse("<?xml version='1.0' standalone='yes'?>" + subset);
  EXPECT_EQ(parsed.Tree(), "<!DOCTYPE a>a[&e;]");
  EXPECT_NE(parsed.Entity(u"e"), nullptr);
}

TEST(DtdReaderTest, HostileNestingIsBounded) {
  std::string groups = "<!DOCTYPE a [<!ELEMENT a ";
  for (int i = 0; i < 1000; ++i) groups += "(";
  groups += "b";
  for (int i = 0; i < 1000; ++i) groups += ")";
  groups += ">]><a/>";
  EXPECT_EQ(Parse(groups).Tree(), At(26 + kMaxContentModelNesting, "Content model groups are nested too deeply"));
  // The limits are the caller's to set.
  TXMLReaderSettings tight;
  tight.MaxContentModelNesting = 3;
  EXPECT_EQ(Parse("<!DOCTYPE a [<!ELEMENT a (((b)))>]><a/>", tight).Error, "");
  EXPECT_EQ(Parse("<!DOCTYPE a [<!ELEMENT a ((((b))))>]><a/>", tight).Tree(),
            At(26 + 3, "Content model groups are nested too deeply"));

  // Each parameter entity refers to the one before it.
  std::string chain = "<!DOCTYPE a [<!ENTITY % p0 ''>";
  for (int i = 1; i < 200; ++i)
    chain += "<!ENTITY % p" + std::to_string(i) + " '&#37;p" + std::to_string(i - 1) + ";'>";
  chain += "%p199;]><a/>";
  EXPECT_NE(Parse(chain).Error.find("Entity references are nested too deeply"), std::string::npos);
  tight.MaxEntityNesting = 2;
  EXPECT_EQ(Parse("<!DOCTYPE a [<!ENTITY % p0 ''><!ENTITY % p1 '&#37;p0;'>%p1;]><a/>", tight).Error, "");
  EXPECT_NE(Parse("<!DOCTYPE a [<!ENTITY % p0 ''><!ENTITY % p1 '&#37;p0;'><!ENTITY % p2 '&#37;p1;'>%p2;]><a/>",
                  tight)
                .Error.find("Entity references are nested too deeply"),
            std::string::npos);
  tight.EntityExpansionAllowance = 64;
  const std::string copies = "<!DOCTYPE a [<!ENTITY e '<b/>'>]><a>&e;&e;&e;&e;&e;&e;&e;&e;</a>";
  EXPECT_EQ(Parse(copies).Error, "");
  EXPECT_NE(Parse(copies, tight).Error.find("Entity expansion exceeds the allowed amount"), std::string::npos);
}

// A directory of files for external subsets and entities, removed afterwards.
class ExternalDtdTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "dtd_reader_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return Uri(name);
  }
  std::string Uri(const std::string& name) const { return "file://" + (dir_ / name).string(); }

  static TXMLReaderSettings Resolving(bool validate = false) {
    TXMLReaderSettings settings;
    settings.ResolveExternals = true;
    settings.ExpandEntityRefs = true;
    settings.Validate = validate;
    return settings;
  }

  std::filesystem::path dir_;
};

TEST_F(ExternalDtdTest, ExternalSubsetIsReadOnlyWhenAllowed) {
  const std::string uri = Write("ext.dtd", "<?xml encoding='UTF-8'?><!ENTITY e 'from file'>");
  const std::string text = "<!DOCTYPE a SYSTEM '" + uri + "' [<!ELEMENT a ANY>]><a>&e;</a>";
  TXMLReaderSettings off = Resolving(true);
  off.ResolveExternals = false;
  TParsed parsed = Parse(text, off);
  EXPECT_EQ(parsed.Tree(), "<!DOCTYPE a>a[&e;]");
  EXPECT_EQ(parsed.Validity, (std::vector<std::string>{"Unable to resolve external DTD subset",
                                                        "Undefined entity 'e' referenced"}));

  for (std::size_t piece : {0, 2}) {
    parsed = Parse(text, Resolving(), piece);
    EXPECT_EQ(parsed.Tree(), "<!DOCTYPE a>a['from file']");
  }
  // Relative references resolve against the document's own file URI.
  parsed = Parse("<!DOCTYPE a SYSTEM 'sub/../ext.dtd'><a>&e;</a>", Resolving(), 0,
                 runtime::SystemToUTF16(Uri("doc.xml")));
  EXPECT_EQ(parsed.Tree(), "<!DOCTYPE a>a['from file']");
  // Defaults from outside the document itself break a standalone declaration.
  Write("defaults.dtd", "<!ATTLIST a d CDATA 'v'>");
  parsed = Parse("<?xml version='1.0' standalone='yes'?><!DOCTYPE a SYSTEM 'defaults.dtd' "
                 "[<!ELEMENT a ANY><!ATTLIST a i CDATA 'w'>]><a/>",
                 Resolving(true), 0, runtime::SystemToUTF16(Uri("doc.xml")));
  EXPECT_EQ(parsed.Tree(), "<!DOCTYPE a>a(d?=v i?=w)");
  EXPECT_EQ(parsed.Validity, std::vector<std::string>{"Standalone constriant violation"});
  // Against "stream:" they name no file.
  EXPECT_EQ(Parse("<!DOCTYPE a SYSTEM 'ext.dtd' [<!ELEMENT a ANY>]><a/>", Resolving(true)).Validity,
            std::vector<std::string>{"Unable to resolve external DTD subset"});
}

TEST_F(ExternalDtdTest, OnlyRegularLocalFilesAreOpened) {
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  const std::string refused[] = {Uri("fifo"), Uri("missing.dtd"), "file://" + dir_.string(),
                                 "http://127.0.0.1:9/x.dtd", "file://otherhost" + (dir_ / "ext.dtd").string()};
  Write("ext.dtd", "<!ENTITY e 'x'>");
  for (const std::string& uri : refused) {
    TParsed parsed = Parse("<!DOCTYPE a SYSTEM '" + uri + "' [<!ELEMENT a EMPTY>]><a/>", Resolving(true));
    EXPECT_EQ(parsed.Tree(), "<!DOCTYPE a>a") << uri;
    EXPECT_EQ(parsed.Validity, std::vector<std::string>{"Unable to resolve external DTD subset"}) << uri;
  }
}

TEST_F(ExternalDtdTest, ExternalTextAllowsParameterEntitiesAndConditionalSections) {
  Write("model.ent", "(b|c|t)*");
  const std::string uri = Write("ext.dtd",
                                "<!ENTITY % model SYSTEM 'model.ent'>\n"
                                "<!ENTITY % on 'INCLUDE'>\n"
                                "<!ELEMENT a %model;>\n"
                                "<!ELEMENT b EMPTY> <!ELEMENT c EMPTY> <!ELEMENT t ANY>\n"
                                "<![%on;[ <!ENTITY one '1'> <![IGNORE[ <![INCLUDE[ ]]> <!ENTITY two '2'> ]]> ]]>\n"
                                "<![ IGNORE [ <!ENTITY three '3'> ]]>\n"
                                "<!ENTITY % part '&#37;on;'>\n"
                                "<!ENTITY built 'x%part;y'>\n"
                                "<!ATTLIST b k CDATA 'v'>\n");
  TParsed parsed = Parse("<!DOCTYPE a SYSTEM '" + uri + "'><a><b/><c/><t>&one;&built;</t></a>", Resolving(true));
  // A parameter entity's text inside an entity value is itself scanned for references.
  EXPECT_EQ(parsed.Tree(), "<!DOCTYPE a>a[b(k?=v)ct['1xINCLUDEy']]");
  EXPECT_EQ(parsed.Validity, std::vector<std::string>());
  EXPECT_EQ(parsed.Entity(u"two"), nullptr);
  EXPECT_EQ(parsed.Entity(u"three"), nullptr);
  EXPECT_EQ(Parse("<!DOCTYPE a SYSTEM '" + uri + "'><a><t/><d/></a>", Resolving(true)).Validity,
            std::vector<std::string>{"Using undeclared element 'd'"});
}

TEST_F(ExternalDtdTest, BrokenExternalTextIsFatal) {
  const struct {
    const char* content;
    const char* reason;
  } cases[] = {
      {"<![INCLUDE[ <!ENTITY a 'x'>", "INCLUDE section is not closed"},
      {"\n <![IGNORE[ <!ENTITY a 'x'>", "(line 2 pos 2): IGNORE section is not closed"},
      {"<![MAYBE[ ]]>", "Expected \"INCLUDE\" or \"IGNORE\""},
      {"<!ENTITY a 'x'> ]]>", "Illegal character in DTD"},
      {"<!ENTITY % e 'EMPTY> <!ELEMENT c EMPTY'> <!ELEMENT b %e;>", "Parameter entities must be properly nested"},
      {"<!ENTITY % e '<!ELEMENT c'> %e; EMPTY>", "Parameter entities must be properly nested"},
  };
  for (const auto& c : cases) {
    const std::string uri = Write("bad.dtd", c.content);
    const std::string error = Parse("<!DOCTYPE a SYSTEM '" + uri + "'><a/>", Resolving()).Error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.content << " gave " << error;
  }
}

// A parameter entity opened inside a declaration whose text closes the
// declaration ends outside it: a validity error, and the document is read.
TEST_F(ExternalDtdTest, EntityEndingOutsideItsDeclarationIsOnlyInvalid) {
  const char* texts[] = {
      "<!ENTITY % e \"(#PCDATA)>\">\n<!ELEMENT doc %e;\n",
      "<!ENTITY % e \"doc (#PCDATA)>\">\n<!ELEMENT %e;\n",
      "<!ENTITY % e \"(#PCDATA)> \">\n<!ELEMENT doc %e; <!ATTLIST doc a CDATA 'v'>\n",
  };
  for (const char* text : texts) {
    const std::string uri = Write("nested.dtd", text);
    TParsed parsed = Parse("<!DOCTYPE doc SYSTEM '" + uri + "'><doc>t</doc>", Resolving(true));
    EXPECT_EQ(parsed.Error, "") << text;
    EXPECT_EQ(parsed.Validity, std::vector<std::string>{"Parameter entities must be properly nested"}) << text;
  }
  // The declaration was stored: its default and its content model apply.
  const std::string uri = Write("nested.dtd", texts[2]);
  EXPECT_EQ(Parse("<!DOCTYPE doc SYSTEM '" + uri + "'><doc>t</doc>", Resolving(true)).Tree(),
            "<!DOCTYPE doc>doc(a?=v)['t']");
}

TEST_F(ExternalDtdTest, ParameterEntityExpansionIsBounded) {
  std::string laughs = "<!ENTITY % l0 'haha'>\n";
  for (int i = 1; i < 12; ++i) {
    laughs += "<!ENTITY % l" + std::to_string(i) + " '";
    for (int k = 0; k < 10; ++k) laughs += "%l" + std::to_string(i - 1) + ";";
    laughs += "'>\n";
  }
  laughs += "<!ENTITY big '%l11;'>\n";
  const std::string uri = Write("laughs.dtd", laughs);
  const std::string error = Parse("<!DOCTYPE a SYSTEM '" + uri + "'><a>&big;</a>", Resolving()).Error;
  EXPECT_NE(error.find("Entity expansion exceeds the allowed amount"), std::string::npos) << error;
}

}  // namespace
}  // namespace corvandel::xml
