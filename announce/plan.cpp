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

void Lookup(ledger::TLedger& state, const std::string& line, const std::vector<std::string>& urls,
            std::vector<std::optional<ledger::TAnnouncement>>& found) {
  found.clear();
  if (!urls.empty()) state.LastAnnouncements(line, urls, found);
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
    Lookup(state, line, options.MinInterval ? listedSites : std::vector<std::string>{}, found);
    for (std::size_t i = 0; i < listedSites.size(); ++i) {
      if (TooSoon(found[i], options)) {
        ++plan.Unchanged;
        continue;
      }
      builder.Add(siteGroups[i], TPlannedCall{service, kind, listedSites[i], {ledger::TCarriedURL{listedSites[i], {}}}});
    }

    if (kind == TServiceKind::XMLRPC) {
      Lookup(state, line, siteURLTexts, found);
      // The changed URLs of each site, in source order.
      std::unordered_map<std::string_view, std::vector<ledger::TCarriedURL>> changed;
      for (std::size_t i = 0; i < siteURLs.size(); ++i)
        if (Changed(siteURLs[i], found[i], options)) changed[origins[i]].push_back(Carried(siteURLs[i]));
      Lookup(state, line, options.MinInterval ? distinctOrigins : std::vector<std::string>{}, found);
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

    const std::vector<TDatedURL>& offered = kind == TServiceKind::IndexNow ? pages : feeds;
    Lookup(state, line, kind == TServiceKind::IndexNow ? pageURLs : feedURLs, found);
    for (std::size_t i = 0; i < offered.size(); ++i) {
      if (!Changed(offered[i], found[i], options)) {
        ++plan.Unchanged;
        continue;
      }
      builder.Add(builder.GroupOf(offered[i].URL), TPlannedCall{service, kind, offered[i].URL, {Carried(offered[i])}});
    }
  }
  plan.Calls = builder.Calls();
  return plan;
}

}  // namespace corvandel::announce
