// corvandel-ping: the ping run without the window, for cron and scripts.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "announce/delivery_policy.h"
#include "announce/key_check.h"
#include "announce/plan.h"
#include "announce/plan_runner.h"
#include "announce/source_fetch.h"
#include "cli/cli_options.h"
#include "cli/interrupt_watcher.h"
#include "cli/ledger_path.h"
#include "cli/output_watcher.h"
#include "cli/progress_line.h"
#include "cli/record_format.h"
#include "cli/record_writer.h"
#include "engine/announce_call.h"
#include "engine/list_file.h"
#include "engine/ping_texts.h"
#include "engine/ping_service.h"
#include "engine/ping_thread.h"
#include "http/proxy_config.h"
#include "http/secure_layer.h"
#include "ledger/ledger.h"
#include "ledger/memory_ledger.h"
#include "ledger/sqlite_ledger.h"
#include "runtime/event_loop.h"
#include "runtime/stream.h"
#include "runtime/utc_time.h"

namespace {

using namespace corvandel;

constexpr int kExitSuccess = 0;
constexpr int kExitCallFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitOutputFailed = 3;
// What a shell reports for a program ended by SIGINT.
constexpr int kExitInterruptedAgain = 130;

#ifndef CORVANDEL_VERSION
#define CORVANDEL_VERSION "unknown"
#endif

constexpr const char* kInsecureWarning =
    "warning: --insecure: the certificates and host names of https services are not checked";
constexpr const char* kStoppingNote = "stopping; calls under way will finish (Ctrl-C again to quit at once)";
constexpr const char* kClearLine = "\r\x1b[K";
// What a vanished standard output is reported as when no write failed.
constexpr int kOutputGoneCode = EPIPE;

// Scripts write lists with comments; an empty line names no site.
constexpr engine::TListReadOptions kSiteListRules{.SkipEmptyLines = true, .SkipComments = true};
constexpr engine::TListReadOptions kServiceListRules{.SkipEmptyLines = false, .SkipComments = true};

// The width of the terminal on standard error, 0 when unknown; asked at
// every drawing, so that a resized window is followed.
std::size_t ErrorColumns() {
  winsize size{};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::string Prefixed(const std::string& text) { return std::string(cli::kProgramName) + ": " + text; }

void Complain(const std::string& text) { std::fprintf(stderr, "%s\n", Prefixed(text).c_str()); }

int UsageError(const std::string& text) {
  Complain(text);
  std::fprintf(stderr, "Try '%s --help' for more information.\n", std::string(cli::kProgramName).c_str());
  return kExitUsage;
}

std::string OutputError(int code) { return std::string("cannot write to standard output: ") + std::strerror(code); }

int OutputFailed(int code) {
  Complain(OutputError(code));
  return kExitOutputFailed;
}

// Keeps descriptors 0 to 2 taken: a program started with one of them
// closed would otherwise get a list file or a service's socket under that
// number, and write its lines into it. Returns false when standard output
// was closed.
bool ReserveStandardDescriptors() {
  bool outputOpen = true;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) outputOpen = false;
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  return outputOpen;
}

bool WriteOut(const std::string& text) {
  errno = 0;
  return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
}

int WriteAndExit(const std::string& text) {
  if (!WriteOut(text)) return OutputFailed(errno != 0 ? errno : EIO);
  return kExitSuccess;
}

// How messages name a list: its file, or standard input.
std::string ListSource(const std::string& what, const std::string& fileName) {
  return fileName == cli::kStandardInputArgument ? std::string(engine::kStandardInputName)
                                                 : "the " + what + " file \"" + fileName + "\"";
}

// The entries of a list file, or of standard input for "-", or nothing
// after saying why on stderr.
bool ReadList(const std::string& what, const std::string& fileName, const engine::TListReadOptions& rules,
              std::vector<std::string>& entries) {
  const bool standardInput = fileName == cli::kStandardInputArgument;
  try {
    entries = standardInput ? engine::ReadListStream(STDIN_FILENO, rules) : engine::ReadListFile(fileName, rules);
  } catch (const runtime::EStreamError& e) {
    Complain("cannot read the " + what + (standardInput ? ": " : " file: ") + e.what());
    return false;
  }
  if (entries.empty()) {
    Complain(ListSource(what, fileName) + " lists no " + what);
    return false;
  }
  return true;
}

// The proxies, the trust, the time-out and the session store every call of
// the run uses, or nothing after saying why.
std::shared_ptr<const engine::TCallSettings> CallSettings(const cli::TOptions& options) {
  http::TProxyConfig proxies;
  std::string error;
  if (options.Proxy) {
    // --proxy replaces the proxies of the environment; its no_proxy still holds.
    http::TProxyConfig::TVariables variables;
    for (const char* name : {"no_proxy", "NO_PROXY"})
      if (const char* value = std::getenv(name)) variables.emplace(name, value);
    http::TProxyConfig::FromVariables(variables, proxies, error);
    std::optional<http::TProxyServer> server;
    if (!options.Proxy->empty()) {
      server.emplace();
      http::ParseProxyURL(*options.Proxy, *server, error);  // checked with the options
    }
    proxies.SetProxy(server);
  } else if (!http::TProxyConfig::FromEnvironment(proxies, error)) {
    Complain(error);
    return nullptr;
  }
  if (!options.CAFile.empty() && !http::CheckTrustFile(options.CAFile, error)) {
    Complain(error);
    return nullptr;
  }
  if (options.Insecure) Complain(kInsecureWarning);
  auto settings = std::make_shared<engine::TCallSettings>();
  settings->ReadTimeout = options.ReadTimeout;
  settings->Proxies = std::make_shared<const http::TProxyConfig>(std::move(proxies));
  settings->Secure = http::TSecureSettings{options.CAFile, options.Insecure};
  // Later calls to a service resume the TLS session of an earlier one.
  settings->Sessions = http::NewSessionStore();
  return settings;
}

// The endpoints that an earlier run was asked to leave alone until after
// now, each with its time, said on standard error with the number of this
// run's calls it defers.
std::map<std::string, ledger::TTime> EarlierHolds(ledger::TLedger& ledger, const std::vector<std::string>& services,
                                                  const std::vector<announce::TPlannedCall>& calls) {
  std::map<std::string, int64_t> deferred;
  for (const announce::TPlannedCall& call : calls) ++deferred[engine::EndpointOf(services[call.Service])];
  std::map<std::string, ledger::TTime> holds;
  const ledger::TTime now = ledger::Now();
  for (const auto& [endpoint, count] : deferred) {
    const std::optional<ledger::TTime> until = ledger.HeldUntil(endpoint);
    if (!until || *until <= now) continue;
    holds.emplace(endpoint, *until);
    Complain(cli::EscapeControls(endpoint + " asked on an earlier run for no calls until " + runtime::FormatUTC(*until) +
                                 ": " + std::to_string(count) + (count == 1 ? " call is" : " calls are") +
                                 " deferred"));
  }
  return holds;
}

// The engines that take IndexNow share what each is sent: one endpoint per
// key is enough, and more only repeat the submissions.
void WarnOfSharedKeys(const std::vector<std::string>& services) {
  std::map<std::string, std::vector<std::string>> endpoints;
  for (const std::string& line : services) {
    engine::TIndexNowService service;
    std::string error;
    if (engine::IsPingedServiceLine(line) && engine::KindOf(line) == engine::TServiceKind::IndexNow &&
        engine::ParseIndexNowLine(line, service, error)) {
      std::vector<std::string>& named = endpoints[service.Key];
      if (std::find(named.begin(), named.end(), service.Endpoint) == named.end()) named.push_back(service.Endpoint);
    }
  }
  for (const auto& [key, named] : endpoints)
    if (named.size() > 1)
      Complain(cli::EscapeControls("warning: " + std::to_string(named.size()) +
                                   " indexnow lines share one key; the engines share submissions, so one "
                                   "endpoint is enough (each is still called): " + named.front() + ", " + named[1] +
                                   (named.size() > 2 ? ", ..." : "")));
}

std::string LedgerName(const std::string& path) { return "the ledger \"" + path + "\""; }

// The ledger the options ask for. A run that needs one (sources, a
// minimum interval, or --ledger) stops when it cannot be opened, and gets
// nothing; a plain site list run then goes on without a record, and says so.
// A dry run only reads it.
std::unique_ptr<ledger::TLedger> OpenLedger(const cli::TOptions& options) {
  if (options.NoLedger) return std::make_unique<ledger::TMemoryLedger>();
  const bool named = !options.LedgerFile.empty();
  const bool needed = named || !options.Sitemaps.empty() || !options.Feeds.empty() || options.MinInterval;
  const std::string path =
      named ? options.LedgerFile : cli::DefaultLedgerPath(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
  std::string error;
  if (path.empty()) {
    error = "no folder for the ledger: neither XDG_STATE_HOME nor HOME names one (give --ledger FILE or --no-ledger)";
  } else {
    try {
      if (options.DryRun) {
        // A dry run writes nothing, not even a new, empty ledger.
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return std::make_unique<ledger::TMemoryLedger>();
        return ledger::OpenSQLiteLedger(path, ledger::TOpenMode::ReadOnly);
      }
      if (named || cli::MakeLedgerFolders(path, error))
        return ledger::OpenSQLiteLedger(path, ledger::TOpenMode::ReadWrite);
      error = "cannot open " + LedgerName(path) + ": " + error;
    } catch (const ledger::ELedgerError& e) {
      error = e.what();
    }
  }
  if (needed) {
    Complain(error);
    return nullptr;
  }
  Complain("warning: " + error + "; this run is not recorded");
  return std::make_unique<ledger::TMemoryLedger>();
}

ledger::TCallRecord Recorded(int64_t run, const std::string& service, const announce::TPlannedCall& call,
                             const engine::TPingResult& result) {
  ledger::TCallRecord record;
  record.Run = run;
  record.Service = service;
  record.Kind = std::string(engine::KindName(call.Kind));
  record.Site = call.Site;
  record.URLs = call.URLs;
  record.Success = result.Success;
  record.Code = result.Code;
  record.Answer = result.Answer;
  record.Reason = result.Reason;
  record.Started = std::chrono::time_point_cast<std::chrono::milliseconds>(result.Started);
  record.Elapsed = std::chrono::duration_cast<std::chrono::microseconds>(result.Elapsed);
  return record;
}

std::vector<announce::TSourceSpec> SourceSpecs(const cli::TOptions& options) {
  std::vector<announce::TSourceSpec> specs;
  for (const std::string& sitemap : options.Sitemaps) specs.push_back({announce::TSourceKind::Sitemap, sitemap});
  for (const std::string& feed : options.Feeds) specs.push_back({announce::TSourceKind::Feed, feed});
  return specs;
}

// A dry run: the plan on standard output, then its summary.
int WritePlan(const cli::TOptions& options, const std::vector<std::string>& services, const announce::TPlan& plan,
              cli::TRunSummary summary) {
  cli::TRecordWriter writer(stdout, options.Format);
  if (!writer.Begin(cli::TRecordWriter::TContent::Plan)) return OutputFailed(writer.FailureCode());
  for (const announce::TPlannedCall& call : plan.Calls) {
    cli::TPlannedRecord record{call.Kind, services[call.Service], call.Site, {}};
    record.URLs.reserve(call.URLs.size());
    for (const ledger::TCarriedURL& url : call.URLs) record.URLs.push_back(url.URL);
    if (!writer.Plan(record)) return OutputFailed(writer.FailureCode());
  }
  summary.DryRun = true;
  summary.Planned = static_cast<int64_t>(plan.Calls.size());
  if (!writer.Summary(summary)) return OutputFailed(writer.FailureCode());
  if (options.Format == cli::TOutputFormat::CSV) std::fprintf(stderr, "%s\n", cli::TextSummary(summary).c_str());
  return kExitSuccess;
}

int Run(const cli::TOptions& options, bool outputIsTerminal, bool errorIsTerminal) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::string> services;
  std::vector<std::string> sites;
  if (!ReadList("services", options.ServicesFile, kServiceListRules, services) ||
      (!options.SitesFile.empty() && !ReadList("sites", options.SitesFile, kSiteListRules, sites)))
    return kExitUsage;
  if (engine::CountPingedServices(services) == 0) {
    Complain(ListSource("services", options.ServicesFile) + " has no line to call: lines of " +
             std::to_string(engine::kMaxSkippedLineLength) + " characters or fewer are skipped");
    return kExitUsage;
  }
  const std::shared_ptr<const engine::TCallSettings> callSettings = CallSettings(options);
  if (!callSettings) return kExitUsage;
  WarnOfSharedKeys(services);

  announce::TSources sources;
  sources.Sites = std::move(sites);
  std::vector<std::string> notes;
  std::string error;
  if (!announce::ReadSources(SourceSpecs(options), *callSettings, sources, notes, error)) {
    Complain(cli::EscapeControls(error));
    return kExitUsage;
  }
  for (const std::string& note : notes) Complain(cli::EscapeControls(note));

  const std::unique_ptr<ledger::TLedger> ledger = OpenLedger(options);
  if (!ledger) return kExitUsage;
  int64_t runNumber = 0;
  announce::TPlan plan;
  std::map<std::string, ledger::TTime> holds;
  try {
    plan = announce::PlanCalls(sources, services, *ledger,
                               announce::TPlanOptions{options.All, options.MinInterval, ledger::Now()});
    if (!options.DryRun) {
      holds = EarlierHolds(*ledger, services, plan.Calls);
      runNumber = ledger->BeginRun(ledger::Now());
    }
  } catch (const ledger::ELedgerError& e) {
    Complain(e.what());
    return kExitUsage;
  }
  sources = {};

  cli::TRunSummary summary;
  summary.Skipped = plan.Skipped;
  summary.Unchanged = plan.Unchanged;
  if (options.DryRun) {
    summary.Elapsed = std::chrono::steady_clock::now() - started;
    return WritePlan(options, services, plan, summary);
  }
  const auto total = static_cast<int64_t>(plan.Calls.size());

  cli::TRecordWriter writer(stdout, options.Format);
  if (!writer.Begin()) return OutputFailed(writer.FailureCode());
  cli::TProgressLine progress(stderr, errorIsTerminal && !options.Quiet, ErrorColumns);

  runtime::TEventLoop loop;
  std::atomic<bool> interrupted{false};
  // Before any worker exists, so that every thread leaves the signals to it.
  cli::TInterruptWatcher watcher(
      [&] {
        interrupted = true;
        // Said on the main thread, which owns the progress line; the loop
        // looks at the flag after each message.
        loop.Post([&] { progress.Note(Prefixed(kStoppingNote)); });
      },
      [&] {
        if (progress.Enabled()) std::fputs(kClearLine, stderr);
        std::fflush(stdout);
        std::_Exit(kExitInterruptedAgain);
      });

  // Once standard output has gone, nothing more of the run can reach its
  // reader: the run stops, and calls still waiting for a service are
  // abandoned instead of waited for.
  bool outputGone = false;
  bool outputReported = false;
  auto reportOutputLost = [&](int code) {
    if (outputReported) return;
    outputReported = true;
    progress.Note(Prefixed(OutputError(code)));
  };
  cli::TOutputWatcher outputWatcher(STDOUT_FILENO, [&] { loop.Post([&] { outputGone = true; }); });
  auto outputLost = [&] { return outputGone || writer.Failed(); };
  // A call the ledger could not take ends the run: going on would announce
  // what no later run knows was announced.
  std::string ledgerError;
  int64_t successes = 0;
  int64_t errors = 0;
  int64_t deferred = 0;
  int64_t retried = 0;
  // With key checks, a site whose key file does not hold the line's key is
  // not submitted to that line; its result says why. The workers fetch each
  // file once, and what each fetch found is said on the main thread.
  std::optional<announce::TKeyChecks> keyChecks;
  engine::TPingCall call;
  if (options.CheckIndexNowKey) {
    keyChecks.emplace(callSettings, [&loop, &progress](const std::string& line, const std::string& site,
                                                       const std::string& reason) {
      std::string note = Prefixed("key check: " + site + " for " + line + ": " +
                                  (reason.empty() ? std::string("the key file holds the key") : reason));
      loop.Post([&progress, note = cli::EscapeControls(note)] { progress.Note(note); });
    });
    call = [&keyChecks](engine::TPingService& pinger, const std::string& url, engine::TPingResult& result) {
      if (engine::KindOf(url) == engine::TServiceKind::IndexNow) {
        const std::string failed = keyChecks->Check(url, pinger.SiteURL);
        if (!failed.empty()) {
          result.Success = false;
          result.Code = 0;
          result.Answer = std::string(engine::kNoAnswer);
          result.Reason = "not submitted: key check failed: " + failed;
          return false;
        }
      }
      return pinger.Call(url, result);
    };
  }
  std::unique_ptr<announce::TPlanRunner> runner;
  runner = std::make_unique<announce::TPlanRunner>(
      loop, services, std::move(plan.Calls),
      announce::TRunnerSettings{options.Threads, options.PerService, options.Retries, announce::kFirstBackoff,
                                callSettings, std::move(holds)},
      [&](const announce::TPlannedCall& planned, const engine::TPingResult& result) {
        if (ledgerError.empty()) {
          try {
            const std::string& line = services[planned.Service];
            ledger->RecordCall(Recorded(runNumber, line, planned, result));
            // A later run leaves the endpoint alone as long as it asked.
            if (announce::AsksToWait(result) && result.RetryAt)
              ledger->HoldUntil(engine::EndpointOf(line),
                                std::chrono::time_point_cast<std::chrono::milliseconds>(*result.RetryAt));
          } catch (const ledger::ELedgerError& e) {
            ledgerError = e.what();
            runner->Stop();
          }
        }
        ++(result.Success ? successes : errors);
        if (result.Deferred) ++deferred;
        if (result.Attempts > 1) ++retried;
        progress.Count(result.Success);
        if (outputLost()) return;
        if (options.Format == cli::TOutputFormat::Text && !result.Success && !result.Reason.empty())
          progress.Note(cli::ReasonLine(result));
        if (outputIsTerminal) progress.Clear();
        if (!writer.Result(result)) reportOutputLost(writer.FailureCode());
        progress.Tick();
      },
      call);

  std::optional<runtime::TEventLoop::TTimerId> progressTimer;
  if (progress.Enabled()) progressTimer = loop.StartTimer(cli::kProgressInterval, [&] { progress.Tick(); });
  progress.Start(total);
  runner->Start();
  bool stopped = false;
  loop.RunUntil([&] {
    if ((interrupted || outputLost() || !ledgerError.empty()) && !runner->Stopped()) {
      runner->Stop();
      stopped = true;
    }
    return runner->Idle() || outputLost();
  });
  if (progressTimer) loop.StopTimer(*progressTimer);
  if (outputLost()) reportOutputLost(writer.Failed() ? writer.FailureCode() : kOutputGoneCode);
  progress.Finish();

  summary.Success = successes;
  summary.Error = errors;
  summary.Deferred = deferred;
  summary.Retried = retried;
  summary.Elapsed = std::chrono::steady_clock::now() - started;
  summary.Interrupted = stopped && summary.Success + summary.Error < total;
  if (!outputLost() && !writer.Summary(summary)) {
    outputReported = true;
    Complain(OutputError(writer.FailureCode()));
  }
  if (options.Format == cli::TOutputFormat::CSV) std::fprintf(stderr, "%s\n", cli::TextSummary(summary).c_str());
  if (!ledgerError.empty())
    Complain("cannot record a call, so the run stopped with " + std::to_string(total - summary.Success - summary.Error) +
             " calls not made: " + ledgerError);
  if (outputLost()) {
    // Workers still inside calls hold on to the loop and the handler's
    // state: ending the process ends their calls with it, without running
    // destructors under them.
    if (!runner->Idle()) {
      std::fflush(stderr);
      std::_Exit(kExitOutputFailed);
    }
    return kExitOutputFailed;
  }
  if (!ledgerError.empty()) return kExitUsage;
  return summary.Error > 0 || summary.Interrupted ? kExitCallFailed : kExitSuccess;
}

// corvandel-ping history: the recorded calls, oldest first.
int History(const cli::TOptions& options) {
  const bool named = !options.LedgerFile.empty();
  const std::string path =
      named ? options.LedgerFile : cli::DefaultLedgerPath(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
  if (path.empty()) {
    Complain("no folder for the ledger: neither XDG_STATE_HOME nor HOME names one (give --ledger FILE)");
    return kExitUsage;
  }
  struct stat info {};
  if (!named && ::stat(path.c_str(), &info) != 0 && errno == ENOENT) {
    Complain("no call is recorded yet: " + LedgerName(path) + " does not exist");
    return kExitSuccess;
  }
  cli::TRecordWriter writer(stdout, options.Format);
  try {
    const std::unique_ptr<ledger::TLedger> store = ledger::OpenSQLiteLedger(path, ledger::TOpenMode::ReadOnly);
    ledger::TCallFilter filter;
    if (options.Since) filter.Since = ledger::Now() - *options.Since;
    filter.Service = options.ServiceFilter;
    if (!writer.Begin(cli::TRecordWriter::TContent::History)) return OutputFailed(writer.FailureCode());
    store->ForEachCall(filter, [&](const ledger::TCallRecord& call) {
      if (writer.Failed()) return;
      cli::THistoryRecord record{call.Run,     call.Service, call.Kind,   call.Site,    {},
                                 call.Success, call.Code,    call.Answer, call.Reason, call.Started,
                                 call.Elapsed};
      record.URLs.reserve(call.URLs.size());
      for (const ledger::TCarriedURL& url : call.URLs) record.URLs.push_back(url.URL);
      writer.History(record);
    });
  } catch (const ledger::ELedgerError& e) {
    Complain(e.what());
    return kExitUsage;
  }
  return writer.Failed() ? OutputFailed(writer.FailureCode()) : kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe is a failed write, reported and stopped on, not a death.
  std::signal(SIGPIPE, SIG_IGN);
  const bool outputOpen = ReserveStandardDescriptors();

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string error;
  const auto options = cli::ParseOptions(args, error);
  if (!options) return UsageError(error);
  if (!outputOpen) return OutputFailed(EBADF);
  if (options->Help) return WriteAndExit(cli::HelpText(options->Command));
  if (options->Version) return WriteAndExit(std::string(cli::kProgramName) + " " + CORVANDEL_VERSION + "\n");
  try {
    if (options->Command == cli::TCommand::History) return History(*options);
    return Run(*options, ::isatty(STDOUT_FILENO) == 1, ::isatty(STDERR_FILENO) == 1);
  } catch (const std::exception& e) {
    Complain(e.what());
    return kExitUsage;
  }
}
