#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "xml/detail/dom_builder.h"
#include "xml/dom.h"
#include "dom_error_check.h"

namespace corvandel::xml {
namespace {

using testing::ExpectDOMError;

class DomTest : public ::testing::Test {
protected:
  std::unique_ptr<TXMLDocument> doc = std::make_unique<TXMLDocument>();

  TDOMElement* Element(const char16_t* name) { return doc->CreateElement(name); }
  TDOMText* Text(const char16_t* data) { return doc->CreateTextNode(data); }

  // Children of node as "name|name|..." with text data in place of #text.
  static std::u16string Children(TDOMNode* node) {
    std::u16string out;
    for (TDOMNode* c = node->FirstChild(); c; c = c->NextSibling()) {
      if (!out.empty()) out += u'|';
      out += c->NodeType() == TEXT_NODE ? u"'" + c->NodeValue() + u"'" : c->NodeName();
    }
    return out;
  }
};

TEST_F(DomTest, CreateElementChecksNamesAndInternsThem) {
  for (const char16_t* bad : {u"", u"1a", u"-a", u"a b"}) {
    ExpectDOMError<EDOMError>([&] { Element(bad); }, "EDOMError in DOMDocument.CreateElement", 5);
  }
  ExpectDOMError<EDOMError>([&] { doc->CreateAttribute(u"1a"); }, "EDOMError in DOMDocument.CreateAttribute", 5);

  TDOMElement* a1 = Element(u"a:b");
  TDOMElement* a2 = Element(u"a:b");
  EXPECT_EQ(a1->NodeName(), u"a:b");
  EXPECT_EQ(a1->NameItem(), a2->NameItem());
  EXPECT_EQ(a1->LocalName(), u"");
  EXPECT_EQ(a1->Prefix(), u"");
  EXPECT_EQ(a1->NamespaceURI(), u"");
  EXPECT_EQ(a1->Flags() & NODE_NAMESPACE_AWARE, 0);
}

TEST_F(DomTest, NodeNamesAndValuesByKind) {
  EXPECT_EQ(Text(u"x")->NodeName(), u"#text");
  EXPECT_EQ(doc->CreateCDATASection(u"x")->NodeName(), u"#cdata-section");
  EXPECT_EQ(doc->CreateComment(u"x")->NodeName(), u"#comment");
  EXPECT_EQ(doc->NodeName(), u"#document");
  TDOMProcessingInstruction* pi = doc->CreateProcessingInstruction(u"target", u"data");
  EXPECT_EQ(pi->NodeName(), u"target");
  EXPECT_EQ(pi->NodeValue(), u"data");
  EXPECT_EQ(Element(u"e")->NodeValue(), u"");
  EXPECT_EQ(doc->OwnerDocument(), nullptr);
  EXPECT_EQ(Element(u"e")->OwnerDocument(), doc.get());
}

TEST_F(DomTest, PlainDocumentRefusesXmlOnlyNodes) {
  TDOMDocument plain;
  ExpectDOMError<EDOMNotSupported>([&] { plain.CreateCDATASection(u"x"); },
                                   "EDOMNotSupported in DOMDocument.CreateCDATASection", 9);
  ExpectDOMError<EDOMNotSupported>([&] { plain.CreateProcessingInstruction(u"a", u"b"); },
                                   "EDOMNotSupported in DOMDocument.CreateProcessingInstruction", 9);
  ExpectDOMError<EDOMNotSupported>([&] { plain.CreateEntityReference(u"a"); },
                                   "EDOMNotSupported in DOMDocument.CreateEntityReference", 9);
  ExpectDOMError<EDOMError>([&] { doc->CreateProcessingInstruction(u"1", u"b"); },
                            "EDOMError in XMLDocument.CreateProcessingInstruction", 5);
  ExpectDOMError<EDOMError>([&] { doc->CreateEntityReference(u"a b"); },
                            "EDOMError in XMLDocument.CreateEntityReference", 5);
}

TEST_F(DomTest, InsertBeforeChecksRunInOrderAndLeaveTreeUnchanged) {
  TDOMElement* root = Element(u"root");
  doc->AppendChild(root);
  EXPECT_EQ(root->ParentNode(), doc.get());

  ExpectDOMError<EDOMHierarchyRequest>([&] { doc->AppendChild(Element(u"second")); },
                                       "EDOMHierarchyRequest in Document.InsertBefore", 3);
  ExpectDOMError<EDOMHierarchyRequest>([&] { doc->AppendChild(root); },
                                       "EDOMHierarchyRequest in Document.InsertBefore", 3);
  ExpectDOMError<EDOMHierarchyRequest>([&] { doc->AppendChild(Text(u"t")); },
                                       "EDOMHierarchyRequest in NodeWC.InsertBefore", 3);

  TXMLDocument other;
  ExpectDOMError<EDOMWrongDocument>([&] { root->AppendChild(other.CreateElement(u"x")); },
                                    "EDOMWrongDocument in NodeWC.InsertBefore", 4);

  TDOMElement* child = Element(u"child");
  TDOMElement* grandchild = Element(u"grandchild");
  root->AppendChild(child);
  child->AppendChild(grandchild);
  ExpectDOMError<EDOMNotFound>([&] { root->InsertBefore(Element(u"x"), grandchild); },
                               "EDOMNotFound in NodeWC.InsertBefore", 8);
  ExpectDOMError<EDOMHierarchyRequest>([&] { child->AppendChild(child); },
                                       "EDOMHierarchyRequest in NodeWC.InsertBefore (cycle in tree)", 3);
  ExpectDOMError<EDOMHierarchyRequest>([&] { grandchild->AppendChild(root); },
                                       "EDOMHierarchyRequest in NodeWC.InsertBefore (cycle in tree)", 3);
  EXPECT_EQ(Children(root), u"child");
  EXPECT_EQ(Children(child), u"grandchild");
  EXPECT_EQ(Children(grandchild), u"");

  // Attributes take text and entity references only.
  TDOMAttr* attribute = doc->CreateAttribute(u"at");
  ExpectDOMError<EDOMHierarchyRequest>([&] { attribute->AppendChild(Element(u"x")); },
                                       "EDOMHierarchyRequest in NodeWC.InsertBefore", 3);
  EXPECT_NO_THROW(attribute->AppendChild(Text(u"v")));
}

TEST_F(DomTest, NodesWithoutChildrenRefuseTreeChanges) {
  TDOMText* text = Text(u"t");
  ExpectDOMError<EDOMHierarchyRequest>([&] { text->AppendChild(Text(u"u")); },
                                       "EDOMHierarchyRequest in Node.InsertBefore", 3);
  ExpectDOMError<EDOMHierarchyRequest>([&] { text->ReplaceChild(Text(u"u"), Text(u"v")); },
                                       "EDOMHierarchyRequest in Node.ReplaceChild", 3);
  ExpectDOMError<EDOMNotFound>([&] { text->RemoveChild(Text(u"u")); }, "EDOMNotFound in Node.RemoveChild", 8);
  EXPECT_EQ(text->ChildNodes()->Length(), 0u);
  EXPECT_EQ(text->ChildNodes(), doc->CreateComment(u"c")->ChildNodes());
}

TEST_F(DomTest, InsertMoveRemoveAndReplace) {
  TDOMElement* a = Element(u"a");
  TDOMElement* b = Element(u"b");
  TDOMElement* x = Element(u"x");
  TDOMElement* y = Element(u"y");
  a->AppendChild(x);
  a->AppendChild(y);
  EXPECT_EQ(a->InsertBefore(y, y), y);  // a node before itself: nothing changes
  EXPECT_EQ(Children(a), u"x|y");
  a->InsertBefore(y, x);
  EXPECT_EQ(Children(a), u"y|x");

  b->AppendChild(x);  // moving takes it out of the old parent
  EXPECT_EQ(Children(a), u"y");
  EXPECT_EQ(Children(b), u"x");
  EXPECT_EQ(x->ParentNode(), b);

  ExpectDOMError<EDOMNotFound>([&] { a->RemoveChild(x); }, "EDOMNotFound in NodeWC.RemoveChild", 8);
  EXPECT_EQ(b->RemoveChild(x), x);
  EXPECT_EQ(x->ParentNode(), nullptr);
  EXPECT_EQ(x->OwnerDocument(), doc.get());
  a->AppendChild(x);
  EXPECT_EQ(Children(a), u"y|x");

  TDOMElement* z = Element(u"z");
  EXPECT_EQ(a->ReplaceChild(z, y), y);
  EXPECT_EQ(Children(a), u"z|x");
  EXPECT_EQ(y->ParentNode(), nullptr);
  // Replacing a child with itself keeps it in place.
  EXPECT_EQ(a->ReplaceChild(z, z), z);
  EXPECT_EQ(Children(a), u"z|x");
}

TEST_F(DomTest, DocumentReplacesItsElementAndDocType) {
  TDOMElement* first = Element(u"first");
  doc->AppendChild(doc->CreateComment(u"c"));
  doc->AppendChild(first);
  TDOMElement* second = Element(u"second");
  EXPECT_EQ(doc->ReplaceChild(second, first), first);
  EXPECT_EQ(doc->DocumentElement(), second);
  EXPECT_EQ(Children(doc.get()), u"#comment|second");
  // Any other replacement still obeys the single-element rule.
  ExpectDOMError<EDOMHierarchyRequest>([&] { doc->ReplaceChild(Element(u"third"), doc->FirstChild()); },
                                       "EDOMHierarchyRequest in Document.InsertBefore", 3);

  TDOMDocumentType* type = doc->CreateDocumentType(u"first", u"", u"");
  doc->InsertBefore(type, doc->FirstChild());
  EXPECT_EQ(doc->DocType(), type);
  ExpectDOMError<EDOMHierarchyRequest>([&] { doc->AppendChild(doc->CreateDocumentType(u"x", u"", u"")); },
                                       "EDOMHierarchyRequest in Document.InsertBefore", 3);
}

TEST_F(DomTest, ReadOnlyNodesRefuseChanges) {
  TDOMElement* root = Element(u"root");
  TDOMElement* child = Element(u"child");
  TDOMText* text = Text(u"t");
  root->AppendChild(child);
  child->AppendChild(text);
  root->SetAttribute(u"at", u"v");
  root->SetReadOnly(true);
  EXPECT_TRUE(child->ReadOnly());
  EXPECT_TRUE(text->ReadOnly());
  EXPECT_TRUE(root->GetAttributeNode(u"at")->ReadOnly());

  const std::string message = "EDOMError in Node.CheckReadOnly";
  ExpectDOMError<EDOMError>([&] { child->AppendChild(Element(u"x")); }, message, 7);
  ExpectDOMError<EDOMError>([&] { root->RemoveChild(child); }, message, 7);
  ExpectDOMError<EDOMError>([&] { text->SetNodeValue(u"u"); }, message, 7);
  ExpectDOMError<EDOMError>([&] { root->SetTextContent(u"z"); }, message, 7);
  EXPECT_EQ(Children(child), u"'t'");

  root->SetReadOnly(false);
  EXPECT_FALSE(text->ReadOnly());
  EXPECT_NO_THROW(text->SetNodeValue(u"u"));
}

TEST_F(DomTest, TextContentSkipsCommentsAndIgnorableWhitespace) {
  TDOMElement* e = Element(u"e");
  e->AppendChild(Text(u"a"));
  e->AppendChild(doc->CreateComment(u"comment"));
  e->AppendChild(doc->CreateProcessingInstruction(u"pi", u"data"));
  e->AppendChild(Text(u"b"));
  TDOMElement* inner = Element(u"inner");
  inner->AppendChild(Text(u"x"));
  inner->AppendChild(doc->CreateCDATASection(u"<c>"));
  e->AppendChild(inner);
  const DOMString blank = u"  ";
  e->AppendChild(TDOMBuilder(*doc).Text(blank.data(), blank.size(), true));
  EXPECT_EQ(e->TextContent(), u"abx<c>");
  EXPECT_EQ(doc->TextContent(), u"");

  e->SetTextContent(u"z");
  EXPECT_EQ(Children(e), u"'z'");
  e->SetTextContent(u"");
  EXPECT_FALSE(e->HasChildNodes());
  EXPECT_EQ(inner->ParentNode(), nullptr);  // unlinked, still alive
}

TEST_F(DomTest, NormalizeMergesAdjacentTextOnly) {
  TDOMElement* e = Element(u"e");
  for (const char16_t* t : {u"a", u"", u"b"}) e->AppendChild(Text(t));
  e->AppendChild(doc->CreateCDATASection(u"c"));
  e->AppendChild(Text(u"d"));
  TDOMElement* inner = Element(u"inner");
  inner->AppendChild(Text(u"x"));
  inner->AppendChild(Text(u"y"));
  e->AppendChild(inner);
  e->AppendChild(Text(u""));
  TDOMAttr* attribute = doc->CreateAttribute(u"at");
  attribute->AppendChild(Text(u"1"));
  attribute->AppendChild(Text(u"2"));
  e->SetAttributeNode(attribute);

  e->Normalize();
  EXPECT_EQ(Children(e), u"'ab'|#cdata-section|'d'|inner");
  EXPECT_EQ(Children(inner), u"'xy'");
  EXPECT_EQ(Children(attribute), u"'12'");
}

TEST_F(DomTest, FindChildNamedAndCompareNodeName) {
  TDOMElement* e = Element(u"e");
  e->AppendChild(Element(u"bb"));
  e->AppendChild(Element(u"a"));
  EXPECT_EQ(e->FindChildNamed(u"a"), e->LastChild());
  EXPECT_EQ(e->FindChildNamed(u"c"), nullptr);
  TDOMNode* bb = e->FirstChild();
  EXPECT_GT(bb->CompareNodeName(u"zz"), 0);  // same length: code units decide
  EXPECT_LT(bb->CompareNodeName(u"aa"), 0);
  EXPECT_LT(bb->CompareNodeName(u"z"), 0);  // shorter orders first
  EXPECT_GT(bb->CompareNodeName(u"aaa"), 0);
  EXPECT_EQ(bb->CompareNodeName(u"bb"), 0);
}

TEST_F(DomTest, PoolsReuseLastFreedSlotAndGrowByDoubling) {
  TDOMElement* first = Element(u"a");
  const TNodePool* pool = TDOMBuilder(*doc).PoolFor(sizeof(TDOMElement));
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->ChunkSlots(), 32u);
  for (int i = 1; i < 32; ++i) Element(u"a");
  EXPECT_EQ(pool->ChunkSlots(), 32u);
  Element(u"a");
  EXPECT_EQ(pool->ChunkSlots(), 64u);

  TDOMElement* x = Element(u"x");
  TDOMElement* y = Element(u"y");
  x->Free();
  y->Free();
  EXPECT_EQ(Element(u"z"), static_cast<void*>(y));
  EXPECT_EQ(Element(u"z"), static_cast<void*>(x));
  EXPECT_NE(first, nullptr);
}

TEST_F(DomTest, DocumentFreesAttachedUnattachedAndUnlinkedNodes) {
  TDOMElement* root = Element(u"root");
  doc->AppendChild(root);
  TDOMElement* kept = Element(u"kept");
  root->AppendChild(kept);
  kept->AppendChild(Text(u"inside"));
  root->RemoveChild(kept);
  TDOMElement* loose = Element(u"loose");
  loose->SetAttribute(u"at", u"v");
  loose->AppendChild(doc->CreateProcessingInstruction(u"pi", u"data"));  // allocated on its own
  doc->CreateDocumentType(u"dt", u"p", u"s");
  EXPECT_GT(TDOMBuilder(*doc).LiveNodeCount(), 7u);
  doc.reset();  // the sanitizer build reports anything left behind
}

TEST_F(DomTest, FreeingNodesUnlinksAndKeepsListsValid) {
  TDOMElement* root = Element(u"root");
  doc->AppendChild(root);
  TDOMElement* a = Element(u"item");
  root->AppendChild(a);
  a->AppendChild(Element(u"item"));
  TDOMElementList* list = root->GetElementsByTagName(u"item");
  EXPECT_EQ(list->Length(), 2u);
  const std::size_t live = TDOMBuilder(*doc).LiveNodeCount();
  a->Free();
  EXPECT_EQ(TDOMBuilder(*doc).LiveNodeCount(), live - 2);
  EXPECT_FALSE(root->HasChildNodes());
  EXPECT_EQ(list->Length(), 0u);

  // A list of a freed element must not serve the element that reuses its slot.
  TDOMElement* gone = Element(u"gone");
  gone->AppendChild(Element(u"item"));
  EXPECT_EQ(gone->GetElementsByTagName(u"item")->Length(), 1u);
  gone->Free();
  TDOMElement* reused = Element(u"reused");
  ASSERT_EQ(static_cast<void*>(reused), static_cast<void*>(gone));
  EXPECT_EQ(reused->GetElementsByTagName(u"item")->Length(), 0u);
}

// Documents from the network may nest arbitrarily deep: no walk may recurse.
TEST_F(DomTest, MillionDeepTreeIsWalkedWithoutRecursion) {
  constexpr int kDepth = 1000000;
  TDOMElement* root = Element(u"d");
  doc->AppendChild(root);
  TDOMNode* parent = root;
  for (int i = 0; i < kDepth; ++i) {
    TDOMElement* child = Element(u"d");
    parent->AppendChild(child);
    parent = child;
  }
  parent->AppendChild(Text(u"leaf"));
  parent->AppendChild(Text(u"!"));

  EXPECT_EQ(root->TextContent(), u"leaf!");
  root->Normalize();
  EXPECT_EQ(Children(parent), u"'leaf!'");
  EXPECT_EQ(root->GetElementsByTagName(u"d")->Length(), static_cast<uint32_t>(kDepth));
  root->SetReadOnly(true);
  EXPECT_TRUE(parent->ReadOnly());
  root->SetReadOnly(false);
  TDOMNode* clone = root->CloneNode(true);
  EXPECT_EQ(clone->TextContent(), u"leaf!");
  clone->Free();
  // A second deep tree left to the document's destruction.
  doc->RemoveChild(root);
}

}  // namespace
}  // namespace corvandel::xml
