#include <gtest/gtest.h>

#include <string>

#include "announce/feed_reader.h"
#include "announce/url_reference.h"
#include "tests/announce/source_data.h"

namespace corvandel::announce {
namespace {

using test_data::DataFile;
using test_data::Millis;

TEST(FeedReaderTest, AnRSS2Feed) {
  TFeed feed;
  std::string error;
  ASSERT_TRUE(ReadFeed(DataFile("rss2.xml"), "https://blog.example.net/feed/", feed, error)) << error;
  EXPECT_EQ(feed.Format, TFeedFormat::RSS);
  EXPECT_EQ(feed.Updated, Millis(1709631000000));  // lastBuildDate over pubDate
  const std::vector<TFeedItem> expected = {
      {"https://blog.example.net/2024/03/chisels", Millis(1709622000000)},
      {"https://blog.example.net/2024/02/glue", Millis(1708430400000)},
      {"https://blog.example.net/2024/01/relative", std::nullopt},
  };
  EXPECT_EQ(feed.Items, expected);
  EXPECT_EQ(feed.ItemsWithoutLink, 1u);
  EXPECT_EQ(feed.UnreadableDates, 1u);
}

TEST(FeedReaderTest, AnAtomFeedWithRelativeLinksAndBases) {
  TFeed feed;
  std::string error;
  ASSERT_TRUE(ReadFeed(DataFile("atom_relative.xml"), "https://elsewhere.example/feed.atom", feed, error)) << error;
  EXPECT_EQ(feed.Format, TFeedFormat::Atom);
  EXPECT_EQ(feed.Updated, Millis(1709640000000));
  const std::vector<TFeedItem> expected = {
      {"https://news.example.com/en/stories/1?ref=feed", Millis(1709636400500)},
      {"https://news.example.com/archive/2023/2.html", Millis(1698814800000)},
  };
  EXPECT_EQ(feed.Items, expected);
  EXPECT_EQ(feed.ItemsWithoutLink, 1u);

  // Without a base of its own, a relative link resolves against the feed's URL.
  const std::string plain = "<feed xmlns='http://www.w3.org/2005/Atom'><entry><link href=' a/b '/></entry>"
                            "<entry><link href='https://x.example/same'/></entry>"
                            "<entry><link href='https://x.example/same'/></entry></feed>";
  ASSERT_TRUE(ReadFeed(plain, "http://host.example/dir/feed.xml", feed, error)) << error;
  ASSERT_EQ(feed.Items.size(), 3u);
  EXPECT_EQ(feed.Items[0].Link, "http://host.example/dir/a/b");
  EXPECT_EQ(feed.Items[2].Link, "https://x.example/same");
  // A local file gives no base: its relative links are unusable.
  ASSERT_TRUE(ReadFeed(plain, "", feed, error)) << error;
  EXPECT_EQ(feed.Items.size(), 2u);
  EXPECT_EQ(feed.ItemsWithoutLink, 1u);
}

TEST(FeedReaderTest, RefusalsNameTheirCause) {
  std::string manyItems = "<rss><channel>";
  for (std::size_t i = 0; i <= kMaxFeedItems; ++i) manyItems += "<item/>";
  manyItems += "</channel></rss>";
  struct TCase {
    std::string Bytes;
    std::string Reason;
  };
  const TCase cases[] = {
      {"<!DOCTYPE html><html><head></head></html>", "not an RSS or Atom feed: the document element is <html>"},
      {"<urlset xmlns='http://www.sitemaps.org/schemas/sitemap/0.9'/>",
       "not an RSS or Atom feed: the document element is <urlset>"},
      {"  {\"version\": \"https://jsonfeed.org/version/1\"}",
       "not an RSS or Atom feed: the content is not XML (it starts with \"{\")"},
      {"<feed><entry/></feed>", "not an RSS or Atom feed: the document element is <feed> outside the Atom namespace"},
      {"<!DOCTYPE rss [<!ENTITY a 'aaaa'><!ENTITY b '&a;&a;&a;&a;'>]><rss><channel>&b;</channel></rss>",
       "the feed has a document type declaration"},
      {"<rss><channel><item></channel></rss>", "In 'source' (line 1 pos "},
      {manyItems, "the feed lists more than 50000 items, the most one feed may hold"},
      {std::string(kMaxFeedBytes + 1, ' '), "the feed is 52428801 bytes, more than the 52428800 bytes"},
  };
  for (const TCase& c : cases) {
    TFeed feed;
    std::string error;
    EXPECT_FALSE(ReadFeed(c.Bytes, "https://a.example/feed", feed, error)) << c.Reason;
    EXPECT_EQ(error.substr(0, c.Reason.size()), c.Reason);
    EXPECT_TRUE(feed.Items.empty());
  }
}

TEST(UrlReferenceTest, ResolvesAsRFC3986Says) {
  // The normal and abnormal examples of RFC 3986 5.4 that http bases meet.
  const char* base = "http://a/b/c/d;p?q";
  const std::pair<const char*, const char*> cases[] = {
      {"g", "http://a/b/c/g"},        {"./g", "http://a/b/c/g"},       {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},           {"//g", "http://g"},             {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},    {"#s", "http://a/b/c/d;p?q#s"},  {"g#s", "http://a/b/c/g#s"},
      {"", "http://a/b/c/d;p?q"},     {".", "http://a/b/c/"},          {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},          {"../g", "http://a/b/g"},        {"../..", "http://a/"},
      {"../../g", "http://a/g"},      {"../../../g", "http://a/g"},    {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},        {"g.", "http://a/b/c/g."},       {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},     {"g/./h", "http://a/b/c/g/h"},   {"g/../h", "http://a/b/c/h"},
      {"g;x=1/../y", "http://a/b/c/y"}, {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"https://o.example/x/../y", "https://o.example/y"},
  };
  for (const auto& [reference, target] : cases) EXPECT_EQ(ResolveReference(base, reference), target) << reference;
  EXPECT_EQ(ResolveReference("", "g"), std::nullopt);
  EXPECT_EQ(ResolveReference("file:///feeds/a.xml", "g"), std::nullopt);
  EXPECT_TRUE(IsHTTPURL("HTTPS://a.example"));
  EXPECT_FALSE(IsHTTPURL("http:///path"));
  EXPECT_FALSE(IsHTTPURL("http://a.example/with space"));
  EXPECT_FALSE(IsHTTPURL("mailto:a@example.com"));
}

}  // namespace
}  // namespace corvandel::announce
