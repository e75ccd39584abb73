#pragma once

// Sitemaps (sitemaps.org): a urlset of pages or a sitemapindex of further
// sitemaps, each entry a location with an optional last-modified date. The
// reader takes the bytes of one uncompressed file and gives its entries in
// document order; it does no I/O.
//
// A file is refused whole, with a reason that names what is wrong, when it
// is not well-formed XML (the reason carries line and column), carries a
// document type declaration, has another document element, has an entry
// without a location or with one that is not an absolute http(s) URL, or
// passes the protocol's bounds. Entries keep their location as written,
// blanks trimmed; a date that cannot be read leaves its entry undated and is
// counted. Other elements (changefreq, priority, the image, video and news
// extensions) are ignored.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/ledger.h"

namespace corvandel::announce {

using ledger::TTime;

// The sitemaps.org bounds on one file, which are also the bounds on what is read.
inline constexpr std::size_t kMaxSitemapEntries = 50000;
inline constexpr std::size_t kMaxSitemapBytes = 52428800;  // 50 MiB uncompressed

enum class TSitemapKind { URLSet, Index };

struct TSitemapEntry {
  std::string Location;
  std::optional<TTime> LastModified;

  bool operator==(const TSitemapEntry&) const = default;
};

struct TSitemap {
  TSitemapKind Kind = TSitemapKind::URLSet;
  std::vector<TSitemapEntry> Entries;
  std::size_t UnreadableDates = 0;
};

// Reads an uncompressed sitemap; false with a reason in error that says what is wrong.
bool ReadSitemap(std::string_view bytes, TSitemap& sitemap, std::string& error);

}  // namespace corvandel::announce
