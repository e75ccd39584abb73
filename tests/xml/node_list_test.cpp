#include <gtest/gtest.h>

#include <memory>

#include "xml/dom.h"

namespace corvandel::xml {
namespace {

// Builds <methodResponse><params><param><value><struct><member>
// <name>flerror</name><value><boolean>0</boolean></value>
// </member></struct></value></param></params></methodResponse>.
class NodeListTest : public ::testing::Test {
protected:
  void SetUp() override {
    root = Add(doc.get(), u"methodResponse");
    TDOMNode* structure = Add(Add(Add(Add(root, u"params"), u"param"), u"value"), u"struct");
    member = Add(structure, u"member");
    Add(member, u"name")->AppendChild(doc->CreateTextNode(u"flerror"));
    value = Add(member, u"value");
    Add(value, u"boolean")->AppendChild(doc->CreateTextNode(u"0"));
  }

  TDOMElement* Add(TDOMNode* parent, const char16_t* name) {
    return static_cast<TDOMElement*>(parent->AppendChild(doc->CreateElement(name)));
  }

  std::unique_ptr<TXMLDocument> doc = std::make_unique<TXMLDocument>();
  TDOMElement* root = nullptr;
  TDOMElement* member = nullptr;
  TDOMElement* value = nullptr;
};

TEST_F(NodeListTest, FindsMembersAndTheirChildren) {
  TDOMElementList* members = root->GetElementsByTagName(u"member");
  ASSERT_EQ(members->Length(), 1u);
  TDOMNodeList* children = members->Item(0)->ChildNodes();
  EXPECT_EQ(children->Length(), 2u);
  EXPECT_EQ(children->Item(1), value);
  EXPECT_EQ(value->FirstChild()->NodeName(), u"boolean");
  EXPECT_EQ(value->FirstChild()->TextContent(), u"0");
  EXPECT_EQ(children->Item(2), nullptr);
  EXPECT_EQ(children->Item(static_cast<uint32_t>(-1)), nullptr);
  EXPECT_EQ(root->GetElementsByTagName(u"Member")->Length(), 0u);
}

TEST_F(NodeListTest, ListsAreCachedPerStartAndNameAndFollowTheTree) {
  TDOMElementList* values = root->GetElementsByTagName(u"value");
  EXPECT_EQ(root->GetElementsByTagName(u"value"), values);
  EXPECT_NE(member->GetElementsByTagName(u"value"), values);
  EXPECT_EQ(values->Length(), 2u);

  TDOMElement* extra = Add(member, u"value");
  EXPECT_EQ(values->Length(), 3u);
  EXPECT_EQ(values->Item(2), extra);
  member->RemoveChild(extra);
  EXPECT_EQ(values->Length(), 2u);

  // Document order, and never the start element itself.
  TDOMElementList* all = value->GetElementsByTagName(u"*");
  EXPECT_EQ(all->Length(), 1u);
  TDOMElementList* nested = Add(value, u"value")->GetElementsByTagName(u"value");
  EXPECT_EQ(nested->Length(), 0u);
  EXPECT_EQ(root->GetElementsByTagName(u"*")->Length(), 9u);

  TDOMNodeList* children = member->ChildNodes();
  EXPECT_EQ(member->ChildNodes(), children);
  Add(member, u"extra");
  EXPECT_EQ(children->Length(), 3u);
}

TEST_F(NodeListTest, NamespaceListsMatchUriAndLocalName) {
  const DOMString uri = u"urn:x";
  TDOMElement* a = doc->CreateElementNS(uri, u"p:item");
  TDOMElement* b = doc->CreateElementNS(u"urn:y", u"q:item");
  TDOMElement* c = doc->CreateElementNS(uri, u"other");
  member->AppendChild(a);
  member->AppendChild(b);
  member->AppendChild(c);
  EXPECT_EQ(root->GetElementsByTagNameNS(uri, u"item")->Length(), 1u);
  EXPECT_EQ(root->GetElementsByTagNameNS(u"*", u"item")->Length(), 2u);
  EXPECT_EQ(root->GetElementsByTagNameNS(uri, u"*")->Length(), 2u);
  EXPECT_EQ(root->GetElementsByTagNameNS(u"urn:unknown", u"*")->Length(), 0u);
}

TEST_F(NodeListTest, LeavesShareOneEmptyListAndTheDocumentFreesEveryList) {
  // Both ways a document goes: every node pooled, or one node allocated on
  // its own (a processing instruction), which frees the tree node by node.
  for (const bool looseNode : {false, true}) {
    SCOPED_TRACE(looseNode);
    TDOMNode* text = value->FirstChild()->FirstChild();
    TDOMNodeList* empty = text->ChildNodes();
    TDOMNode* comment = member->AppendChild(doc->CreateComment(u"c"));
    EXPECT_EQ(comment->ChildNodes(), empty);
    EXPECT_EQ(empty->Length(), 0u);
    EXPECT_EQ(empty->Item(0), nullptr);
    if (looseNode) root->AppendChild(doc->CreateProcessingInstruction(u"pi", u"data"));
    EXPECT_EQ(root->GetElementsByTagName(u"name")->Length(), 1u);
    EXPECT_EQ(root->GetElementsByTagNameNS(u"*", u"*")->Length(), 8u);
    // The sanitizer build reports any list or placeholder left behind or freed twice.
    doc = std::make_unique<TXMLDocument>();
    SetUp();
  }
}

}  // namespace
}  // namespace corvandel::xml
