// What a run of corvandel-ping spends before its first call: reading a
// 50,000-URL sitemap and planning three service lines (XML-RPC, IndexNow,
// WebSub) against an SQLite ledger of 1,000,000 announcements. Goals: at most
// 1 s and 128 MiB peak for the 10 MB sitemap; at most 256 MiB peak for the
// 50 MB one (the same pages padded with image extension elements).
//
//   plan_bench [--cache DIR] [--rounds N]
//
// The sitemaps (bench/announce/make_sitemap.py) and the ledger are made once
// and kept in DIR (default /tmp/corvandel-plan-bench); delete DIR to make
// them anew. The ledger holds 20 service lines x 50,000 pages at their
// baseline dates, recorded through the ledger's own API in calls of 1,000
// URLs, so the planner finds the 1% of pages whose lastmod moved.
//
// Each measurement runs in a process of its own, so that the peak resident
// size (getrusage ru_maxrss) is that measurement's alone, and after one
// untimed pass, so that the files are in the page cache. Figures are the
// median and the fastest of the rounds.

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "announce/plan.h"
#include "announce/sitemap_reader.h"
#include "engine/announce_call.h"
#include "ledger/ledger.h"
#include "ledger/sqlite_ledger.h"

namespace {

using namespace corvandel;
using TClock = std::chrono::steady_clock;

#ifndef CORVANDEL_BENCH_SOURCE_DIR
#error "CORVANDEL_BENCH_SOURCE_DIR names the folder of make_sitemap.py"
#endif

constexpr const char* kDefaultCache = "/tmp/corvandel-plan-bench";
constexpr int kDefaultRounds = 5;
// 20 lines x 50,000 pages: the million rows the planner reads through.
constexpr int kLedgerLines = 20;
// The size of each recorded call, as a bulk IndexNow submission carries.
constexpr std::size_t kURLsPerCall = 1000;
constexpr double kPlanGoalSeconds = 1.0;
constexpr long kPlanGoalKiB = 128 * 1024;
constexpr long kBigGoalKiB = 256 * 1024;

// The planned lines come first; the others only fill the ledger, as the
// lines of other runs would.
std::vector<std::string> LedgerLines() {
  std::vector<std::string> lines = {
      "https://rpc.bench.example/RPC2",
      "indexnow:https://api.bench.example/indexnow?key=5f3c9a1e7b2d4c6e8a0b1d3f5e7c9a2b",
      "websub:https://hub.bench.example/",
  };
  for (int i = static_cast<int>(lines.size()); i < kLedgerLines; ++i) {
    const std::string n = std::to_string(i);
    switch (i % 3) {
      case 0: lines.push_back("https://rpc" + n + ".bench.example/xmlrpc.php"); break;
      case 1: lines.push_back("indexnow:https://api" + n + ".bench.example/indexnow?key=00000000000000000000000000" + n + "00"); break;
      default: lines.push_back("websub:https://hub" + n + ".bench.example/publish"); break;
    }
  }
  return lines;
}
constexpr std::size_t kPlannedLines = 3;

struct TFiles {
  std::string Sitemap;   // 1% of the pages newer than in the ledger
  std::string Baseline;  // every page at the date the ledger holds
  std::string Big;       // the sitemap padded to about 50 MB
  std::string Ledger;
};

TFiles FilesIn(const std::string& cache) {
  return {cache + "/sitemap.xml", cache + "/baseline.xml", cache + "/big.xml", cache + "/ledger.db"};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

announce::TSitemap ParseSitemap(const std::string& path, const std::string& bytes) {
  announce::TSitemap sitemap;
  std::string error;
  if (!announce::ReadSitemap(bytes, sitemap, error)) throw std::runtime_error(path + ": " + error);
  return sitemap;
}

double Seconds(TClock::duration d) { return std::chrono::duration<double>(d).count(); }

long PeakKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Writes the sitemaps, then records every baseline page to every line. The
// ledger is built under another name and renamed when whole, so that an
// interrupted build is never taken for the cache.
void Prepare(const std::string& cache, const TFiles& files) {
  std::filesystem::create_directories(cache);
  const std::string command = "python3 '" CORVANDEL_BENCH_SOURCE_DIR "/announce/make_sitemap.py' --out '" +
                              files.Sitemap + "' --baseline '" + files.Baseline + "' --big '" + files.Big + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("make_sitemap.py failed: " + command);

  const auto started = TClock::now();
  const std::string partial = files.Ledger + ".partial";
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(partial + suffix);
  const std::string bytes = ReadFile(files.Baseline);
  const announce::TSitemap baseline = ParseSitemap(files.Baseline, bytes);
  {
    std::unique_ptr<ledger::TLedger> store = ledger::OpenSQLiteLedger(partial, ledger::TOpenMode::ReadWrite);
    for (const std::string& line : LedgerLines()) {
      const ledger::TTime now = ledger::Now();
      ledger::TCallRecord call;
      call.Run = store->BeginRun(now);
      call.Service = line;
      call.Kind = std::string(engine::KindName(engine::KindOf(line)));
      call.Site = "https://bench.example/";
      call.Success = true;
      call.Code = 200;
      call.Started = now;
      for (std::size_t first = 0; first < baseline.Entries.size(); first += kURLsPerCall) {
        call.URLs.clear();
        const std::size_t end = std::min(baseline.Entries.size(), first + kURLsPerCall);
        for (std::size_t i = first; i < end; ++i)
          call.URLs.push_back({baseline.Entries[i].Location, baseline.Entries[i].LastModified});
        store->RecordCall(call);
      }
    }
  }
  for (const char* suffix : {"-wal", "-shm"})
    if (std::filesystem::exists(partial + suffix)) std::filesystem::rename(partial + suffix, files.Ledger + suffix);
  std::filesystem::rename(partial, files.Ledger);
  std::printf("ledger: %d lines x %zu pages recorded in calls of %zu URLs in %.1f s (%s, %.0f MB)\n", kLedgerLines,
              baseline.Entries.size(), kURLsPerCall, Seconds(TClock::now() - started), files.Ledger.c_str(),
              static_cast<double>(std::filesystem::file_size(files.Ledger)) / 1e6);
}

struct TRound {
  double Read = 0;   // the file into memory
  double Parse = 0;  // ReadSitemap
  double Plan = 0;   // opening the ledger and PlanCalls
  double Total() const { return Read + Parse + Plan; }
};

struct TOutcome {
  std::size_t Entries = 0;
  std::size_t Calls = 0;
  std::size_t IndexNowCalls = 0;
  std::size_t IndexNowURLs = 0;
  std::size_t XMLRPCURLs = 0;
  int64_t Unchanged = 0;
};

TRound OneRound(const std::string& sitemapPath, const std::string& ledgerPath, TOutcome& outcome) {
  TRound round;
  auto mark = TClock::now();
  auto lap = [&mark] {
    const auto now = TClock::now();
    const double seconds = Seconds(now - mark);
    mark = now;
    return seconds;
  };
  std::string bytes = ReadFile(sitemapPath);
  round.Read = lap();
  announce::TSitemap sitemap = ParseSitemap(sitemapPath, bytes);
  bytes = {};
  announce::TSources sources;
  sources.Pages.reserve(sitemap.Entries.size());
  for (announce::TSitemapEntry& entry : sitemap.Entries)
    sources.Pages.push_back({std::move(entry.Location), entry.LastModified});
  outcome.Entries = sitemap.Entries.size();
  sitemap = {};
  round.Parse = lap();

  std::vector<std::string> lines = LedgerLines();
  lines.resize(kPlannedLines);
  std::unique_ptr<ledger::TLedger> store = ledger::OpenSQLiteLedger(ledgerPath, ledger::TOpenMode::ReadWrite);
  announce::TPlanOptions options;
  options.Now = ledger::Now();
  const announce::TPlan plan = announce::PlanCalls(sources, lines, *store, options);
  round.Plan = lap();

  outcome.Calls = plan.Calls.size();
  outcome.Unchanged = plan.Unchanged;
  outcome.IndexNowCalls = 0;
  outcome.IndexNowURLs = 0;
  outcome.XMLRPCURLs = 0;
  for (const announce::TPlannedCall& call : plan.Calls) {
    if (call.Kind == engine::TServiceKind::IndexNow) {
      ++outcome.IndexNowCalls;
      outcome.IndexNowURLs += call.URLs.size();
    }
    if (call.Kind == engine::TServiceKind::XMLRPC) outcome.XMLRPCURLs += call.URLs.size();
  }
  return round;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One measurement, in a process of its own; its exit status says whether
// the goals were met.
int Measure(const std::string& which, const TFiles& files, int rounds) {
  const bool big = which == "big";
  const std::string& sitemap = big ? files.Big : files.Sitemap;
  TOutcome outcome;
  OneRound(sitemap, files.Ledger, outcome);  // warms the page cache
  std::vector<TRound> timed;
  for (int i = 0; i < rounds; ++i) timed.push_back(OneRound(sitemap, files.Ledger, outcome));
  auto column = [&timed](double (*pick)(const TRound&)) {
    std::vector<double> values;
    for (const TRound& round : timed) values.push_back(pick(round));
    return values;
  };
  const std::vector<double> totals = column([](const TRound& r) { return r.Total(); });
  const long peak = PeakKiB();
  const double median = Median(totals);
  // Both lines are offered the same changed pages, a small share of all.
  const bool sane = outcome.IndexNowURLs > 0 && outcome.IndexNowURLs == outcome.XMLRPCURLs &&
                    outcome.IndexNowURLs < outcome.Entries;
  const bool met = sane && peak <= (big ? kBigGoalKiB : kPlanGoalKiB) && (big || median <= kPlanGoalSeconds);

  std::printf("%s (%.1f MB, %zu URLs): median %.3f s, fastest %.3f s of %d rounds; peak %.1f MiB\n",
              big ? "50 MB sitemap" : "10 MB sitemap",
              static_cast<double>(std::filesystem::file_size(sitemap)) / 1e6, outcome.Entries, median,
              *std::min_element(totals.begin(), totals.end()), rounds, static_cast<double>(peak) / 1024);
  std::printf("  median read %.3f s, ReadSitemap %.3f s, ledger and PlanCalls %.3f s\n",
              Median(column([](const TRound& r) { return r.Read; })),
              Median(column([](const TRound& r) { return r.Parse; })),
              Median(column([](const TRound& r) { return r.Plan; })));
  std::printf("  plan: %zu calls; IndexNow %zu calls carrying %zu URLs; XML-RPC one call per site carrying %zu URLs;"
              " %lld unchanged\n",
              outcome.Calls, outcome.IndexNowCalls, outcome.IndexNowURLs, outcome.XMLRPCURLs,
              static_cast<long long>(outcome.Unchanged));
  if (big)
    std::printf("  goal: peak <= 256 MiB: %s\n", met ? "met" : "NOT met");
  else
    std::printf("  goal: <= 1 s and peak <= 128 MiB: %s\n", met ? "met" : "NOT met");
  if (!sane) std::printf("  the plan is not the one the sitemaps call for: the cache in %s is stale\n",
                         files.Ledger.c_str());
  std::fflush(stdout);
  return met ? 0 : 1;
}

// Runs a child that does what; true when it ended with status 0.
template <typename TWork>
bool InChild(TWork&& work) {
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    const int code = work();
    std::fflush(stdout);
    std::_Exit(code);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int Usage() {
  std::fprintf(stderr, "usage: plan_bench [--cache DIR] [--rounds N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cache = kDefaultCache;
  int rounds = kDefaultRounds;
  std::string measure;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (arg == "--cache")
      cache = argv[++i];
    else if (arg == "--rounds")
      rounds = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--measure")
      measure = argv[++i];
    else
      return Usage();
  }
  const TFiles files = FilesIn(cache);
  try {
    if (!measure.empty()) return Measure(measure, files, rounds);

    struct stat info {};
    // Built in a child, so that this process stays small: each measuring
    // process starts from a copy of it, and its peak counts that copy.
    if (::stat(files.Ledger.c_str(), &info) != 0 && !InChild([&] {
          try {
            Prepare(cache, files);
            return 0;
          } catch (const std::exception& e) {
            std::fprintf(stderr, "plan_bench: %s\n", e.what());
            return 1;
          }
        }))
      return 1;
    bool met = true;
    for (const char* which : {"plan", "big"}) {
      const std::string roundsText = std::to_string(rounds);
      met = InChild([&] {
              ::execl("/proc/self/exe", argv[0], "--cache", cache.c_str(), "--rounds", roundsText.c_str(),
                      "--measure", which, static_cast<char*>(nullptr));
              std::perror("plan_bench: exec");
              return 1;
            }) && met;
    }
    return met ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "plan_bench: %s\n", e.what());
    return 1;
  }
}
