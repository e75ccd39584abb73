#pragma once

// The command line of corvandel-ping.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/record_format.h"

namespace corvandel::cli {

inline constexpr std::string_view kProgramName = "corvandel-ping";
// The file name that stands for standard input (a file named "-" is "./-").
inline constexpr std::string_view kStandardInputArgument = "-";

// --timeout's range, in seconds. Above the top the exchange bound, a
// multiple of the read time-out, would no longer fit the HTTP client's
// millisecond counts; nothing sensible waits a day for one answer.
inline constexpr double kDefaultTimeoutSeconds = 90;
inline constexpr double kMaxTimeoutSeconds = 24 * 60 * 60;

// --min-interval's and --since's bound: ten years.
inline constexpr std::chrono::hours kMaxDuration{24 * 3650};

// What the command line asks for: a run, or the history of earlier runs.
enum class TCommand { Run, History };
inline constexpr std::string_view kHistoryCommand = "history";

struct TOptions {
  TCommand Command = TCommand::Run;
  std::string ServicesFile;
  std::string SitesFile;  // empty when the run has only sources
  // --sitemap and --feed, each as given, in order.
  std::vector<std::string> Sitemaps;
  std::vector<std::string> Feeds;
  // --ledger; empty for the default one.
  std::string LedgerFile;
  bool NoLedger = false;
  bool All = false;     // announce every URL, changed or not
  bool DryRun = false;  // plan and print, call nobody, write nothing
  std::optional<std::chrono::milliseconds> MinInterval;
  // history: --since and --service.
  std::optional<std::chrono::milliseconds> Since;
  std::string ServiceFilter;
  int Threads = 0;  // set from the default when not given
  int PerService = 0;  // --per-service: calls of one service line at once; set from the default
  int Retries = 0;     // --retries: tries after a failure that may pass; set from the default
  // --proxy as given, checked: overrides the environment's proxies; empty
  // turns proxies off.
  std::optional<std::string> Proxy;
  std::string CAFile;     // --cacert: trusted on top of the system's store
  bool Insecure = false;  // --insecure: certificates are not checked
  TOutputFormat Format = TOutputFormat::Text;
  // --timeout: how long each call may wait for the service's next bytes.
  std::chrono::milliseconds ReadTimeout{static_cast<int64_t>(kDefaultTimeoutSeconds * 1000)};
  bool Quiet = false;  // no progress line
  // Check every site's IndexNow key file first; a site whose file does not
  // hold the key is not submitted.
  bool CheckIndexNowKey = false;
  bool Help = false;
  bool Version = false;
};

// Options from the arguments after the program name. On bad usage returns
// nothing and puts the reason, one line without the program name, in error.
std::optional<TOptions> ParseOptions(const std::vector<std::string>& args, std::string& error);

// The text of --help, for a run or for history.
std::string HelpText(TCommand command = TCommand::Run);

// A duration as typed: a whole number of seconds, or one followed by s, m,
// h or d; above 0 and at most kMaxDuration.
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text);

}  // namespace corvandel::cli
