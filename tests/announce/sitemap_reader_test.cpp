#include <gtest/gtest.h>

#include <string>

#include "announce/sitemap_reader.h"
#include "tests/announce/source_data.h"

namespace corvandel::announce {
namespace {

using test_data::DataFile;
using test_data::Millis;

TEST(SitemapReaderTest, AURLSetWithExtensions) {
  TSitemap sitemap;
  std::string error;
  ASSERT_TRUE(ReadSitemap(DataFile("urlset_images.xml"), sitemap, error)) << error;
  EXPECT_EQ(sitemap.Kind, TSitemapKind::URLSet);
  const std::vector<TSitemapEntry> expected = {
      {"https://shop.example.com/", Millis(1709622930000)},
      {"https://shop.example.com/boots/hiking?colour=brown&size=44", Millis(1709164800000)},
      {"https://shop.example.com/caf%C3%A9", std::nullopt},
      {"http://shop.example.com/old", std::nullopt},
  };
  EXPECT_EQ(sitemap.Entries, expected);
  EXPECT_EQ(sitemap.UnreadableDates, 1u);
}

TEST(SitemapReaderTest, APrefixedIndex) {
  TSitemap sitemap;
  std::string error;
  ASSERT_TRUE(ReadSitemap(DataFile("index.xml"), sitemap, error)) << error;
  EXPECT_EQ(sitemap.Kind, TSitemapKind::Index);
  const std::vector<TSitemapEntry> expected = {
      {"https://www.example.org/sitemap-pages.xml.gz", Millis(1704067199999)},
      {"https://www.example.org/sitemap-posts.xml", std::nullopt},
  };
  EXPECT_EQ(sitemap.Entries, expected);
}

TEST(SitemapReaderTest, RefusalsNameTheirCause) {
  const std::string urlset = "<urlset xmlns='http://www.sitemaps.org/schemas/sitemap/0.9'>";
  std::string manyEntries = urlset;
  for (std::size_t i = 0; i <= kMaxSitemapEntries; ++i) manyEntries += "<url><loc>https://e.example/</loc></url>";
  manyEntries += "</urlset>";
  std::string laughs = "<?xml version='1.0'?><!DOCTYPE urlset [<!ENTITY a 'aaaaaaaaaa'>";
  for (char c = 'b'; c <= 'j'; ++c)
    laughs += std::string("<!ENTITY ") + c + " '" + std::string(10, '&') + "'>";
  laughs += "]><urlset><url><loc>&j;</loc></url></urlset>";
  struct TCase {
    std::string Bytes;
    std::string Reason;  // the start of the reason
  };
  const TCase cases[] = {
      {"<!DOCTYPE html><html><body>Not found</body></html>", "not a sitemap: the document element is <html>"},
      {"<?xml version='1.0'?>\n<!-- x --><rss version='2.0'><channel/></rss>",
       "not a sitemap: the document element is <rss>"},
      {laughs, "the sitemap has a document type declaration, which none needs and which is refused"},
      {"<!DOCTYPE urlset SYSTEM 'file:///etc/passwd'><urlset/>", "the sitemap has a document type declaration"},
      {"<urlset xmlns='http://example.com/other'/>",
       "not a sitemap: the document element is <urlset> in the namespace \"http://example.com/other\""},
      {urlset + "<url><loc>https://a.example/</loc></url><url><lastmod>2024</lastmod></url></urlset>",
       "entry 2 (<url>) has no <loc>"},
      {urlset + "<url><loc> </loc></url></urlset>", "entry 1 (<url>) has an empty <loc>"},
      {urlset + "<url><loc>/relative/page</loc></url></urlset>",
       "entry 1 (<url>) has a <loc> that is not an absolute http or https URL: \"/relative/page\""},
      {urlset + "<url><loc>ftp://files.example/x</loc></url></urlset>",
       "entry 1 (<url>) has a <loc> that is not an absolute http or https URL: \"ftp://files.example/x\""},
      {urlset + "<url><loc>https://a.example/" + std::string(300, 'p') + " x</loc></url></urlset>",
       "entry 1 (<url>) has a <loc> that is not an absolute http or https URL: \"https://a.example/ppp"},
      {urlset + "<url><loc>https://a.example/</loc></url>", "In 'source' (line 1 pos "},
      {manyEntries, "the sitemap lists more than 50000 entries, the most one sitemap may hold"},
      {std::string(kMaxSitemapBytes + 1, ' '), "the sitemap is 52428801 bytes, more than the 52428800 bytes"},
  };
  for (const TCase& c : cases) {
    TSitemap sitemap;
    std::string error;
    EXPECT_FALSE(ReadSitemap(c.Bytes, sitemap, error)) << c.Reason;
    EXPECT_EQ(error.substr(0, c.Reason.size()), c.Reason);
    EXPECT_LT(error.size(), 400u) << error;
    EXPECT_TRUE(sitemap.Entries.empty());
  }
}

}  // namespace
}  // namespace corvandel::announce
