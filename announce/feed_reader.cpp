#include "announce/feed_reader.h"

#include "announce/source_dates.h"
#include "announce/source_document.h"
#include "announce/url_reference.h"
#include "runtime/ascii_case.h"
#include "runtime/code_page.h"

namespace corvandel::announce {
namespace {

using detail::TStopReading;
using xml::TDOMElement;
using xml::TDOMNode;
using xml::TElementVerdict;

constexpr std::u16string_view kAtomNamespace = u"http://www.w3.org/2005/Atom";

std::string NotAFeed(std::string_view element) {
  return "not an RSS or Atom feed: the document element is <" + std::string(element) + ">";
}

// Elements by local name, in any namespace: feeds mix the RSS, Dublin
// Core and content modules freely, and prefixes are not bound here.
bool Named(const TDOMNode& node, std::u16string_view localName) { return detail::LocalName(node) == localName; }

class TFeedBuilder {
public:
  TFeedBuilder(TFeed& feed, std::string_view feedURL) : feed_(feed), feedURL_(feedURL) {}

  TElementVerdict OnElement(TDOMElement& element) {
    TDOMElement* root = element.Document()->DocumentElement();
    if (&element == root) {
      CheckRoot(element);
      return TElementVerdict::Keep;
    }
    CheckRoot(*root);
    TDOMNode* parent = element.ParentNode();
    if (format_ == TFeedFormat::Atom) {
      if (parent != root) return TElementVerdict::Keep;
      if (Named(element, u"entry")) AddAtomEntry(element);
      else if (Named(element, u"updated")) feed_.Updated = ReadW3C(element);
      // Feed-level <link>s and the rest are not needed once read.
      return TElementVerdict::Drop;
    }
    // RSS 2.0 and 0.9x have their items in the channel, RDF beside it.
    const bool inChannel = parent && parent != root && parent->ParentNode() == root && Named(*parent, u"channel");
    if (!inChannel && parent != root) return TElementVerdict::Keep;
    if (Named(element, u"item")) {
      AddRSSItem(element);
      return TElementVerdict::Drop;
    }
    if (inChannel && (Named(element, u"lastBuildDate") || Named(element, u"pubDate"))) {
      if (const std::optional<TTime> date = ReadRFC822(element)) {
        if (Named(element, u"lastBuildDate") || !channelBuildDate_) feed_.Updated = date;
        if (Named(element, u"lastBuildDate")) channelBuildDate_ = true;
      }
    }
    // The channel stays until its end; what it held is read by then.
    return Named(element, u"channel") && parent == root ? TElementVerdict::Keep : TElementVerdict::Drop;
  }

private:
  void CheckRoot(TDOMElement& root) {
    if (rootChecked_) return;
    const std::u16string_view name = detail::LocalName(root);
    if (name == u"rss" || name == u"RDF") {
      format_ = TFeedFormat::RSS;
    } else if (name == u"feed" && detail::NamespaceOf(root) == kAtomNamespace) {
      format_ = TFeedFormat::Atom;
    } else if (name == u"feed") {
      throw TStopReading{NotAFeed(runtime::UTF16ToSystem(root.NodeName())) + " outside the Atom namespace"};
    } else {
      throw TStopReading{NotAFeed(runtime::UTF16ToSystem(root.NodeName()))};
    }
    feed_.Format = format_;
    if (format_ == TFeedFormat::Atom) {
      // The feed's own base, under which every entry's resolves.
      feedBase_ = std::string(feedURL_);
      if (const std::optional<std::string> base = detail::Attribute(root, u"xml:base")) feedBase_ = Resolve(feedBase_, *base);
    }
    rootChecked_ = true;
  }

  void CountItem() {
    if (++items_ > kMaxFeedItems)
      throw TStopReading{"the feed lists more than " + std::to_string(kMaxFeedItems) +
                         " items, the most one feed may hold"};
  }

  static std::optional<TTime> ReadW3C(const TDOMElement& element) {
    return ParseW3CDateTime(detail::TrimmedText(element));
  }
  static std::optional<TTime> ReadRFC822(const TDOMElement& element) {
    const std::string text = detail::TrimmedText(element);
    // Some feeds write their RSS dates in the W3C form.
    std::optional<TTime> date = ParseRFC822DateTime(text);
    return date ? date : ParseW3CDateTime(text);
  }

  // An item whose dates could none be read counts once, and only when
  // the item itself is kept.
  void AddItem(std::optional<std::string> link, std::optional<TTime> date, bool unreadableDate) {
    if (!link || !IsHTTPURL(*link)) {
      ++feed_.ItemsWithoutLink;
      return;
    }
    if (unreadableDate) ++feed_.UnreadableDates;
    feed_.Items.push_back({std::move(*link), date});
  }

  void AddRSSItem(const TDOMElement& item) {
    CountItem();
    std::optional<std::string> link;
    if (const TDOMElement* element = detail::ChildNamed(item, u"link")) {
      const std::string text = detail::TrimmedText(*element);
      if (!text.empty()) link = Resolve(feedURL_, text);
    }
    if (!link || !IsHTTPURL(*link)) {
      if (const TDOMElement* guid = detail::ChildNamed(item, u"guid")) {
        const std::optional<std::string> permaLink = detail::Attribute(*guid, u"isPermaLink");
        const std::string text = detail::TrimmedText(*guid);
        if ((!permaLink || runtime::LowerCase(*permaLink) == "true") && IsHTTPURL(text)) link = text;
      }
    }
    std::optional<TTime> date;
    bool unreadable = false;
    const TDOMElement* pubDate = detail::ChildNamed(item, u"pubDate");
    if (pubDate) date = ReadRFC822(*pubDate);
    if (!date) {
      if (const TDOMElement* dcDate = detail::ChildNamed(item, u"date")) date = ReadW3C(*dcDate);
      unreadable = !date && (pubDate || detail::ChildNamed(item, u"date"));
    }
    AddItem(std::move(link), date, unreadable);
  }

  void AddAtomEntry(const TDOMElement& entry) {
    CountItem();
    std::string base = feedBase_;
    if (const std::optional<std::string> own = detail::Attribute(entry, u"xml:base")) base = Resolve(base, *own);
    const TDOMElement* chosen = nullptr;
    bool chosenIsHTML = false;
    for (TDOMNode* child = entry.FirstChild(); child; child = child->NextSibling()) {
      if (child->NodeType() != xml::ELEMENT_NODE || !Named(*child, u"link")) continue;
      const auto& link = static_cast<const TDOMElement&>(*child);
      const std::optional<std::string> rel = detail::Attribute(link, u"rel");
      if (rel && *rel != "alternate") continue;
      if (!link.HasAttribute(u"href")) continue;
      const std::optional<std::string> type = detail::Attribute(link, u"type");
      const bool html = type && runtime::LowerCase(*type) == "text/html";
      if (!chosen || (html && !chosenIsHTML)) {
        chosen = &link;
        chosenIsHTML = html;
      }
    }
    std::optional<std::string> href;
    if (chosen) {
      std::string linkBase = base;
      if (const std::optional<std::string> own = detail::Attribute(*chosen, u"xml:base")) linkBase = Resolve(base, *own);
      std::string text = *detail::Attribute(*chosen, u"href");
      href = Resolve(linkBase, Trim(text));
    }
    std::optional<TTime> date;
    const TDOMElement* updated = detail::ChildNamed(entry, u"updated");
    if (updated) date = ReadW3C(*updated);
    const TDOMElement* published = date ? nullptr : detail::ChildNamed(entry, u"published");
    if (published) date = ReadW3C(*published);
    AddItem(std::move(href), date, !date && (updated || published));
  }

  static std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' || text.front() == '\n'))
      text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
      text.remove_suffix(1);
    return text;
  }

  // A reference that cannot be resolved stays as written; it is then no
  // http(s) URL, unless it was one already.
  static std::string Resolve(std::string_view base, std::string_view reference) {
    std::optional<std::string> resolved = ResolveReference(base, reference);
    return resolved ? std::move(*resolved) : std::string(reference);
  }

  TFeed& feed_;
  std::string_view feedURL_;
  std::string feedBase_;
  TFeedFormat format_ = TFeedFormat::RSS;
  bool rootChecked_ = false;
  bool channelBuildDate_ = false;
  std::size_t items_ = 0;
};

}  // namespace

bool ReadFeed(std::string_view bytes, std::string_view feedURL, TFeed& feed, std::string& error) {
  feed = TFeed();
  error = "the feed could not be read";
  if (bytes.size() > kMaxFeedBytes) {
    error = "the feed is " + std::to_string(bytes.size()) + " bytes, more than the " + std::to_string(kMaxFeedBytes) +
            " bytes (50 MiB) one feed may hold";
    return false;
  }
  std::string_view start = bytes;
  if (start.starts_with("\xEF\xBB\xBF")) start.remove_prefix(3);
  while (!start.empty() && (start.front() == ' ' || start.front() == '\t' || start.front() == '\r' || start.front() == '\n'))
    start.remove_prefix(1);
  if (!start.empty() && start.front() != '<' && static_cast<unsigned char>(start.front()) < 0x80) {
    error = "not an RSS or Atom feed: the content is not XML (it starts with " + detail::Quoted(start.substr(0, 1)) + ")";
    return false;
  }
  const detail::TFirstMarkup first = detail::SniffFirstMarkup(bytes);
  if (first.Element) {
    const std::string_view local = detail::LocalName(*first.Element);
    if (local != "rss" && local != "RDF" && local != "feed") {
      error = NotAFeed(*first.Element);
      return false;
    }
  }
  if (first.Doctype) {
    error = detail::DoctypeRefusal("feed");
    return false;
  }
  TFeed read;
  TFeedBuilder builder(read, feedURL);
  if (!detail::ReadSourceXML(bytes, [&builder](TDOMElement& element) { return builder.OnElement(element); }, error))
    return false;
  feed = std::move(read);
  error.clear();
  return true;
}

}  // namespace corvandel::announce
