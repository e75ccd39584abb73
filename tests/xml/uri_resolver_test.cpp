#include "xml/detail/uri_resolver.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/code_page.h"

namespace corvandel::xml {
namespace {

std::string Resolved(const std::u16string& reference, const std::u16string& base = u"http://a/b/c/d;p?q") {
  TUri uri;
  if (!ResolveUri(reference, base, uri)) return "(none)";
  return runtime::UTF16ToSystem(ComposeUri(uri));
}

// The reference resolution examples of RFC 3986, section 5.4.
TEST(UriResolverTest, ReferencesResolveAsTheRfcShows) {
  const struct {
    std::u16string reference;
    std::string resolved;
  } cases[] = {
      {u"g:h", "g:h"},           {u"g", "http://a/b/c/g"},        {u"./g", "http://a/b/c/g"},
      {u"g/", "http://a/b/c/g/"}, {u"/g", "http://a/g"},           {u"//g", "http://g"},
      {u"?y", "http://a/b/c/d;p?y"}, {u"g?y", "http://a/b/c/g?y"}, {u"#s", "http://a/b/c/d;p?q"},
      {u"", "http://a/b/c/d;p?q"}, {u".", "http://a/b/c/"},         {u"..", "http://a/b/"},
      {u"../g", "http://a/b/g"},   {u"../..", "http://a/"},          {u"../../../g", "http://a/g"},
      {u"/./g", "http://a/g"},     {u"g.", "http://a/b/c/g."},       {u"./../g", "http://a/b/g"},
      {u"g;x=1/../y", "http://a/b/c/y"},
  };
  for (const auto& c : cases) EXPECT_EQ(Resolved(c.reference), c.resolved) << c.resolved;
  // Without a scheme on either side there is nothing to resolve against.
  EXPECT_EQ(Resolved(u"g", u"b/c"), "(none)");
  EXPECT_EQ(Resolved(u"entity.dtd", u"file:///srv/dtd/doc.xml"), "file:///srv/dtd/entity.dtd");
}

TEST(UriResolverTest, OnlyFileUrisOfThisHostNameLocalFiles) {
  const struct {
    std::u16string uri;
    std::string file;
  } cases[] = {
      {u"file:///tmp/a%20b.dtd", "/tmp/a b.dtd"}, {u"file://localhost/x", "/x"}, {u"FILE://LocalHost/x", "/x"},
      {u"file://other/x", ""},                     {u"file:///x?q", ""},          {u"file:///a%00b", ""},
      {u"file:///a%zz", ""},                       {u"http://a/x", ""},           {u"file:relative", ""},
  };
  for (const auto& c : cases) {
    TUri uri;
    ASSERT_TRUE(ResolveUri(c.uri, u"file:///", uri));
    EXPECT_EQ(LocalFileName(uri), c.file) << c.file;
  }
}

}  // namespace
}  // namespace corvandel::xml
