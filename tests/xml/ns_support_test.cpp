#include "xml/ns_support.h"

#include <gtest/gtest.h>

#include <string>

namespace corvandel::xml {
namespace {

const DOMString kXmlNamespace = u"http://www.w3.org/XML/1998/namespace";

DOMString Urn(int i) {
  DOMString uri = u"urn:";
  for (char c : std::to_string(i)) uri += static_cast<DOMChar>(c);
  return uri;
}

TEST(NSSupportTest, StartsWithOnlyTheXmlPrefixBound) {
  TNSSupport ns;
  TPrefixItem* item = nullptr;
  ASSERT_TRUE(ns.IsPrefixBound(u"xml", 3, item));
  EXPECT_EQ(item->Data->URI, kXmlNamespace);
  EXPECT_EQ(item->Data->Prefix(), u"xml");
  EXPECT_FALSE(ns.IsPrefixBound(u"p", 1, item));
  EXPECT_EQ(item, ns.GetPrefixItem(u"p"));
  EXPECT_EQ(item->Key, u"p");
  EXPECT_FALSE(ns.IsPrefixBound(u"xmlns"));
  EXPECT_EQ(ns.DefaultNamespace(), nullptr);
}

TEST(NSSupportTest, BindingsLastUntilTheirScopeEnds) {
  TNSSupport ns;
  ns.StartElement();
  TBinding* outer = ns.DefineBinding(u"p", u"urn:a");
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ(ns.DefineBinding(u"p", u"urn:a"), nullptr);
  TBinding* def = ns.DefineBinding(u"", u"urn:d");
  ASSERT_NE(def, nullptr);
  EXPECT_EQ(def->Prefix(), u"");
  EXPECT_EQ(ns.DefaultNamespace(), def);

  ns.StartElement();
  EXPECT_EQ(ns.DefineBinding(u"p", u"urn:a"), nullptr);
  EXPECT_NE(ns.DefineBinding(u"p", u"urn:b"), nullptr);
  // An empty URI undeclares the default namespace, whatever the prefix.
  TBinding* undeclared = ns.DefineBinding(u"q", u"");
  ASSERT_NE(undeclared, nullptr);
  EXPECT_EQ(ns.DefaultNamespace(), undeclared);
  EXPECT_EQ(ns.GetPrefixItem(u"p")->Data->URI, u"urn:b");

  ns.EndElement();
  EXPECT_EQ(ns.GetPrefixItem(u"p")->Data, outer);
  EXPECT_EQ(ns.DefaultNamespace(), def);
  ns.EndElement();
  EXPECT_FALSE(ns.IsPrefixBound(u"p"));
  EXPECT_EQ(ns.DefaultNamespace(), nullptr);
}

TEST(NSSupportTest, DeepNestingAndUnmatchedEndElement) {
  TNSSupport ns;
  const int depth = 100;
  for (int level = 1; level <= depth; ++level) {
    ns.StartElement();
    ASSERT_NE(ns.DefineBinding(u"p", Urn(level)), nullptr);
  }
  for (int level = depth; level >= 1; --level) {
    ASSERT_EQ(ns.GetPrefixItem(u"p")->Data->URI, Urn(level));
    ns.EndElement();
  }
  EXPECT_EQ(ns.Level(), 0u);
  ns.EndElement();
  EXPECT_EQ(ns.Level(), 0u);
  EXPECT_TRUE(ns.IsPrefixBound(u"xml"));
}

struct TAttributeCase {
  DOMString Prefix;
  DOMString URI;
  int Result;
  DOMString BoundPrefix;  // of the returned binding, for results 1 and 2
};

void ExpectCheckAttribute(TNSSupport& ns, const TAttributeCase& c) {
  SCOPED_TRACE(testing::Message() << "expecting result " << c.Result << " for URI of " << c.URI.size() << " units");
  TBinding* binding = nullptr;
  EXPECT_EQ(ns.CheckAttribute(c.Prefix, c.URI, binding), c.Result);
  if (c.Result == TNSSupport::kNothingNeeded) {
    EXPECT_EQ(binding, nullptr);
    return;
  }
  ASSERT_NE(binding, nullptr);
  EXPECT_EQ(binding->Prefix(), c.BoundPrefix);
  EXPECT_EQ(binding->URI, c.URI);
  EXPECT_EQ(ns.GetPrefixItem(c.BoundPrefix)->Data, binding);
}

TEST(NSSupportTest, CheckAttributeInOneWriter) {
  TNSSupport ns;
  ns.StartElement();
  ns.DefineBinding(u"p", u"urn:p");
  ns.DefineBinding(u"", u"urn:default");
  const TAttributeCase cases[] = {
      {u"", u"", 0, u""},
      {u"p", u"urn:p", 0, u""},
      {u"xml", kXmlNamespace, 0, u""},
      {u"", kXmlNamespace, 1, u"xml"},
      {u"q", u"urn:p", 1, u"p"},
      {u"", u"urn:one", 2, u"NS1"},
      {u"", u"urn:two", 2, u"NS2"},
      {u"", u"urn:one", 1, u"NS1"},
      {u"own", u"urn:own", 2, u"own"},
      {u"p", u"urn:other", 2, u"NS3"},
      {u"", u"urn:default", 2, u"NS4"},  // the default namespace cannot qualify an attribute
  };
  for (const TAttributeCase& c : cases) ExpectCheckAttribute(ns, c);

  ns.StartElement();
  ExpectCheckAttribute(ns, {u"b", u"urn:own", 1, u"own"});
  ns.EndElement();
  ns.EndElement();
  ns.StartElement();
  ExpectCheckAttribute(ns, {u"", u"urn:own", 2, u"NS5"});
}

TEST(NSSupportTest, GeneratedPrefixesSkipBoundOnes) {
  TNSSupport ns;
  ns.StartElement();
  ns.DefineBinding(u"NS1", u"urn:taken1");
  ns.DefineBinding(u"NS2", u"urn:taken2");
  ExpectCheckAttribute(ns, {u"", u"urn:new", 2, u"NS3"});
  ExpectCheckAttribute(ns, {u"NS3", u"urn:newer", 2, u"NS4"});
}

// A prefix rebound in an inner scope no longer stands for its outer URI;
// writing the attribute with it would put it in the wrong namespace.
TEST(NSSupportTest, CheckAttributeIgnoresOverriddenBindings) {
  TNSSupport ns;
  ns.StartElement();
  ns.DefineBinding(u"p", u"urn:outer");
  ns.StartElement();
  ns.DefineBinding(u"p", u"urn:inner");
  ExpectCheckAttribute(ns, {u"", u"urn:outer", 2, u"NS1"});
  ExpectCheckAttribute(ns, {u"", u"urn:inner", 1, u"p"});
}

}  // namespace
}  // namespace corvandel::xml
