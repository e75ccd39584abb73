#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "engine/ping_service.h"
#include "engine/ping_texts.h"
#include "runtime/ascii_case.h"
#include "runtime/code_page.h"
#include "runtime/memory_stream.h"
#include "xml/reader.h"
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
        ClassifyCase{"fault members outside a fault element",
                     {Member{u"faultCode", u"4", u"int"}, Member{u"faultString", u"Too many", u"string"}}, true, "?"},
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
  TDOMElement* root = static_cast<TDOMElement*>(doc->AppendChild(doc->CreateElement(u"methodResponse")));
  TDOMNode* holder = root->AppendChild(doc->CreateElement(u"anything"));
  TDOMElement* member = static_cast<TDOMElement*>(holder->AppendChild(doc->CreateElement(u"member")));
  member->AppendChild(doc->CreateElement(u"name"))->AppendChild(doc->CreateTextNode(u"flerror"));
  member->AppendChild(doc->CreateElement(u"value"))->AppendChild(doc->CreateTextNode(u"1"));
  TPingService ping;
  std::string answer = "?";
  std::string reason;
  EXPECT_FALSE(ping.ClassifyAnswer(*doc, answer, &reason));
  EXPECT_EQ(reason, "flerror 1");
}

std::unique_ptr<TXMLDocument> Parse(const std::string& text);

// Faults are errors with their faultString as the answer; a document that
// is not a method response at all is no answer.
TEST(PingServiceTest, FaultsAreErrorsAndOtherDocumentsAreMalformed) {
  const std::string fault =
      "<methodResponse><fault><value><struct>"
      "<member><name>faultCode</name><value><int>-32601</int></value></member>"
      "<member><name>faultString</name><value><string>server error. requested method weblogUpdates.ping does "
      "not exist.</string></value></member></struct></value></fault></methodResponse>";
  struct Case {
    std::string body;
    bool success;
    std::string answer;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {fault, false, "server error. requested method weblogUpdates.ping does not exist.",
       "fault -32601: server error. requested method weblogUpdates.ping does not exist."},
      // The thank-you rule does not turn a fault into a success.
      {"<methodResponse><fault><value><struct><member><name>faultString</name><value>Thanks, but no</value>"
       "</member></struct></value></fault></methodResponse>",
       false, "Thanks, but no", "fault: Thanks, but no"},
      {"<methodResponse><fault/></methodResponse>", false, "?", "fault"},
      // Only a fault under the document element is one.
      {"<methodResponse><params><param><value><fault/></value></param></params></methodResponse>", true, "?", ""},
      {"<methodResponse><params/></methodResponse>", true, "?", ""},
  };
  TPingService ping;
  for (const Case& c : cases) {
    auto doc = Parse(c.body);
    std::string answer = "?";
    std::string reason = "stale";
    EXPECT_EQ(ping.ClassifyAnswer(*doc, answer, &reason), c.success) << c.body;
    EXPECT_EQ(answer, c.answer) << c.body;
    EXPECT_EQ(reason, c.reason) << c.body;
  }
  for (const char* body :
       {"<html xmlns=\"http://www.w3.org/1999/xhtml\"><body><member><name>message</name><value>Thanks</value>"
        "</member></body></html>",
        "<MethodResponse><params/></MethodResponse>"}) {
    auto doc = Parse(body);
    std::string answer = "?";
    EXPECT_THROW(ping.ClassifyAnswer(*doc, answer), EMalformedAnswer) << body;
  }
}

// Answers as services send them: indented, the flag as a boolean or an
// int, the message typed or bare. A thank-you under flerror 1 is a success
// unless it also refuses.
TEST(PingServiceTest, RecordedAnswersWithThanksAndRefusals) {
  auto body = [](const std::string& flag, const std::string& message) {
    return "<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n  <params>\r\n    <param>\r\n      <value>\r\n"
           "        <struct>\r\n"
           "          <member>\r\n            <name>flerror</name>\r\n            <value>" + flag + "</value>\r\n"
           "          </member>\r\n"
           "          <member>\r\n            <name>message</name>\r\n            <value>" + message + "</value>\r\n"
           "          </member>\r\n"
           "        </struct>\r\n      </value>\r\n    </param>\r\n  </params>\r\n</methodResponse>\r\n";
  };
  struct Case {
    std::string flag;
    std::string message;  // the text as it stands in the value element
    bool success;
    std::string answer;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"<boolean>1</boolean>", "<string>Thanks for the ping, but your site has been blacklisted.</string>", false,
       "Thanks for the ping, but your site has been blacklisted.", "flerror 1: refused"},
      {"<int>1</int>", "Thanks for pinging. Too many pings from your IP", false,
       "Thanks for pinging. Too many pings from your IP", "flerror 1: refused"},
      {"<boolean>1</boolean>", "<string>Access denied. Thank you.</string>", false, "Access denied. Thank you.",
       "flerror 1: refused"},
      {"<i4>2</i4>", "Thank you. Your site is BANNED", false, "Thank you. Your site is BANNED", "flerror 2: refused"},
      {"<boolean>1</boolean>", "<string>Thanks for the ping.</string>", true, "Thanks for the ping.", ""},
      {"<int>1</int>", "Thanks! Pinging is not Allowed", false, "Thanks! Pinging is not Allowed",
       "flerror 1: refused"},
      {"<boolean>0</boolean>", "<string>Thank you, ping accepted</string>", true, "Thank you, ping accepted", ""},
      {"<boolean>1</boolean>", "<string>Ping rejected</string>", false, "Ping rejected", "flerror 1"},
  };
  TPingService ping;
  for (const Case& c : cases) {
    auto doc = Parse(body(c.flag, c.message));
    std::string answer = "?";
    std::string reason = "stale";
    EXPECT_EQ(ping.ClassifyAnswer(*doc, answer, &reason), c.success) << c.message;
    EXPECT_EQ(answer, c.answer) << c.message;
    EXPECT_EQ(reason, c.reason) << c.message;
  }
}

// The classification read straight from the rules, one TextContent per
// text it needs: the reference that the linear walk must agree with.
struct Outcome {
  bool raised = false;
  bool success = false;
  std::string answer;
  bool operator==(const Outcome&) const = default;
};

Outcome ByTheRules(xml::TXMLDocument& doc) {
  Outcome out{false, true, "?"};
  TDOMElement* root = doc.DocumentElement();
  if (root->NodeName() != u"methodResponse") return {true, false, "?"};
  auto narrow = [](const DOMString& text) { return runtime::UTF16ToSystem(text); };
  auto valueText = [&](TDOMNode* second) {
    if (!second || !second->FirstChild()) throw EMalformedAnswer("no value");
    return narrow(second->FirstChild()->TextContent());
  };
  try {
    xml::TDOMElementList* members = root->GetElementsByTagName(u"member");
    for (uint32_t i = 0; i < members->Length(); ++i) {
      TDOMNode* first = members->Item(i)->ChildNodes()->Item(0);
      TDOMNode* second = members->Item(i)->ChildNodes()->Item(1);
      if (!first) throw EMalformedAnswer("no child");
      if (runtime::LowerCase(narrow(first->NodeName())) != "name") continue;
      const std::string name = runtime::LowerCase(narrow(first->TextContent()));
      if (name == "flerror") {
        const std::string flag = valueText(second);
        std::size_t end = 0;
        int value = 0;
        try {
          value = std::stoi(flag, &end);
        } catch (const std::exception&) {
          throw EMalformedAnswer("not a number");
        }
        if (end != flag.size() || flag.empty() || std::isspace(static_cast<unsigned char>(flag[0])))
          throw EMalformedAnswer("not a number");
        out.success = value == 0;
      } else if (name == "message") {
        out.answer = valueText(second);
        const std::string lower = runtime::LowerCase(out.answer);
        const bool refuses = std::any_of(kRefusalMarkers.begin(), kRefusalMarkers.end(), [&](std::string_view word) {
          return lower.find(word) != std::string::npos;
        });
        if (!out.success && out.answer.find("Thank") != std::string::npos && !refuses) out.success = true;
      }
    }
  } catch (const EMalformedAnswer&) {
    out.raised = true;
    out.success = false;
  }
  return out;
}

std::unique_ptr<TXMLDocument> Parse(const std::string& text) {
  runtime::TMemoryStream stream(text);
  std::unique_ptr<TXMLDocument> doc;
  xml::ReadDocumentFromStream(doc, stream);
  return doc;
}

Outcome Classified(xml::TXMLDocument& doc) {
  TPingService ping;
  Outcome out{false, false, "?"};
  try {
    out.success = ping.ClassifyAnswer(doc, out.answer);
  } catch (const EMalformedAnswer&) {
    out.raised = true;
  }
  return out;
}

TEST(PingServiceTest, NestedAndSplitTextsClassifyAsTheRulesSay) {
  const std::vector<std::string> answers = {
      "<r><member><name>fl<b>err</b>or</name><value>1</value></member></r>",
      "<r><member><name>flerror</name><value><i>1</i><x>0</x></value></member></r>",
      "<r><member><name>flerror</name><value>1</value></member>"
      "<member><name>message</name><value><s>Th<![CDATA[ank]]>s</s></value></member></r>",
      "<r><member><name>flerror</name><value>1</value></member>"
      "<member><name>message</name><value><s>Th<!-- -->ank</s></value></member></r>",
      "<r><member><name>flerror</name><value>1</value></member>"
      "<member><name>message</name><value><s>x<member><name>message</name><value>Thanks</value></member></s></value>"
      "</member></r>",
      "<r><member><name>message</name><value><s>outer<member><name>message</name><value><i>inner</i></value>"
      "</member></s></value></member></r>",
      "<r><member><name>message<member><name>flerror</name><value>1</value></member></name><value>v</value>"
      "</member></r>",
      "<r><member><name>flerror</name><value><b>0<member><name>x</name><value>0</value></member></b></value>"
      "</member></r>",
      "<r><member><name>flerror</name><value><b>0<member><name>flerror</name><value>1</value></member></b></value>"
      "</member></r>",
      "<r><member><name>message</name><value>kept</value></member><member><name>flerror</name><value>x</value>"
      "</member></r>",
      "<r><member><?name flerror?><value><!--1--></value></member></r>",
      "<r><member><name>message</name><value><!--Thanks--></value></member></r>",
      "<!DOCTYPE r [<!ENTITY name 'flerror'>]><r><member>&name;<value>2</value></member></r>",
      "<!DOCTYPE r [<!ENTITY t 'Thank'>]><r><member><name>flerror</name><value>1</value></member>"
      "<member><name>message</name><value><s>&t;s</s></value></member></r>",
      "<r><member><name>MeSsAgE</name><value><s>caf\xC3\xA9</s></value></member><member/></r>",
      // A refusal marker counts inside the message's own text only: split
      // across its nodes, but not reaching past its end nor standing in a
      // later member.
      "<r><member><name>flerror</name><value>1</value></member>"
      "<member><name>message</name><value><s>Thanks, b<b>U</b><![CDATA[t]]> BAN<!-- -->NED</s></value></member></r>",
      "<r><member><name>flerror</name><value>1</value></member>"
      "<member><name>message</name><value><s>Thanks, ban</s></value></member><x>ned</x></r>",
      "<r><member><name>flerror</name><value>1</value></member>"
      "<member><name>message</name><value><s>Thanks</s></value></member>"
      "<member><name>note</name><value><s>denied</s></value></member></r>",
      "<r><member><name>flerror</name><value>1</value></member>"
      "<member><name>message</name><value><s>Thanks<member><name>message</name><value><s>Thanks, but no"
      "</s></value></member></s></value></member></r>",
  };
  for (std::string text : answers) {
    // Written with a short document element; the answers are method responses.
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"<r>", "<methodResponse>"},
                                   std::pair<std::string, std::string>{"</r>", "</methodResponse>"}})
      for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    auto doc = Parse(text);
    EXPECT_EQ(Classified(*doc), ByTheRules(*doc)) << text;
  }
}

// <member><name> nested depth times, with the names' own text at the
// bottom: each name's text content spans every deeper member.
std::unique_ptr<TXMLDocument> NestedMembers(int depth, const std::u16string& innermost) {
  auto doc = std::make_unique<TXMLDocument>();
  TDOMNode* parent = doc->AppendChild(doc->CreateElement(u"methodResponse"));
  for (int i = 0; i < depth; ++i) {
    TDOMNode* member = parent->AppendChild(doc->CreateElement(u"member"));
    parent = member->AppendChild(doc->CreateElement(u"name"));
    member->AppendChild(doc->CreateElement(u"value"))->AppendChild(doc->CreateTextNode(u"1"));
  }
  parent->AppendChild(doc->CreateTextNode(innermost));
  return doc;
}

// Counted in the document model's accessors, which every walk goes through:
// a walk cannot forget to count itself.
TEST(PingServiceTest, DeeplyNestedMembersCostLinearWork) {
  if (!xml::TNodeAccessScope::Counted()) GTEST_SKIP() << "built without CORVANDEL_COUNT_NODE_ACCESS";
  for (const std::u16string innermost : {u"flerror", u"message"}) {
    for (int depth : {1000, 20000}) {
      auto doc = NestedMembers(depth, innermost);
      const xml::TNodeAccessScope access;
      const Outcome out = Classified(*doc);
      const uint64_t steps = access.Steps();
      const uint64_t units = access.Units();
      const uint64_t nodes = 3 * static_cast<uint64_t>(depth) + 2;
      EXPECT_LE(steps, 12 * nodes) << depth;
      EXPECT_LE(units, 4 * static_cast<uint64_t>(depth) + 16) << depth;
      // Only the innermost name has the text alone; it has its value.
      EXPECT_FALSE(out.raised);
      EXPECT_EQ(out.success, innermost != u"flerror");
      EXPECT_EQ(out.answer, innermost == u"message" ? "1" : "?");
      if (depth == 1000) {
        EXPECT_EQ(out, ByTheRules(*doc));
      }
    }
  }
}

}  // namespace
}  // namespace corvandel::engine
