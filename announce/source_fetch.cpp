#include "announce/source_fetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "announce/feed_reader.h"
#include "announce/gzip_reader.h"
#include "announce/sitemap_reader.h"
#include "announce/url_reference.h"
#include "engine/call_setup.h"
#include "engine/ping_texts.h"
#include "http/http_send.h"
#include "runtime/ascii_case.h"
#include "runtime/file_descriptor.h"

namespace corvandel::announce {

namespace {

constexpr std::string_view kContentEncodingHeader = "content-encoding:";
constexpr std::string_view kLocationHeader = "location:";
constexpr std::string_view kAcceptGzip = "Accept-Encoding: gzip";
constexpr int32_t kOKStatus = 200;
// Sitemaps and feeds share one bound on what is read, packed or not.
constexpr std::size_t kMaxSourceBytes = kMaxSitemapBytes;
static_assert(kMaxFeedBytes == kMaxSitemapBytes);

using runtime::TFileDescriptor;

std::string TooLarge() { return "it is larger than " + std::to_string(kMaxSourceBytes) + " bytes"; }

// The bytes of a local file, at most kMaxSourceBytes.
bool ReadFile(const std::string& path, std::string& bytes, std::string& error) {
  TFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) == 0 && S_ISDIR(info.st_mode)) {
    error = "it is a folder";
    return false;
  }
  bytes.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.Get(), buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      return false;
    }
    if (bytes.size() + static_cast<std::size_t>(got) > kMaxSourceBytes) {
      error = TooLarge();
      return false;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

bool IsRedirect(int32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Where a redirect from url leads, or false with the reason.
bool RedirectTarget(const std::string& url, const http::THTTPSend& http, std::string& target, std::string& error) {
  const std::string_view location = engine::HeaderValue(http, kLocationHeader);
  if (location.empty()) {
    error = "the server answered " + std::to_string(http.ResultCode()) + " without saying where to";
    return false;
  }
  const std::optional<std::string> resolved = ResolveReference(url, location);
  if (!resolved || !IsHTTPURL(*resolved)) {
    error = "the server redirects to \"" + std::string(location.substr(0, engine::kMaxLocationInReason)) +
            "\", which is not an http or https URL";
    return false;
  }
  if (runtime::StartsWithNoCase(url, "https://") && !runtime::StartsWithNoCase(*resolved, "https://")) {
    error = "the server redirects from https to " + *resolved + ", which would drop the encryption";
    return false;
  }
  target = *resolved;
  return true;
}

// The body of a 200 answer for url, after at most kMaxSourceRedirects
// redirects, with its content type.
bool Fetch(const std::string& url, const engine::TCallSettings& settings, std::size_t maxBytes, std::string& bytes,
           std::string& mimeType, bool& encodedGzip, std::string& error) {
  std::string current = url;
  std::set<std::string> visited{current};
  for (int redirects = 0;; ++redirects) {
    http::THTTPSend http;
    engine::PrepareClient(http, current, settings);
    http.SetMaxBodySize(static_cast<int32_t>(maxBytes));
    http.Headers().emplace_back(kAcceptGzip);
    const std::string via = current == url ? std::string() : " (redirected to " + current + ")";
    if (!http.ExecuteRequest("GET", current)) {
      error = http.Error().Describe() + via;
      return false;
    }
    if (IsRedirect(http.ResultCode())) {
      std::string target;
      if (!RedirectTarget(current, http, target, error)) return false;
      if (redirects == kMaxSourceRedirects) {
        error = "the server redirects more than " + std::to_string(kMaxSourceRedirects) + " times";
        return false;
      }
      if (!visited.insert(target).second) {
        error = "the server redirects in a loop, back to " + target;
        return false;
      }
      current = target;
      continue;
    }
    if (http.ResultCode() != kOKStatus) {
      error = "the server answered " + std::to_string(http.ResultCode()) + ": " + engine::StatusReason(http) + via;
      return false;
    }
    const std::string encoding = runtime::LowerCase(engine::HeaderValue(http, kContentEncodingHeader));
    encodedGzip = encoding == "gzip" || encoding == "x-gzip";
    if (!encoding.empty() && !encodedGzip && encoding != "identity") {
      error = "the answer is encoded as \"" + encoding + "\", which cannot be read";
      return false;
    }
    mimeType = runtime::LowerCase(http.MimeType());
    bytes.assign(http.Document().View());
    return true;
  }
}

// bytes unpacked when they are gzip, or said to be.
bool Unpack(std::string& bytes, bool encodedGzip, std::size_t maxBytes, std::string& error) {
  if (!encodedGzip && !LooksGzipped(bytes)) return true;
  if (!LooksGzipped(bytes)) {
    error = "the answer says it is gzip, but it is not";
    return false;
  }
  std::string unpacked;
  if (!Gunzip(bytes, maxBytes, unpacked, error)) return false;
  bytes = std::move(unpacked);
  return true;
}

// The bytes of a source, unpacked.
bool Load(const std::string& location, const engine::TCallSettings& settings, std::string& bytes,
          std::string& mimeType, std::string& error) {
  bool encodedGzip = false;
  mimeType.clear();
  if (IsSourceURL(location) ? !Fetch(location, settings, kMaxSourceBytes, bytes, mimeType, encodedGzip, error)
                            : !ReadFile(location, bytes, error))
    return false;
  return Unpack(bytes, encodedGzip, kMaxSourceBytes, error);
}

bool IsHTML(const std::string& mimeType) { return mimeType.rfind("text/html", 0) == 0; }

std::string Counted(std::size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

class TSourceReader {
public:
  TSourceReader(const engine::TCallSettings& settings, TSources& sources, std::vector<std::string>& notes)
      : settings_(settings), sources_(sources), notes_(notes) {}

  bool Read(const TSourceSpec& spec, std::string& error) {
    std::string reason;
    bool read = false;
    try {
      read = spec.Kind == TSourceKind::Sitemap ? ReadSitemapSource(spec, reason) : ReadFeedSource(spec, reason);
    } catch (...) {
      engine::DescribeCurrentException(reason);
      read = false;
    }
    if (!read) error = "cannot read " + SourceName(spec) + ": " + reason;
    return read;
  }

private:
  bool ReadSitemapSource(const TSourceSpec& spec, std::string& error) {
    TSitemap sitemap;
    if (!LoadSitemap(spec.Location, sitemap, error)) return false;
    if (sitemap.Kind == TSitemapKind::URLSet) {
      if (!AddPages(spec, sitemap)) error = PagesBoundError();
      return error.empty();
    }
    // An index: each sitemap it names, once; none of them may be an index.
    std::set<std::string> followed;
    for (const TSitemapEntry& child : sitemap.Entries) {
      if (child.Location == spec.Location) {
        error = "the sitemap index names itself";
        return false;
      }
      if (!followed.insert(child.Location).second) continue;
      TSitemap named;
      std::string reason;
      if (!LoadSitemap(child.Location, named, reason)) {
        error = "the sitemap " + child.Location + " it names: " + reason;
        return false;
      }
      if (named.Kind == TSitemapKind::Index) {
        error = "the sitemap " + child.Location + " it names is an index too; only one level is followed";
        return false;
      }
      if (!AddPages(TSourceSpec{TSourceKind::Sitemap, child.Location}, named)) {
        error = PagesBoundError();
        return false;
      }
    }
    return true;
  }

  bool LoadSitemap(const std::string& location, TSitemap& sitemap, std::string& error) {
    std::string bytes;
    std::string mimeType;
    if (!Load(location, settings_, bytes, mimeType, error)) return false;
    if (ReadSitemap(bytes, sitemap, error)) return true;
    if (IsHTML(mimeType)) error = "the answer is an HTML page (" + mimeType + "), not a sitemap";
    return false;
  }

  bool AddPages(const TSourceSpec& spec, const TSitemap& sitemap) {
    if (sources_.Pages.size() + sitemap.Entries.size() > kMaxSourcePages) return false;
    for (const TSitemapEntry& entry : sitemap.Entries) sources_.Pages.push_back({entry.Location, entry.LastModified});
    if (sitemap.UnreadableDates > 0)
      notes_.push_back(SourceName(spec) + ": " + Counted(sitemap.UnreadableDates, "date", "dates") +
                       " could not be read; those pages count as undated");
    return true;
  }

  bool ReadFeedSource(const TSourceSpec& spec, std::string& error) {
    std::string bytes;
    std::string mimeType;
    if (!Load(spec.Location, settings_, bytes, mimeType, error)) return false;
    const bool fetched = IsSourceURL(spec.Location);
    TFeed feed;
    if (!ReadFeed(bytes, fetched ? spec.Location : std::string(), feed, error)) {
      if (IsHTML(mimeType)) error = "the answer is an HTML page (" + mimeType + "), not a feed";
      return false;
    }
    if (sources_.Pages.size() + feed.Items.size() > kMaxSourcePages) {
      error = PagesBoundError();
      return false;
    }
    std::optional<TTime> newest = feed.Updated;
    for (const TFeedItem& item : feed.Items) {
      sources_.Pages.push_back({item.Link, item.Date});
      if (item.Date && (!newest || *item.Date > *newest)) newest = item.Date;
    }
    // A feed in a file has no address a hub could fetch: its items are
    // still pages.
    if (fetched) sources_.Feeds.push_back({spec.Location, newest});
    if (feed.UnreadableDates > 0)
      notes_.push_back(SourceName(spec) + ": " + Counted(feed.UnreadableDates, "date", "dates") +
                       " could not be read; those items count as undated");
    if (feed.ItemsWithoutLink > 0)
      notes_.push_back(SourceName(spec) + ": " + Counted(feed.ItemsWithoutLink, "item has", "items have") +
                       " no http or https link and " + (feed.ItemsWithoutLink == 1 ? "is" : "are") + " left out");
    return true;
  }

  static std::string PagesBoundError() {
    return "the sources list more than " + std::to_string(kMaxSourcePages) + " pages together";
  }

  const engine::TCallSettings& settings_;
  TSources& sources_;
  std::vector<std::string>& notes_;
};

}  // namespace

bool IsSourceURL(const std::string& location) {
  return runtime::StartsWithNoCase(location, "http://") || runtime::StartsWithNoCase(location, "https://");
}

std::string SourceName(const TSourceSpec& source) {
  const std::string kind = source.Kind == TSourceKind::Sitemap ? "sitemap" : "feed";
  return IsSourceURL(source.Location) ? "the " + kind + " " + source.Location
                                      : "the " + kind + " file \"" + source.Location + "\"";
}

bool FetchURL(const std::string& url, const engine::TCallSettings& settings, std::size_t maxBytes, std::string& bytes,
              std::string& error) {
  try {
    bool encodedGzip = false;
    std::string mimeType;
    return Fetch(url, settings, maxBytes, bytes, mimeType, encodedGzip, error) &&
           Unpack(bytes, encodedGzip, maxBytes, error);
  } catch (...) {
    engine::DescribeCurrentException(error);
    return false;
  }
}

bool ReadSources(const std::vector<TSourceSpec>& specs, const engine::TCallSettings& settings, TSources& sources,
                 std::vector<std::string>& notes, std::string& error) {
  TSourceReader reader(settings, sources, notes);
  for (const TSourceSpec& spec : specs)
    if (!reader.Read(spec, error)) return false;
  return true;
}

}  // namespace corvandel::announce
