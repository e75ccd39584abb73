#pragma once

// The one place that reads a run's sources: sitemaps and feeds, from a URL
// or a local file. URLs are fetched with the same client, limits, proxies,
// trust and read time-out as the calls; gzip is read from a .gz file, a
// gzip body or a Content-Encoding: gzip answer. A sitemap index is followed
// one level down, and a source behind redirects (301, 302, 303, 307, 308)
// is followed up to kMaxSourceRedirects of them, never in a loop and never
// from https to http. Every failure names the source and says why, and the
// first one ends the reading: a run never announces from half its sources.

#include <cstddef>
#include <string>
#include <vector>

#include "announce/plan.h"
#include "engine/ping_service.h"

namespace corvandel::announce {

enum class TSourceKind { Sitemap, Feed };

struct TSourceSpec {
  TSourceKind Kind = TSourceKind::Sitemap;
  std::string Location;  // an http or https URL (any case), or a file
};

// The most page URLs all sources of one run may list together: a sitemap
// index may name 50,000 sitemaps of 50,000 URLs each, far beyond what one
// run can hold in memory or announce.
inline constexpr std::size_t kMaxSourcePages = 1000000;

// Sites move (http to https, www to the bare host) and leave redirects
// behind; a chain longer than this is a misconfiguration.
inline constexpr int kMaxSourceRedirects = 10;

// Whether a source location is fetched rather than read from a file.
bool IsSourceURL(const std::string& location);

// How a source is named in messages: "the sitemap https://..." or "the feed
// file ./feed.xml".
std::string SourceName(const TSourceSpec& source);

// Reads every source in order into sources.Pages and sources.Feeds, with
// the calls' settings; what deserves a word without stopping the run
// (undated entries, items without a link) goes to notes. False with error
// set at the first failure.
bool ReadSources(const std::vector<TSourceSpec>& specs, const engine::TCallSettings& settings, TSources& sources,
                 std::vector<std::string>& notes, std::string& error);

// The body of a 200 answer for url, as a source is fetched: through
// redirects, asking for gzip and unpacked, at most maxBytes before and after
// unpacking. False with the reason in error; never raises.
bool FetchURL(const std::string& url, const engine::TCallSettings& settings, std::size_t maxBytes, std::string& bytes,
              std::string& error);

}  // namespace corvandel::announce
