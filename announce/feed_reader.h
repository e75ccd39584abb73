#pragma once

// News feeds as sources of pages: RSS (2.0, and 0.91/0.92 and RDF-based
// 1.0, read alike) and Atom 1.0. The reader takes the bytes of one feed and
// gives, in document order, each item's link and date, and the feed's own
// date; it does no I/O.
//
// RSS: an item's link is its <link>, else its <guid> when that is a
// permalink (isPermaLink absent or "true") and an http(s) URL; its date is
// <pubDate>, else <dc:date>. The channel's date is <lastBuildDate>, else
// its <pubDate>. Atom: an entry's link is its first <link> whose rel is
// absent or "alternate", the first of type text/html among several; its
// href is resolved against the xml:base in scope, and the feed's URL under
// that; its date is <updated>, else <published>. The feed's date is its
// <updated>.
//
// Items without a usable http(s) link are skipped and counted; a date that
// cannot be read leaves its item undated and is counted. Duplicate links
// are kept as listed. A file is refused whole, with a reason, when it is not
// well-formed XML, carries a document type declaration, is neither kind of
// feed, or passes the bounds below.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/ledger.h"

namespace corvandel::announce {

using ledger::TTime;

enum class TFeedFormat { RSS, Atom };

struct TFeedItem {
  std::string Link;
  std::optional<TTime> Date;

  bool operator==(const TFeedItem&) const = default;
};

struct TFeed {
  TFeedFormat Format = TFeedFormat::RSS;
  std::optional<TTime> Updated;
  std::vector<TFeedItem> Items;
  std::size_t UnreadableDates = 0;
  std::size_t ItemsWithoutLink = 0;
};

// The bounds of a sitemap serve feeds too: no real feed comes near them,
// and a source of either kind then costs the same at most.
inline constexpr std::size_t kMaxFeedItems = 50000;
inline constexpr std::size_t kMaxFeedBytes = 52428800;

// feedURL: where the feed came from, the base for relative links (may be empty for a local file).
bool ReadFeed(std::string_view bytes, std::string_view feedURL, TFeed& feed, std::string& error);

}  // namespace corvandel::announce
