// corvandel-ping: the ping run without the window, for cron and scripts.

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/console_view.h"
#include "cli/interrupt_watcher.h"
#include "engine/list_file.h"
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
// What a shell reports for a program ended by SIGINT.
constexpr int kExitInterruptedAgain = 130;

#ifndef CORVANDEL_VERSION
#define CORVANDEL_VERSION "unknown"
#endif

constexpr const char* kInsecureWarning =
    "warning: --insecure: the certificates and host names of https services are not checked";

constexpr const char* kStoppingNote =
    ": stopping; calls under way will finish (Ctrl-C again to quit at once)\n";

void Complain(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", std::string(cli::kProgramName).c_str(), text.c_str());
}

int UsageError(const std::string& text) {
  Complain(text);
  std::fprintf(stderr, "Try '%s --help' for more information.\n", std::string(cli::kProgramName).c_str());
  return kExitUsage;
}

// The entries of a list file, or nothing after saying why on stderr.
bool ReadList(const std::string& what, const std::string& fileName, std::vector<std::string>& entries) {
  try {
    entries = engine::ReadListFile(fileName);
  } catch (const runtime::EStreamError& e) {
    Complain("cannot read the " + what + " file: " + e.what());
    return false;
  }
  if (entries.empty()) {
    Complain("the " + what + " file \"" + fileName + "\" lists no " + what);
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

int Run(const cli::TOptions& options) {
  std::vector<std::string> services;
  std::vector<std::string> sites;
  if (!ReadList("services", options.ServicesFile, services) || !ReadList("sites", options.SitesFile, sites))
    return kExitUsage;
  if (!ConfigureConnections(options)) return kExitUsage;

  runtime::TEventLoop loop;
  std::atomic<bool> interrupted{false};
  // Before any worker exists, so that every thread leaves the signals to it.
  cli::TInterruptWatcher watcher(
      [&] {
        interrupted = true;
        std::fprintf(stderr, "%s%s", std::string(cli::kProgramName).c_str(), kStoppingNote);
        loop.Post([] {});  // the loop looks at the flag after each message
      },
      [] {
        std::fflush(stdout);
        std::_Exit(kExitInterruptedAgain);
      });

  cli::TConsoleView view(loop, stdout, ::isatty(STDOUT_FILENO) == 1, std::move(sites), std::move(services),
                         options.Threads);
  engine::TRunController controller(loop, view);
  view.Attach(controller);

  controller.StartRun();
  loop.RunUntil([&] {
    if (interrupted && controller.Pinging()) controller.StopRun();
    return controller.Idle();
  });

  std::printf("%s\n", view.Summary().c_str());
  std::fflush(stdout);
  return view.AnyError() ? kExitCallFailed : kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string error;
  const auto options = cli::ParseOptions(args, error);
  if (!options) return UsageError(error);
  if (options->Help) {
    std::fputs(cli::HelpText().c_str(), stdout);
    return kExitSuccess;
  }
  if (options->Version) {
    std::printf("%s %s\n", std::string(cli::kProgramName).c_str(), CORVANDEL_VERSION);
    return kExitSuccess;
  }
  try {
    return Run(*options);
  } catch (const std::exception& e) {
    Complain(e.what());
    return kExitUsage;
  }
}
