#include "announce/sitemap_reader.h"

#include "announce/source_dates.h"
#include "announce/source_document.h"
#include "announce/url_reference.h"
#include "runtime/code_page.h"

namespace corvandel::announce {
namespace {

using detail::TStopReading;
using xml::TDOMElement;
using xml::TElementVerdict;

// The namespaces a sitemap may be in: the protocol's, and the one its
// first version had, which old generators still write.
bool IsSitemapNamespace(std::u16string_view uri) {
  return uri.empty() || uri == u"http://www.sitemaps.org/schemas/sitemap/0.9" ||
         uri == u"https://www.sitemaps.org/schemas/sitemap/0.9" ||
         uri == u"http://www.google.com/schemas/sitemap/0.84";
}

std::string NotASitemap(std::string_view element) {
  return "not a sitemap: the document element is <" + std::string(element) + ">";
}

class TSitemapBuilder {
public:
  explicit TSitemapBuilder(TSitemap& sitemap) : sitemap_(sitemap) {}

  TElementVerdict OnElement(TDOMElement& element) {
    TDOMElement* root = element.Document()->DocumentElement();
    if (&element == root) {
      CheckRoot(element);
      return TElementVerdict::Keep;
    }
    if (element.ParentNode() != root) return TElementVerdict::Keep;
    // The first entry to end settles the root before its entries count.
    CheckRoot(*root);
    if (detail::LocalName(element) == entryName_) AddEntry(element);
    return TElementVerdict::Drop;
  }

private:
  void CheckRoot(TDOMElement& root) {
    if (rootChecked_) return;
    const std::u16string_view name = detail::LocalName(root);
    if (name == u"urlset") {
      sitemap_.Kind = TSitemapKind::URLSet;
      entryName_ = u"url";
    } else if (name == u"sitemapindex") {
      sitemap_.Kind = TSitemapKind::Index;
      entryName_ = u"sitemap";
    } else {
      throw TStopReading{NotASitemap(runtime::UTF16ToSystem(root.NodeName()))};
    }
    const std::u16string uri = detail::NamespaceOf(root);
    if (!IsSitemapNamespace(uri))
      throw TStopReading{NotASitemap(runtime::UTF16ToSystem(root.NodeName())) + " in the namespace " +
                         detail::Quoted(runtime::UTF16ToSystem(uri))};
    rootChecked_ = true;
  }

  void AddEntry(TDOMElement& element) {
    const std::size_t number = sitemap_.Entries.size() + 1;
    const std::string entry = "entry " + std::to_string(number) + " (<" + runtime::UTF16ToSystem(entryName_) + ">)";
    if (number > kMaxSitemapEntries)
      throw TStopReading{"the sitemap lists more than " + std::to_string(kMaxSitemapEntries) +
                         " entries, the most one sitemap may hold"};
    const TDOMElement* loc = detail::ChildNamed(element, u"loc");
    if (!loc) throw TStopReading{entry + " has no <loc>"};
    std::string location = detail::TrimmedText(*loc);
    if (location.empty()) throw TStopReading{entry + " has an empty <loc>"};
    if (!IsHTTPURL(location))
      throw TStopReading{entry + " has a <loc> that is not an absolute http or https URL: " +
                         detail::Quoted(location)};
    TSitemapEntry read{std::move(location), std::nullopt};
    if (const TDOMElement* lastmod = detail::ChildNamed(element, u"lastmod")) {
      read.LastModified = ParseW3CDateTime(detail::TrimmedText(*lastmod));
      if (!read.LastModified) ++sitemap_.UnreadableDates;
    }
    sitemap_.Entries.push_back(std::move(read));
  }

  TSitemap& sitemap_;
  bool rootChecked_ = false;
  std::u16string_view entryName_;
};

}  // namespace

bool ReadSitemap(std::string_view bytes, TSitemap& sitemap, std::string& error) {
  sitemap = TSitemap();
  error = "the sitemap could not be read";
  if (bytes.size() > kMaxSitemapBytes) {
    error = "the sitemap is " + std::to_string(bytes.size()) + " bytes, more than the " +
            std::to_string(kMaxSitemapBytes) + " bytes (50 MiB) one sitemap may hold";
    return false;
  }
  // A page of another kind is named as such before its markup is read,
  // which an HTML page would often fail.
  const detail::TFirstMarkup first = detail::SniffFirstMarkup(bytes);
  if (first.Element) {
    const std::string_view local = detail::LocalName(*first.Element);
    if (local != "urlset" && local != "sitemapindex") {
      error = NotASitemap(*first.Element);
      return false;
    }
  }
  if (first.Doctype) {
    error = detail::DoctypeRefusal("sitemap");
    return false;
  }
  TSitemap read;
  TSitemapBuilder builder(read);
  // The root ends last, so every document, an empty one too, has its
  // root checked.
  if (!detail::ReadSourceXML(bytes, [&builder](TDOMElement& element) { return builder.OnElement(element); }, error))
    return false;
  sitemap = std::move(read);
  error.clear();
  return true;
}

}  // namespace corvandel::announce
