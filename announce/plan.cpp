#include "announce/plan.h"

#include <algorithm>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "announce/site_origin.h"
#include "engine/announce_call.h"
#include "engine/ping_thread.h"

namespace corvandel::announce {

namespace {

using engine::TServiceKind;

// URLs in the order the sources first name them, each once, with the latest
// date any source gives it.
std::vector<TDatedURL> Deduplicated(const std::vector<TDatedURL>& listed) {
  std::vector<TDatedURL> unique;
  std::unordered_map<std::string_view, std::size_t> seen;
  seen.reserve(listed.size());
  unique.reserve(listed.size());
  for (const TDatedURL& entry : listed) {
    const auto [at, added] = seen.try_emplace(entry.URL, unique.size());
    if (added) {
      unique.push_back(entry);
      continue;
    }
    std::optional<TTime>& date = unique[at->second].Date;
    if (entry.Date && (!date || *entry.Date > *date)) date = entry.Date;
  }
  return unique;
}

// Whether the line announced the URL recently enough that MinInterval
// leaves it out.
bool TooSoon(const std::optional<ledger::TAnnouncement>& last, const TPlanOptions& options) {
  return options.MinInterval && last && options.Now - last->AnnouncedAt < *options.MinInterval;
}

bool Changed(const TDatedURL& url, const std::optional<ledger::TAnnouncement>& last, const TPlanOptions& options) {
  if (TooSoon(last, options)) return false;
  if (options.All || !last) return true;
  if (!url.Date) return false;
  return *url.Date > (last->Dated ? *last->Dated : last->AnnouncedAt);
}

// The calls of one plan, kept in groups by what they announce.
class TPlanBuilder {
public:
  // Each site list entry is a group of its own, duplicates included, as a
  // site list has always been pinged.
  std::size_t NewGroup() {
    groups_.emplace_back();
    return groups_.size() - 1;
  }
  // The group of a source-named target, made at its first mention.
  std::size_t GroupOf(const std::string& site) {
    const auto [at, added] = named_.try_emplace(site, groups_.size());
    if (added) groups_.emplace_back();
    return at->second;
  }
  void Add(std::size_t group, TPlannedCall call) { groups_[group].push_back(std::move(call)); }
  // The call of a line already in group for site, if any.
  TPlannedCall* Find(std::size_t group, std::size_t service) {
    for (TPlannedCall& call : groups_[group])
      if (call.Service == service) return &call;
    return nullptr;
  }

  std::vector<TPlannedCall> Calls() {
    std::vector<TPlannedCall> calls;
    std::size_t number = 0;
    for (auto& group : groups_) {
      if (group.empty()) continue;
      std::stable_sort(group.begin(), group.end(),
                       [](const TPlannedCall& a, const TPlannedCall& b) { return a.Service < b.Service; });
      for (TPlannedCall& call : group) {
        call.Group = number;
        calls.push_back(std::move(call));
      }
      ++number;
    }
    return calls;
  }

private:
  std::vector<std::vector<TPlannedCall>> groups_;
  std::unordered_map<std::string, std::size_t> named_;
};

ledger::TCarriedURL Carried(const TDatedURL& url) { return {url.URL, url.Date}; }

// The line's last announcement of each of urls, or none for each when the
// plan does not need to know.
void Lookup(ledger::TLedger& state, const std::string& line, const std::vector<std::string>& urls, bool needed,
            std::vector<std::optional<ledger::TAnnouncement>>& found) {
  found.clear();
  if (needed && !urls.empty()) state.LastAnnouncements(line, urls, found);
  found.resize(urls.size());
}

std::vector<std::string> URLsOf(const std::vector<TDatedURL>& entries) {
  std::vector<std::string> urls;
  urls.reserve(entries.size());
  for (const TDatedURL& entry : entries) urls.push_back(entry.URL);
  return urls;
}

}  // namespace

TPlan PlanCalls(const TSources& sources, const std::vector<std::string>& serviceLines, ledger::TLedger& state,
                const TPlanOptions& options) {
  TPlan plan;
  const std::vector<TDatedURL> pages = Deduplicated(sources.Pages);
  const std::vector<TDatedURL> feeds = Deduplicated(sources.Feeds);
  // What an XML-RPC line is offered: the pages and the feeds, each with the
  // site it belongs to.
  std::vector<TDatedURL> siteURLs = pages;
  siteURLs.insert(siteURLs.end(), feeds.begin(), feeds.end());
  siteURLs = Deduplicated(siteURLs);
  std::vector<std::string> origins;
  origins.reserve(siteURLs.size());
  for (const TDatedURL& url : siteURLs) origins.push_back(SiteOrigin(url.URL));

  std::vector<std::string> listedSites;
  listedSites.reserve(sources.Sites.size());
  for (const std::string& site : sources.Sites) listedSites.push_back(engine::WithScheme(site));

  const std::vector<std::string> pageURLs = URLsOf(pages);
  std::vector<std::string> pageOrigins;
  pageOrigins.reserve(pages.size());
  for (const TDatedURL& page : pages) pageOrigins.push_back(SiteOrigin(page.URL));
  const std::vector<std::string> feedURLs = URLsOf(feeds);
  const std::vector<std::string> siteURLTexts = URLsOf(siteURLs);

  TPlanBuilder builder;
  std::vector<std::size_t> siteGroups;
  std::unordered_map<std::string_view, std::size_t> firstListed;
  for (std::size_t i = 0; i < listedSites.size(); ++i) {
    siteGroups.push_back(builder.NewGroup());
    firstListed.try_emplace(listedSites[i], i);
  }

  std::vector<std::optional<ledger::TAnnouncement>> found;
  std::vector<std::string> distinctOrigins;
  {
    std::unordered_map<std::string_view, bool> seen;
    for (const std::string& origin : origins)
      if (seen.try_emplace(origin, true).second) distinctOrigins.push_back(origin);
  }

  for (std::size_t service = 0; service < serviceLines.size(); ++service) {
    const std::string& line = serviceLines[service];
    if (!engine::IsPingedServiceLine(line)) {
      plan.Skipped += static_cast<int64_t>(listedSites.size() + distinctOrigins.size());
      continue;
    }
    const TServiceKind kind = engine::KindOf(line);

    // The site list: every site, unless MinInterval holds it back.
    Lookup(state, line, listedSites, options.MinInterval.has_value(), found);
    for (std::size_t i = 0; i < listedSites.size(); ++i) {
      if (TooSoon(found[i], options)) {
        ++plan.Unchanged;
        continue;
      }
      builder.Add(siteGroups[i], TPlannedCall{service, kind, listedSites[i], {ledger::TCarriedURL{listedSites[i], {}}}});
    }

    if (kind == TServiceKind::XMLRPC) {
      Lookup(state, line, siteURLTexts, true, found);
      // The changed URLs of each site, in source order.
      std::unordered_map<std::string_view, std::vector<ledger::TCarriedURL>> changed;
      for (std::size_t i = 0; i < siteURLs.size(); ++i)
        if (Changed(siteURLs[i], found[i], options)) changed[origins[i]].push_back(Carried(siteURLs[i]));
      Lookup(state, line, distinctOrigins, options.MinInterval.has_value(), found);
      for (std::size_t i = 0; i < distinctOrigins.size(); ++i) {
        const std::string& origin = distinctOrigins[i];
        const auto urls = changed.find(origin);
        if (urls == changed.end() || TooSoon(found[i], options)) {
          ++plan.Unchanged;
          continue;
        }
        // A site the site list names too is called once, carrying its pages.
        const auto listed = firstListed.find(origin);
        TPlannedCall* call = listed == firstListed.end() ? nullptr : builder.Find(siteGroups[listed->second], service);
        if (call)
          call->URLs.insert(call->URLs.end(), urls->second.begin(), urls->second.end());
        else
          builder.Add(builder.GroupOf(origin), TPlannedCall{service, kind, origin, std::move(urls->second)});
      }
      continue;
    }

    if (kind == TServiceKind::WebSub) {
      Lookup(state, line, feedURLs, true, found);
      for (std::size_t i = 0; i < feeds.size(); ++i) {
        if (!Changed(feeds[i], found[i], options)) {
          ++plan.Unchanged;
          continue;
        }
        builder.Add(builder.GroupOf(feeds[i].URL), TPlannedCall{service, kind, feeds[i].URL, {Carried(feeds[i])}});
      }
      continue;
    }

    // IndexNow: the changed pages of each site, in source order.
    Lookup(state, line, pageURLs, true, found);
    std::vector<std::string_view> siteOrder;
    std::unordered_map<std::string_view, std::vector<std::size_t>> changedOf;
    for (std::size_t i = 0; i < pages.size(); ++i) {
      if (!Changed(pages[i], found[i], options)) {
        ++plan.Unchanged;
        continue;
      }
      auto& changed = changedOf[pageOrigins[i]];
      if (changed.empty()) siteOrder.push_back(pageOrigins[i]);
      changed.push_back(i);
    }
    for (const std::string_view origin : siteOrder) {
      const std::vector<std::size_t>& changed = changedOf[origin];
      if (changed.size() == 1) {
        const TDatedURL& page = pages[changed.front()];
        builder.Add(builder.GroupOf(page.URL), TPlannedCall{service, kind, page.URL, {Carried(page)}});
        continue;
      }
      for (std::size_t first = 0; first < changed.size(); first += engine::kMaxIndexNowBatch) {
        TPlannedCall call{service, kind, std::string(origin), {}};
        call.Bulk = true;
        const std::size_t end = std::min(changed.size(), first + engine::kMaxIndexNowBatch);
        for (std::size_t k = first; k < end; ++k) call.URLs.push_back(Carried(pages[changed[k]]));
        builder.Add(first == 0 ? builder.GroupOf(call.Site) : builder.NewGroup(), std::move(call));
      }
    }
  }
  plan.Calls = builder.Calls();
  return plan;
}

}  // namespace corvandel::announce
