#pragma once

// The planner: which calls a run makes. A pure function of what the sources
// list, what the ledger remembers and the service lines; it makes no call
// and writes nothing, so every rule is checked without a network.
//
// What each kind of line receives:
// - an XML-RPC line: each site once, the origin (scheme://host[:port]/) of
//   the changed pages and feeds, when anything of that site changed; the
//   call carries those changed URLs;
// - an indexnow line: every changed page URL, once; the pages of one site
//   together, in bulk submissions of at most kMaxIndexNowBatch, when the
//   site has more than one;
// - a websub line: every changed feed URL, as its topic.
// Sites from a site list go to every line, as they are, each call carrying
// the site alone; nothing about them is left out unless MinInterval says so.
//
// A URL is changed for a line when no call announced it successfully to that
// line, or when its date is later than the date it carried then (or, when it
// carried none, than when it was announced). A URL without a date is thus
// announced once. All announces every URL regardless; MinInterval leaves out
// a URL or site that the line announced successfully within that time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/ping_service.h"
#include "ledger/ledger.h"

namespace corvandel::announce {

using ledger::TTime;

// A page a sitemap or a feed lists, or a feed itself, with its date.
struct TDatedURL {
  std::string URL;
  std::optional<TTime> Date;

  bool operator==(const TDatedURL&) const = default;
};

// Everything the run's sources gave, before deduplication.
struct TSources {
  std::vector<std::string> Sites;  // from the site list, as listed
  std::vector<TDatedURL> Pages;    // sitemap entries and feed items
  std::vector<TDatedURL> Feeds;    // the feeds themselves; dated by their newest item
};

struct TPlanOptions {
  bool All = false;
  std::optional<std::chrono::milliseconds> MinInterval;
  TTime Now{};
};

struct TPlannedCall {
  std::size_t Service = 0;  // index in the service lines
  engine::TServiceKind Kind = engine::TServiceKind::XMLRPC;
  std::string Site;  // what the call announces, as it is handed to the call
  std::vector<ledger::TCarriedURL> URLs;
  // The calls that announce one thing share a group, numbered from 0 in
  // plan order.
  std::size_t Group = 0;
  // An IndexNow submission of URLs, the pages of the site, in one request.
  bool Bulk = false;

  bool operator==(const TPlannedCall&) const = default;
};

struct TPlan {
  // Grouped by what they announce, in the order the sources first name it,
  // and within that by service line in list order.
  std::vector<TPlannedCall> Calls;
  // URLs and sites left out because the ledger says they were announced.
  int64_t Unchanged = 0;
  // Calls not made because their service line is too short to name one.
  int64_t Skipped = 0;
};

TPlan PlanCalls(const TSources& sources, const std::vector<std::string>& serviceLines, ledger::TLedger& state,
                const TPlanOptions& options);

}  // namespace corvandel::announce
