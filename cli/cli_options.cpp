#include "cli/cli_options.h"

#include <charconv>

#include "engine/run_controller.h"
#include "http/proxy_config.h"

namespace corvandel::cli {

namespace {

constexpr std::string_view kServicesOption = "--services";
constexpr std::string_view kSitesOption = "--sites";
constexpr std::string_view kThreadsOption = "--threads";
constexpr std::string_view kHelpOption = "--help";
constexpr std::string_view kShortHelpOption = "-h";
constexpr std::string_view kVersionOption = "--version";
constexpr std::string_view kProxyOption = "--proxy";
constexpr std::string_view kCACertOption = "--cacert";
constexpr std::string_view kInsecureOption = "--insecure";

// The worker count as typed: a plain decimal number within the spin box's range.
std::optional<int> ParseThreads(const std::string& text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < engine::kMinWorkers || value > engine::kMaxWorkers) return std::nullopt;
  return value;
}

}  // namespace

std::optional<TOptions> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  TOptions options;
  options.Threads = engine::kDefaultWorkers;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == kHelpOption || arg == kShortHelpOption) {
      options.Help = true;
      continue;
    }
    if (arg == kVersionOption) {
      options.Version = true;
      continue;
    }
    if (arg == kInsecureOption) {
      options.Insecure = true;
      continue;
    }
    // "--name value" and "--name=value" alike.
    std::string name = arg;
    std::optional<std::string> value;
    if (const auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    if (name != kServicesOption && name != kSitesOption && name != kThreadsOption && name != kProxyOption &&
        name != kCACertOption) {
      error = arg.rfind('-', 0) == 0 ? "unknown option '" + arg + "'" : "unexpected argument '" + arg + "'";
      return std::nullopt;
    }
    if (!value) {
      if (i + 1 == args.size()) {
        error = "option '" + name + "' needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    if (name == kServicesOption) {
      options.ServicesFile = *value;
    } else if (name == kSitesOption) {
      options.SitesFile = *value;
    } else if (name == kProxyOption) {
      http::TProxyServer server;
      std::string reason;
      if (!value->empty() && !http::ParseProxyURL(*value, server, reason)) {
        error = "--proxy \"" + *value + "\" is not a usable proxy: " + reason;
        return std::nullopt;
      }
      options.Proxy = *value;
    } else if (name == kCACertOption) {
      if (value->empty()) {
        error = "--cacert needs a file name";
        return std::nullopt;
      }
      options.CAFile = *value;
    } else {
      const auto threads = ParseThreads(*value);
      if (!threads) {
        error = "--threads takes a number from " + std::to_string(engine::kMinWorkers) + " to " +
                std::to_string(engine::kMaxWorkers) + ", not '" + *value + "'";
        return std::nullopt;
      }
      options.Threads = *threads;
    }
  }
  if (options.Help || options.Version) return options;
  if (options.ServicesFile.empty()) {
    error = "the services file is missing (--services FILE)";
    return std::nullopt;
  }
  if (options.SitesFile.empty()) {
    error = "the sites file is missing (--sites FILE)";
    return std::nullopt;
  }
  return options;
}

std::string HelpText() {
  const std::string name(kProgramName);
  return "Usage: " + name + " --services FILE --sites FILE [--threads N]\n"
         "         [--proxy URL] [--cacert FILE] [--insecure]\n"
         "\n"
         "Announces web sites to blog ping services: every site in the sites file is\n"
         "sent to every service in the services file as an XML-RPC weblogUpdates.ping\n"
         "call over HTTP, one site after another, as Corvandel's window does.\n"
         "\n"
         "Options:\n"
         "  --services FILE  the ping services, one address per line; \"http://\" is put\n"
         "                   in front of a line without \"http\", and lines of 4\n"
         "                   characters or fewer are skipped\n"
         "  --sites FILE     the web sites to announce, one per line; \"http://\" is put\n"
         "                   in front of a site without \"http\"\n"
         "  --threads N      worker threads per site, " + std::to_string(engine::kMinWorkers) + " to " +
         std::to_string(engine::kMaxWorkers) + " (default " + std::to_string(engine::kDefaultWorkers) + ")\n"
         "  --proxy URL      the HTTP proxy for every service, http://[USER:PASSWORD@]HOST[:PORT]\n"
         "                   (port 1080 when none is given), instead of the environment's;\n"
         "                   --proxy \"\" calls every service directly\n"
         "  --cacert FILE    also trust the CA certificates in FILE (PEM) for https services\n"
         "  --insecure       do not check the certificates and host names of https services\n"
         "  -h, --help       show this help and exit\n"
         "  --version        show the version and exit\n"
         "\n"
         "The list files are plain text with CR, LF or CR LF line ends, read as they\n"
         "are: no trimming and no comments.\n"
         "\n"
         "Every finished call prints one line, as the window's log shows it:\n"
         "  SERVICE URL:SITE Code:STATUS Th:WORKER Answer:MESSAGE\n"
         "(Code 0 means that no HTTP exchange took place). The run ends with one line\n"
         "  Success: N Error: M\n"
         "\n"
         "Proxies come from the environment, as curl reads it: http_proxy for http\n"
         "services, https_proxy or HTTPS_PROXY for https services (through a CONNECT\n"
         "tunnel), all_proxy or ALL_PROXY for both when those are unset, and no_proxy or\n"
         "NO_PROXY for the hosts called directly: comma-separated host names, domain\n"
         "suffixes, IP addresses, CIDR ranges, or * for all. https services are checked\n"
         "against the system's CA certificates (SSL_CERT_FILE and SSL_CERT_DIR choose\n"
         "others) and --cacert's, and must be reachable with TLS 1.2 or newer.\n"
         "\n"
         "Ctrl-C stops the run like \"Stop ping!\": no new calls are made, and calls\n"
         "already under way finish and are printed. A second Ctrl-C quits at once.\n"
         "\n"
         "Exit status: 0 when every call succeeded, 1 when any call failed, 2 for bad\n"
         "usage, an unreadable file, an empty list, a malformed proxy or an unusable\n"
         "CA file.\n";
}

}  // namespace corvandel::cli
