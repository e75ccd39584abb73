#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/ping_service.h"
#include "runtime/memory_stream.h"
#include "xml/writer.h"

namespace corvandel::engine {
namespace {

using xml::DOMString;
using xml::TDOMElement;
using xml::TDOMNode;
using xml::TXMLDocument;

// One member of an answer's struct.
struct Member {
  std::u16string name;                    // text of the name element
  std::optional<std::u16string> value;    // none: no value element at all
  std::u16string type = u"";              // element wrapping the value text; empty: bare text
  std::u16string nameElement = u"name";
  bool commentFirst = false;              // a comment before the name element
  std::u16string memberElement = u"member";
};

// <methodResponse><params><param><value><struct> members ... </struct>...
std::unique_ptr<TXMLDocument> Answer(const std::vector<Member>& members) {
  auto doc = std::make_unique<TXMLDocument>();
  auto add = [&doc](TDOMNode* parent, const std::u16string& name) {
    return static_cast<TDOMElement*>(parent->AppendChild(doc->CreateElement(name)));
  };
  TDOMElement* root = add(doc.get(), u"methodResponse");
  TDOMElement* structure = add(add(add(add(root, u"params"), u"param"), u"value"), u"struct");
  for (const Member& m : members) {
    TDOMElement* member = add(structure, m.memberElement);
    if (m.commentFirst) member->AppendChild(doc->CreateComment(u"note"));
    add(member, m.nameElement)->AppendChild(doc->CreateTextNode(m.name));
    if (!m.value) continue;
    TDOMElement* value = add(member, u"value");
    TDOMNode* holder = m.type.empty() ? static_cast<TDOMNode*>(value) : add(value, m.type);
    if (!m.value->empty()) holder->AppendChild(doc->CreateTextNode(*m.value));
  }
  return doc;
}

Member Flag(const std::u16string& value) { return {u"flerror", value, u"boolean"}; }
Member Message(const std::u16string& text) { return {u"message", text, u"string"}; }

TEST(PingServiceTest, BuildsTheRequestForASite) {
  TPingService ping;
  ping.BuildRequest("http://example.org/");
  EXPECT_EQ(ping.SiteURL, "http://example.org/");
  TDOMElement* root = ping.Request->DocumentElement();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->NodeName(), u"methodCall");
  ASSERT_EQ(root->ChildNodes()->Length(), 2u);
  EXPECT_EQ(root->FirstChild()->NodeName(), u"methodName");
  EXPECT_EQ(root->FirstChild()->TextContent(), u"weblogUpdates.ping");
  TDOMNode* params = root->LastChild();
  EXPECT_EQ(params->NodeName(), u"params");
  ASSERT_EQ(params->ChildNodes()->Length(), 2u);
  for (TDOMNode* param = params->FirstChild(); param; param = param->NextSibling()) {
    EXPECT_EQ(param->NodeName(), u"param");
    ASSERT_EQ(param->ChildNodes()->Length(), 1u);
    TDOMNode* value = param->FirstChild();
    EXPECT_EQ(value->NodeName(), u"value");
    ASSERT_EQ(value->ChildNodes()->Length(), 1u);
    EXPECT_EQ(value->FirstChild()->NodeType(), xml::TEXT_NODE);
    EXPECT_EQ(value->TextContent(), u"http://example.org/");
    EXPECT_FALSE(static_cast<TDOMElement*>(value)->HasAttributes());
  }
}

// The exact body every service receives.
std::string RequestBody(const std::string& site) {
  TPingService ping;
  ping.BuildRequest(site);
  runtime::TMemoryStream body;
  xml::WriteDocumentToStream(*ping.Request, body);
  return body.ToString();
}

std::string ExpectedBody(const std::string& value) {
  return "<?xml version=\"1.0\"?>\r\n"
         "<methodCall>\r\n"
         "  <methodName>weblogUpdates.ping</methodName>\r\n"
         "  <params>\r\n"
         "    <param>\r\n"
         "      <value>" + value + "</value>\r\n"
         "    </param>\r\n"
         "    <param>\r\n"
         "      <value>" + value + "</value>\r\n"
         "    </param>\r\n"
         "  </params>\r\n"
         "</methodCall>\r\n";
}

TEST(PingServiceTest, RequestBodyIsExact) {
  const std::string body = RequestBody("abc");
  EXPECT_EQ(body.size(), 230u);
  EXPECT_EQ(body, ExpectedBody("abc"));
  EXPECT_EQ(RequestBody("http://a.example/?x=1&y=<2>"), ExpectedBody("http://a.example/?x=1&amp;y=&lt;2&gt;"));
  EXPECT_EQ(RequestBody("http://caf\xC3\xA9.example/\xE2\x82\xAC"), ExpectedBody("http://caf\xC3\xA9.example/\xE2\x82\xAC"));
}

TEST(PingServiceTest, RebuildingReplacesTheRequestAndWidensTheSite) {
  TPingService ping;
  ping.BuildRequest("http://first.example/");
  ping.BuildRequest("http://caf\xC3\xA9.example/?a=1&b=<2>");
  xml::TDOMElementList* values = ping.Request->DocumentElement()->GetElementsByTagName(u"value");
  ASSERT_EQ(values->Length(), 2u);
  EXPECT_EQ(values->Item(1)->TextContent(), u"http://caf\u00E9.example/?a=1&b=<2>");
}

struct ClassifyCase {
  const char* what;
  std::vector<Member> members;
  bool success;
  std::string answer;  // the caller passes "?"
};

void PrintTo(const ClassifyCase& c, std::ostream* os) { *os << c.what; }

class ClassifyTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTest, SortsAnswers) {
  const ClassifyCase& c = GetParam();
  TPingService ping;
  auto doc = Answer(c.members);
  std::string answer = "?";
  EXPECT_EQ(ping.ClassifyAnswer(*doc, answer), c.success);
  EXPECT_EQ(answer, c.answer);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ClassifyTest,
    ::testing::Values(
        ClassifyCase{"flag 0 with thanks", {Flag(u"0"), Message(u"Thanks for the ping.")}, true, "Thanks for the ping."},
        ClassifyCase{"flag 1 then Thank", {Flag(u"1"), Message(u"Thanks anyway")}, true, "Thanks anyway"},
        ClassifyCase{"flag 1 then lower-case thank", {Flag(u"1"), Message(u"thanks, but no")}, false,
                     "thanks, but no"},
        ClassifyCase{"Thank before flag 1", {Message(u"Thanks!"), Flag(u"1")}, false, "Thanks!"},
        ClassifyCase{"flag 2", {Flag(u"2")}, false, "?"},
        ClassifyCase{"negative flag", {Flag(u"-1")}, false, "?"},
        ClassifyCase{"later flag overrides", {Flag(u"1"), Flag(u"0")}, true, "?"},
        ClassifyCase{"last message wins", {Message(u"one"), Message(u"two")}, true, "two"},
        ClassifyCase{"capital name element and text",
                     {Member{u"FLERROR", u"1", u"int", u"NAME"}, Member{u"MESSAGE", u"no", u"", u"Name"}}, false, "no"},
        ClassifyCase{"capital Member is no member", {Member{u"flerror", u"1", u"int", u"name", false, u"Member"}}, true,
                     "?"},
        ClassifyCase{"comment before name hides the member",
                     {Member{u"flerror", u"1", u"boolean", u"name", true}}, true, "?"},
        ClassifyCase{"bare value text", {Member{u"flerror", u"1"}, Member{u"message", u"Bare"}}, false, "Bare"},
        ClassifyCase{"no member", {}, true, "?"},
        ClassifyCase{"fault struct", {Member{u"faultCode", u"4", u"int"}, Member{u"faultString", u"Too many", u"string"}},
                     true, "?"},
        ClassifyCase{"non-ASCII message", {Flag(u"0"), Message(u"Merci \u00E0 vous")}, true,
                     "Merci \xC3\xA0 vous"}),
    [](const ::testing::TestParamInfo<ClassifyCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST(PingServiceTest, MalformedAnswersRaise) {
  TPingService ping;
  const std::vector<std::vector<Member>> malformed = {
      {Flag(u"yes")},                   // a word
      {Flag(u"")},                      // an empty typed value
      {Flag(u"1 ")},                    // not the whole text
      {Flag(u"+-1")},
      {Flag(u"99999999999")},           // out of range
      {Member{u"flerror", std::nullopt}},  // no value element
      {Member{u"message", std::nullopt}},
      {Member{u"message", u""}},        // value element without content
  };
  for (const auto& members : malformed) {
    auto doc = Answer(members);
    std::string answer = "?";
    EXPECT_THROW(ping.ClassifyAnswer(*doc, answer), EMalformedAnswer);
  }

  // A member without any child raises whatever else the answer holds, and
  // an earlier message may already have replaced the answer.
  auto doc = Answer({Message(u"first")});
  doc->DocumentElement()->GetElementsByTagName(u"struct")->Item(0)->AppendChild(doc->CreateElement(u"member"));
  std::string answer = "?";
  EXPECT_THROW(ping.ClassifyAnswer(*doc, answer), EMalformedAnswer);
  EXPECT_EQ(answer, "first");
}

TEST(PingServiceTest, MembersAreFoundWhereverTheyStand) {
  auto doc = std::make_unique<TXMLDocument>();
  TDOMElement* root = static_cast<TDOMElement*>(doc->AppendChild(doc->CreateElement(u"anything")));
  TDOMElement* member = static_cast<TDOMElement*>(root->AppendChild(doc->CreateElement(u"member")));
  member->AppendChild(doc->CreateElement(u"name"))->AppendChild(doc->CreateTextNode(u"flerror"));
  member->AppendChild(doc->CreateElement(u"value"))->AppendChild(doc->CreateTextNode(u"1"));
  TPingService ping;
  std::string answer = "?";
  EXPECT_FALSE(ping.ClassifyAnswer(*doc, answer));
}

}  // namespace
}  // namespace corvandel::engine
