// Feeds arbitrary bytes to the sitemap reader as a fetched sitemap would
// reach it: inflated first when it looks gzipped, under a small bound.
// Any outcome but a sitemap or a refusal with a reason is a fault.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "announce/gzip_reader.h"
#include "announce/sitemap_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace corvandel::announce;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string inflated, error;
  if (LooksGzipped(bytes)) {
    if (!Gunzip(bytes, 1u << 20, inflated, error)) {
      if (error.empty()) std::abort();
      return 0;
    }
    bytes = inflated;
  }
  TSitemap sitemap;
  const bool ok = ReadSitemap(bytes, sitemap, error);
  if (ok != error.empty()) std::abort();
  if (!ok && !sitemap.Entries.empty()) std::abort();
  if (sitemap.Entries.size() > kMaxSitemapEntries) std::abort();
  return 0;
}
