// corvandel-ping: the ping run without the window, for cron and scripts.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_options.h"
#include "cli/console_view.h"
#include "cli/interrupt_watcher.h"
#include "cli/output_watcher.h"
#include "cli/progress_line.h"
#include "cli/record_format.h"
#include "cli/record_writer.h"
#include "engine/announce_call.h"
#include "engine/list_file.h"
#include "engine/ping_texts.h"
#include "engine/ping_service.h"
#include "engine/ping_thread.h"
#include "engine/run_controller.h"
#include "http/proxy_config.h"
#include "http/secure_layer.h"
#include "runtime/event_loop.h"
#include "runtime/stream.h"

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

// The proxies and the trust every call uses, or false after saying why.
bool ConfigureConnections(const cli::TOptions& options) {
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
    return false;
  }
  http::SetProcessProxyConfig(std::move(proxies));

  if (!options.CAFile.empty() && !http::CheckTrustFile(options.CAFile, error)) {
    Complain(error);
    return false;
  }
  if (options.Insecure) Complain(kInsecureWarning);
  http::SetSecureSettings(http::TSecureSettings{options.CAFile, options.Insecure});
  return true;
}

// The IndexNow line and site (as called) whose key file does not hold the
// line's key, with the reason.
using TKeyFailures = std::map<std::pair<std::string, std::string>, std::string>;

// Checks the key file of every site for every IndexNow line, one after
// another, saying on standard error what each check found.
TKeyFailures CheckIndexNowKeys(const std::vector<std::string>& services, const std::vector<std::string>& sites,
                               cli::TProgressLine& progress) {
  TKeyFailures failures;
  std::set<std::string> lines;
  for (const std::string& line : services)
    if (engine::IsPingedServiceLine(line) && engine::KindOf(line) == engine::TServiceKind::IndexNow)
      lines.insert(line);
  for (const std::string& line : lines) {
    for (const std::string& listed : sites) {
      const std::string site = engine::WithScheme(listed);
      std::string reason;
      const bool holds = engine::CheckIndexNowKey(line, site, reason);
      progress.Note(cli::EscapeControls(Prefixed("key check: " + site + " for " + line + ": " +
                                                 (holds ? std::string("the key file holds the key") : reason))));
      if (!holds) failures.emplace(std::make_pair(line, site), std::move(reason));
    }
  }
  return failures;
}

int Run(const cli::TOptions& options, bool outputIsTerminal, bool errorIsTerminal) {
  std::vector<std::string> services;
  std::vector<std::string> sites;
  if (!ReadList("services", options.ServicesFile, kServiceListRules, services) ||
      !ReadList("sites", options.SitesFile, kSiteListRules, sites))
    return kExitUsage;
  const auto pinged = static_cast<int64_t>(engine::CountPingedServices(services));
  if (pinged == 0) {
    Complain(ListSource("services", options.ServicesFile) + " has no line to call: lines of " +
             std::to_string(engine::kMaxSkippedLineLength) + " characters or fewer are skipped");
    return kExitUsage;
  }
  if (!ConfigureConnections(options)) return kExitUsage;
  engine::SetCallSettings(engine::TCallSettings{options.ReadTimeout});

  const auto siteCount = static_cast<int64_t>(sites.size());
  cli::TRunSummary summary;
  summary.Skipped = (static_cast<int64_t>(services.size()) - pinged) * siteCount;
  const int64_t total = pinged * siteCount;

  cli::TRecordWriter writer(stdout, options.Format);
  if (!writer.Begin()) return OutputFailed(writer.FailureCode());
  cli::TProgressLine progress(stderr, errorIsTerminal && !options.Quiet, ErrorColumns);
  TKeyFailures keyFailures;
  if (options.CheckIndexNowKey) keyFailures = CheckIndexNowKeys(services, sites, progress);

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
  cli::TConsoleView view(loop, std::move(sites), std::move(services), options.Threads,
                         [&](const engine::TPingResult& result) {
                           progress.Count(result.Success);
                           if (outputLost()) return;
                           if (options.Format == cli::TOutputFormat::Text && !result.Success &&
                               !result.Reason.empty())
                             progress.Note(cli::ReasonLine(result));
                           if (outputIsTerminal) progress.Clear();
                           if (!writer.Result(result)) reportOutputLost(writer.FailureCode());
                           progress.Tick();
                         });
  // A site whose key check failed is not submitted to that endpoint; its
  // result says why. The failures are only read while the run goes on.
  engine::TPingCall call;
  if (!keyFailures.empty()) {
    call = [&keyFailures](engine::TPingService& pinger, const std::string& url, engine::TPingResult& result) {
      const auto failed = keyFailures.find(std::make_pair(url, pinger.SiteURL));
      if (failed == keyFailures.end()) return pinger.Call(url, result);
      result.Success = false;
      result.Code = 0;
      result.Answer = std::string(engine::kNoAnswer);
      result.Reason = "not submitted: key check failed: " + failed->second;
      return false;
    };
  }
  engine::TRunController controller(loop, view, call);
  view.Attach(controller);

  std::optional<runtime::TEventLoop::TTimerId> progressTimer;
  if (progress.Enabled()) progressTimer = loop.StartTimer(cli::kProgressInterval, [&] { progress.Tick(); });
  const auto started = std::chrono::steady_clock::now();
  progress.Start(total);
  controller.StartRun();
  bool stopped = false;
  loop.RunUntil([&] {
    if ((interrupted || outputLost()) && controller.Pinging()) {
      controller.StopRun();
      stopped = true;
    }
    return controller.Idle() || outputLost();
  });
  if (progressTimer) loop.StopTimer(*progressTimer);
  if (outputLost()) reportOutputLost(writer.Failed() ? writer.FailureCode() : kOutputGoneCode);
  progress.Finish();

  summary.Success = view.Successes();
  summary.Error = view.Errors();
  summary.Elapsed = std::chrono::steady_clock::now() - started;
  summary.Interrupted = stopped && summary.Success + summary.Error < total;
  if (!outputLost() && !writer.Summary(summary)) {
    outputReported = true;
    Complain(OutputError(writer.FailureCode()));
  }
  if (options.Format == cli::TOutputFormat::CSV) std::fprintf(stderr, "%s\n", cli::TextSummary(summary).c_str());
  if (outputLost()) {
    // Workers still inside calls hold on to the loop, the view and the
    // controller: ending the process ends their calls with it, without
    // running destructors under them.
    if (!controller.Idle()) {
      std::fflush(stderr);
      std::_Exit(kExitOutputFailed);
    }
    return kExitOutputFailed;
  }
  return summary.Error > 0 || summary.Interrupted ? kExitCallFailed : kExitSuccess;
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
  if (options->Help) return WriteAndExit(cli::HelpText());
  if (options->Version) return WriteAndExit(std::string(cli::kProgramName) + " " + CORVANDEL_VERSION + "\n");
  try {
    return Run(*options, ::isatty(STDOUT_FILENO) == 1, ::isatty(STDERR_FILENO) == 1);
  } catch (const std::exception& e) {
    Complain(e.what());
    return kExitUsage;
  }
}
