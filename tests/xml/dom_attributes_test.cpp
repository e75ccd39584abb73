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

class AttributeTest : public ::testing::Test {
protected:
  std::unique_ptr<TXMLDocument> doc = std::make_unique<TXMLDocument>();

  TDOMAttr* Attr(const char16_t* name, const char16_t* value) {
    TDOMAttr* attribute = doc->CreateAttribute(name);
    attribute->SetNodeValue(value);
    return attribute;
  }

  static std::u16string Names(TDOMNamedNodeMap* map) {
    std::u16string out;
    for (uint32_t i = 0; i < map->Length(); ++i) out += (i ? u"|" : u"") + map->Item(i)->NodeName();
    return out;
  }

  // Declares, as the parser does, attribute defaults for elements named element.
  void Declare(const char16_t* element, const char16_t* attribute, uint8_t kind, const char16_t* value) {
    TDOMBuilder build(*doc);
    TNameItem* item = build.InternName(element);
    if (!item->Data) item->Data = build.Element(element, std::char_traits<char16_t>::length(element));
    const DOMString name(attribute);
    TDOMAttrDef* declaration = build.AttributeDef(name.data(), name.size());
    declaration->SetDefault(kind);
    if (*value) declaration->AppendChild(doc->CreateTextNode(value));
    static_cast<TDOMElement*>(item->Data)->SetAttributeNode(declaration);
  }
};

TEST_F(AttributeTest, MapKeepsNamesSortedByLengthThenCodeUnits) {
  TDOMElement* e = doc->CreateElement(u"e");
  for (const char16_t* name : {u"zz", u"a", u"bb", u"B"}) e->SetAttributeNode(Attr(name, u"v"));
  EXPECT_EQ(Names(e->Attributes()), u"B|a|bb|zz");
  EXPECT_EQ(e->GetAttributeNode(u"bb")->OwnerElement(), e);
  EXPECT_EQ(e->GetAttributeNode(u"c"), nullptr);
  EXPECT_EQ(doc->CreateElement(u"x")->GetAttributeNode(u"a"), nullptr);
  EXPECT_TRUE(e->HasAttributes());
  EXPECT_FALSE(doc->CreateElement(u"x")->HasAttributes());
}

TEST_F(AttributeTest, SetAttributeNodeReplacesAndChecksOwnership) {
  TDOMElement* e = doc->CreateElement(u"e");
  TDOMAttr* first = Attr(u"a", u"1");
  e->SetAttributeNode(first);
  TDOMAttr* second = Attr(u"a", u"2");
  EXPECT_EQ(e->SetAttributeNode(second), first);
  EXPECT_EQ(first->OwnerElement(), nullptr);
  EXPECT_EQ(e->Attributes()->Length(), 1u);
  EXPECT_EQ(e->GetAttribute(u"a"), u"2");
  EXPECT_EQ(e->SetAttributeNode(second), second);  // setting it again keeps it attached
  EXPECT_EQ(second->OwnerElement(), e);

  const std::string situation = "EDOMError in NamedNodeMap.SetNamedItem";
  TDOMElement* other = doc->CreateElement(u"other");
  ExpectDOMError<EDOMError>([&] { other->SetAttributeNode(second); }, situation, 10);
  TXMLDocument foreign;
  ExpectDOMError<EDOMError>([&] { other->SetAttributeNode(foreign.CreateAttribute(u"a")); }, situation, 4);
  ExpectDOMError<EDOMError>([&] { other->Attributes()->SetNamedItem(doc->CreateElement(u"x")); }, situation, 3);
  other->SetReadOnly(true);
  ExpectDOMError<EDOMError>([&] { other->SetAttributeNode(Attr(u"b", u"")); }, situation, 7);
}

TEST_F(AttributeTest, RemoveAttributeNodeRequiresMembership) {
  TDOMElement* e = doc->CreateElement(u"e");
  TDOMAttr* a = Attr(u"a", u"1");
  ExpectDOMError<EDOMNotFound>([&] { e->RemoveAttributeNode(a); }, "EDOMNotFound in Element.RemoveAttributeNode", 8);
  e->SetAttributeNode(a);
  EXPECT_EQ(e->RemoveAttributeNode(a), a);
  EXPECT_EQ(a->OwnerElement(), nullptr);
  EXPECT_FALSE(e->HasAttributes());
  // A detached attribute can be attached elsewhere and freed from there.
  TDOMElement* f = doc->CreateElement(u"f");
  f->SetAttributeNode(a);
  a->Free();
  EXPECT_FALSE(f->HasAttributes());
}

TEST_F(AttributeTest, ValuesAreChildrenAndTypedValuesAreNormalised) {
  TDOMAttr* a = Attr(u"a", u"  x   y ");
  EXPECT_EQ(a->ChildNodes()->Length(), 1u);
  EXPECT_TRUE(a->Specified());
  EXPECT_EQ(a->NodeValue(), u"  x   y ");
  a->SetDataType(DATATYPE_ID);
  EXPECT_EQ(a->NodeValue(), u"x y");
}

TEST_F(AttributeTest, NamespaceCreationChecksQualifiedNames) {
  const std::string elementNS = "EDOMError in Document.CreateElementNS";
  ExpectDOMError<EDOMError>([&] { doc->CreateElementNS(u"", u"a:b"); }, elementNS, 14);
  ExpectDOMError<EDOMError>([&] { doc->CreateElementNS(u"urn:x", u"1a"); }, elementNS, 5);
  ExpectDOMError<EDOMError>([&] { doc->CreateElementNS(u"urn:x", u"xmlns"); }, elementNS, 14);
  ExpectDOMError<EDOMError>([&] { doc->CreateAttributeNS(u"urn:x", u"xml:lang"); },
                            "EDOMError in Document.CreateAttributeNS", 14);
  EXPECT_NO_THROW(doc->CreateAttributeNS(DOMString(kXmlnsNamespace), u"xmlns"));

  TDOMElement* e = doc->CreateElementNS(u"urn:x", u"p:local");
  EXPECT_EQ(e->NodeName(), u"p:local");
  EXPECT_EQ(e->LocalName(), u"local");
  EXPECT_EQ(e->Prefix(), u"p");
  EXPECT_EQ(e->NamespaceURI(), u"urn:x");
  EXPECT_EQ(e->ColonPos(), 2);
  EXPECT_EQ(doc->IndexOfNamespace(u"urn:x", false), 3);
  EXPECT_EQ(doc->IndexOfNamespace(u"urn:unknown", false), -1);
  EXPECT_EQ(doc->IndexOfNamespace(DOMString(kXmlNamespace), false), 1);
}

TEST_F(AttributeTest, SetPrefixRenamesNamespaceAwareNodesOnly) {
  ExpectDOMError<EDOMNamespace>([&] { doc->CreateElement(u"plain")->SetPrefix(u"p"); },
                                "EDOMNamespace in Node.SetPrefix", 14);
  TDOMElement* e = doc->CreateElementNS(u"urn:x", u"a:b");
  ExpectDOMError<EDOMError>([&] { e->SetPrefix(u"1"); }, "EDOMError in Node.SetPrefix", 5);
  ExpectDOMError<EDOMNamespace>([&] { e->SetPrefix(u"p:q"); }, "EDOMNamespace in Node.SetPrefix", 14);
  ExpectDOMError<EDOMNamespace>([&] { e->SetPrefix(u"xml"); }, "EDOMNamespace in Node.SetPrefix", 14);
  e->SetPrefix(u"p");
  EXPECT_EQ(e->NodeName(), u"p:b");
  EXPECT_EQ(e->LocalName(), u"b");
  EXPECT_EQ(e->ColonPos(), 2);

  TDOMAttr* a = doc->CreateAttributeNS(u"urn:x", u"q:a");
  ExpectDOMError<EDOMNamespace>([&] { a->SetPrefix(u"xmlns"); }, "EDOMNamespace in Node.SetPrefix", 14);
  a->SetPrefix(u"long");
  EXPECT_EQ(a->NodeName(), u"long:a");
}

TEST_F(AttributeTest, NamespaceMapOperations) {
  TDOMElement* e = doc->CreateElementNS(u"urn:x", u"e");
  TDOMAttr* a = doc->CreateAttributeNS(u"urn:x", u"p:a");
  EXPECT_EQ(e->SetAttributeNodeNS(a), nullptr);
  EXPECT_EQ(e->GetAttributeNodeNS(u"urn:x", u"a"), a);
  EXPECT_EQ(e->GetAttributeNodeNS(u"urn:y", u"a"), nullptr);
  // Same namespace and local name under another prefix takes its place.
  TDOMAttr* b = doc->CreateAttributeNS(u"urn:x", u"q:a");
  EXPECT_EQ(e->SetAttributeNodeNS(b), a);
  EXPECT_EQ(a->OwnerElement(), nullptr);
  EXPECT_EQ(Names(e->Attributes()), u"q:a");

  EXPECT_EQ(e->Attributes()->RemoveNamedItemNS(u"urn:x", u"a"), b);
  ExpectDOMError<EDOMNotFound>([&] { e->Attributes()->RemoveNamedItemNS(u"urn:x", u"a"); },
                               "EDOMNotFound in NamedNodeMap.RemoveNamedItemNS", 8);
  e->SetReadOnly(true);
  ExpectDOMError<EDOMError>([&] { e->Attributes()->RemoveNamedItemNS(u"urn:x", u"a"); },
                            "EDOMError in NamedNodeMap.RemoveNamedItemNS", 7);
}

TEST_F(AttributeTest, LookupNamespaceURIClimbsThroughDeclarations) {
  TDOMElement* root = doc->CreateElement(u"root");
  doc->AppendChild(root);
  TDOMAttr* declaration = doc->CreateAttributeNS(DOMString(kXmlnsNamespace), u"xmlns:p");
  declaration->SetNodeValue(u"urn:p");
  root->SetAttributeNode(declaration);
  TDOMAttr* defaultNS = doc->CreateAttributeNS(DOMString(kXmlnsNamespace), u"xmlns");
  defaultNS->SetNodeValue(u"urn:default");
  root->SetAttributeNode(defaultNS);
  TDOMElement* child = doc->CreateElementNS(u"urn:q", u"q:child");
  root->AppendChild(child);
  TDOMText* text = doc->CreateTextNode(u"t");
  child->AppendChild(text);

  EXPECT_EQ(LookupNamespaceURI(text, u"p"), u"urn:p");
  EXPECT_EQ(LookupNamespaceURI(text, u"q"), u"urn:q");
  EXPECT_EQ(LookupNamespaceURI(child, u""), u"urn:default");
  EXPECT_EQ(LookupNamespaceURI(doc.get(), u"p"), u"urn:p");
  EXPECT_EQ(LookupNamespaceURI(declaration, u"p"), u"urn:p");
  EXPECT_EQ(LookupNamespaceURI(text, u"none"), u"");
}

TEST_F(AttributeTest, DeclaredDefaultsAreAddedAndRestored) {
  Declare(u"e", u"fixed", DEFAULT_FIXED, u"f");
  Declare(u"e", u"dflt", DEFAULT_VALUE, u"d");
  Declare(u"e", u"req", DEFAULT_REQUIRED, u"");
  Declare(u"e", u"impl", DEFAULT_IMPLIED, u"");
  TDOMElement* e = doc->CreateElement(u"e");
  EXPECT_EQ(Names(e->Attributes()), u"dflt|fixed");
  TDOMAttr* dflt = e->GetAttributeNode(u"dflt");
  EXPECT_FALSE(dflt->Specified());
  EXPECT_EQ(dflt->NodeValue(), u"d");

  e->SetAttribute(u"dflt", u"mine");
  EXPECT_TRUE(e->GetAttributeNode(u"dflt")->Specified());
  TDOMAttr* mine = e->RemoveAttributeNode(e->GetAttributeNode(u"dflt"));
  EXPECT_EQ(mine->NodeValue(), u"mine");
  TDOMAttr* restored = e->GetAttributeNode(u"dflt");
  ASSERT_NE(restored, nullptr);
  EXPECT_NE(restored, mine);
  EXPECT_FALSE(restored->Specified());
  EXPECT_EQ(restored->NodeValue(), u"d");

  // The builder adds no defaults.
  EXPECT_FALSE(TDOMBuilder(*doc).Element(u"e", 1)->HasAttributes());
}

TEST_F(AttributeTest, IdsRegisterOnceAndDieWithTheirElement) {
  TDOMElement* first = doc->CreateElement(u"first");
  TDOMElement* second = doc->CreateElement(u"second");
  EXPECT_EQ(doc->GetElementById(u"x"), nullptr);
  first->SetAttribute(u"id", u"x");
  second->SetAttribute(u"id", u"x");
  EXPECT_TRUE(TDOMBuilder(*doc).RegisterId(first->GetAttributeNode(u"id")));
  EXPECT_FALSE(TDOMBuilder(*doc).RegisterId(second->GetAttributeNode(u"id")));
  EXPECT_EQ(doc->GetElementById(u"x"), first);
  first->Free();
  EXPECT_EQ(doc->GetElementById(u"x"), nullptr);
}

TEST_F(AttributeTest, CloningWithinAndAcrossDocuments) {
  ExpectDOMError<EDOMNotSupported>([&] { doc->CloneNode(true); },
                                   "EDOMNotSupported in Cloning/importing of TXMLDocument is not supported", 9);
  TDOMDocumentType* type = doc->CreateDocumentType(u"t", u"", u"");
  ExpectDOMError<EDOMNotSupported>([&] { type->CloneNode(false); },
                                   "EDOMNotSupported in Cloning/importing of TDOMDocumentType is not supported", 9);

  Declare(u"e", u"dflt", DEFAULT_VALUE, u"d");
  TDOMElement* e = doc->CreateElement(u"e");
  e->SetAttribute(u"a", u"1");
  e->AppendChild(doc->CreateTextNode(u"text"));
  e->AppendChild(doc->CreateElement(u"child"))->AppendChild(doc->CreateComment(u"c"));

  auto* shallow = static_cast<TDOMElement*>(e->CloneNode(false));
  EXPECT_EQ(Names(shallow->Attributes()), u"a|dflt");
  EXPECT_FALSE(shallow->GetAttributeNode(u"dflt")->Specified());
  EXPECT_FALSE(shallow->HasChildNodes());
  EXPECT_EQ(shallow->NameItem(), e->NameItem());

  auto* deep = static_cast<TDOMElement*>(e->CloneNode(true));
  EXPECT_EQ(deep->TextContent(), u"text");
  EXPECT_EQ(deep->LastChild()->FirstChild()->NodeName(), u"#comment");
  EXPECT_EQ(deep->ParentNode(), nullptr);

  // Another document applies its own declared defaults, and only the
  // attributes given explicitly travel.
  TXMLDocument target;
  auto* imported = static_cast<TDOMElement*>(e->CloneNode(true, &target));
  EXPECT_EQ(imported->OwnerDocument(), &target);
  EXPECT_EQ(Names(imported->Attributes()), u"a");
  EXPECT_EQ(imported->TextContent(), u"text");
  target.AppendChild(imported);

  TDOMAttr* attrClone = static_cast<TDOMAttr*>(e->GetAttributeNode(u"a")->CloneNode(false));
  EXPECT_EQ(attrClone->NodeValue(), u"1");  // attributes always bring their value
}

TEST_F(AttributeTest, EntityReferencesReceiveReadOnlyCopiesOfTheEntity) {
  TDOMDocumentType* type = doc->CreateDocumentType(u"root", u"", u"");
  doc->AppendChild(type);
  TDOMEntity* entity = doc->CreateEntity(u"ent");
  entity->AppendChild(doc->CreateTextNode(u"expanded "));
  entity->AppendChild(doc->CreateElement(u"b"))->AppendChild(doc->CreateTextNode(u"bold"));
  type->Entities()->SetNamedItem(entity);

  TDOMEntityReference* reference = doc->CreateEntityReference(u"ent");
  EXPECT_EQ(reference->TextContent(), u"expanded bold");
  EXPECT_TRUE(reference->ReadOnly());
  EXPECT_TRUE(reference->LastChild()->FirstChild()->ReadOnly());
  ExpectDOMError<EDOMError>([&] { reference->AppendChild(doc->CreateTextNode(u"x")); },
                            "EDOMError in Node.CheckReadOnly", 7);
  EXPECT_FALSE(doc->CreateEntityReference(u"unknown")->HasChildNodes());

  TDOMNode* entityClone = entity->CloneNode(true);
  EXPECT_TRUE(entityClone->ReadOnly());
  EXPECT_EQ(entityClone->TextContent(), u"expanded bold");
}

}  // namespace
}  // namespace corvandel::xml
