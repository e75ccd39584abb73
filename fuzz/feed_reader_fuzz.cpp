// Feeds arbitrary bytes to the feed reader, with a base URL for relative
// links. Any outcome but a feed whose links are all http(s) URLs, or a
// refusal with a reason, is a fault.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "announce/feed_reader.h"
#include "announce/url_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace corvandel::announce;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  TFeed feed;
  std::string error;
  const bool ok = ReadFeed(bytes, "https://feeds.example/a/b/feed.xml?x=1", feed, error);
  if (ok != error.empty()) std::abort();
  for (const TFeedItem& item : feed.Items)
    if (!IsHTTPURL(item.Link)) std::abort();
  return 0;
}
