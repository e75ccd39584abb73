#include "cli/cli_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>

#include <CLI/CLI.hpp>

#include "engine/run_controller.h"
#include "http/proxy_config.h"

namespace corvandel::cli {

namespace {

constexpr std::size_t kHelpColumn = 22;
constexpr std::string_view kEndOfOptions = "--";

constexpr const char* kUsage =
    "Usage: corvandel-ping --services FILE --sites FILE [--threads N]\n"
    "         [--format text|jsonl|csv] [--timeout SECONDS] [--quiet]\n"
    "         [--proxy URL] [--cacert FILE] [--insecure] [--check-indexnow-key]\n";

constexpr const char* kDescription =
    "Announces web sites to blog ping services: every site in the sites file is\n"
    "sent to every service in the services file as an XML-RPC weblogUpdates.ping\n"
    "call over HTTP or HTTPS, one site after another, as Corvandel's window does.\n"
    "Lines indexnow:ENDPOINT?key=KEY[&keyLocation=URL] submit the site to an\n"
    "IndexNow endpoint, and lines websub:HUB publish it to a WebSub hub.\n";

constexpr const char* kListsHelp =
    "The list files are text, one entry per line, with CR, LF or CR LF line ends,\n"
    "read as they are, without trimming. A UTF-8 byte order mark is ignored, and a\n"
    "file with a UTF-16 byte order mark is decoded. A line that starts with # is a\n"
    "comment, and empty lines in the sites file are skipped. A FILE of - reads\n"
    "that list from standard input (one of the two lists at most; ./- names a\n"
    "file called -). -- ends the options.\n";

constexpr const char* kFormatsHelp =
    "Every finished call writes one line on standard output. With --format text,\n"
    "the line the window's log shows:\n"
    "  SERVICE URL:SITE Code:STATUS Th:WORKER Answer:MESSAGE\n"
    "(Code 0 means that no HTTP exchange took place), then one line\n"
    "  Success: N Error: M\n"
    "and a failed call's reason on standard error. With --format jsonl, one JSON\n"
    "object per call, with type \"result\" and the fields below, then one object of\n"
    "type \"summary\". With --format csv, a header row and one row per call with\n"
    "the same fields; the summary goes to standard error.\n";

constexpr const char* kEscapesHelp =
    "CR, LF and tab in a field are written as \\r, \\n and \\t, and the other control\n"
    "characters, DEL, U+0080 to U+009F and the direction controls U+202A to U+202E\n"
    "and U+2066 to U+2069 as \\xNN for each of their UTF-8 bytes (jsonl writes\n"
    "\\uXXXX escapes instead), so that every call is one line and no answer can\n"
    "steer the terminal or reorder a line.\n"
    "When standard error is a terminal, a progress line shows the calls done, the\n"
    "successes and errors, the time so far, the calls per second and an estimate\n"
    "of the time left.\n";

constexpr const char* kEnvironmentHelp =
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
    "Exit status: 0 when every call succeeded; 1 when any call failed or Ctrl-C\n"
    "stopped the run early; 2 for bad usage, an unreadable or malformed list, an\n"
    "empty list, a services list without a line to call, a malformed proxy or an\n"
    "unusable CA file; 3 when standard output could not be written or went away\n"
    "(calls still waiting for an answer are abandoned); 130 for a second Ctrl-C.\n"
    "See corvandel-ping(1) for more.";

constexpr std::size_t kFieldColumn = 14;

template <typename TFields>
std::string FieldLines(const TFields& fields) {
  std::string text;
  for (const auto& field : fields) {
    std::string name(field.Name);
    name.resize(std::max(kFieldColumn, name.size() + 1), ' ');
    text += "  " + name + std::string(field.Meaning) + "\n";
  }
  return text;
}

// Everything after the options; the field lists come from the writers' table.
std::string Footer() {
  return std::string(kListsHelp) + "\n" + kFormatsHelp + "\nFields of a call:\n" + FieldLines(kResultFields) +
         "Fields of the summary:\n" + FieldLines(kSummaryFields) + "\n" + kEscapesHelp + "\n" + kEnvironmentHelp;
}

// The usage lines first, then what the program does.
class TFormatter : public CLI::Formatter {
public:
  std::string make_description(const CLI::App*) const override { return {}; }
  std::string make_usage(const CLI::App*, std::string) const override {
    return std::string(kUsage) + "\n" + kDescription;
  }
};

// What the options take, as typed; checked after the parse.
struct TRawOptions {
  std::string Services;
  std::string Sites;
  std::string Threads;
  std::string Proxy;
  std::string CACert;
  std::string Format;
  std::string Timeout;
  bool Insecure = false;
  bool Quiet = false;
  bool CheckIndexNowKey = false;
  bool Help = false;
  bool Version = false;
};

struct TParser {
  std::unique_ptr<CLI::App> App;
  CLI::Option* Threads = nullptr;
  CLI::Option* Proxy = nullptr;
  CLI::Option* CACert = nullptr;
  CLI::Option* Format = nullptr;
  CLI::Option* Timeout = nullptr;
};

std::string Decimal(double value) {
  char buffer[32];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return error == std::errc() ? std::string(buffer, end) : std::string();
}

TParser MakeParser(TRawOptions& raw) {
  TParser parser;
  parser.App = std::make_unique<CLI::App>(std::string(), std::string(kProgramName));
  CLI::App& app = *parser.App;
  auto formatter = std::make_shared<TFormatter>();
  formatter->column_width(kHelpColumn);
  app.formatter(formatter);
  app.set_help_flag();
  // Unknown arguments are left over and named in the error, as typed.
  app.allow_extras();
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.footer(Footer());

  app.add_option("--services", raw.Services,
                 "the ping services, one address per line, or - for\n"
                 "standard input; \"http://\" is put in front of a line\n"
                 "without \"http\", and lines of 4 characters or fewer\n"
                 "are skipped (required)")
      ->type_name("FILE");
  app.add_option("--sites", raw.Sites,
                 "the web sites to announce, one per line, or - for\n"
                 "standard input; \"http://\" is put in front of a site\n"
                 "without \"http\" (required)")
      ->type_name("FILE");
  parser.Threads = app.add_option("--threads", raw.Threads,
                                  "worker threads per site, " + std::to_string(engine::kMinWorkers) + " to " +
                                      std::to_string(engine::kMaxWorkers) +
                                      " (default: " + std::to_string(engine::kDefaultWorkers) + ")")
                       ->type_name("N");
  parser.Format = app.add_option("--format", raw.Format,
                                 "what each call writes: text, jsonl or csv\n(default: text)")
                      ->type_name("FORMAT");
  parser.Timeout = app.add_option("--timeout", raw.Timeout,
                                  "how long each call waits for the service's next\n"
                                  "bytes, in seconds, fractions allowed, at most " +
                                      Decimal(kMaxTimeoutSeconds) + "\n(default: " +
                                      Decimal(kDefaultTimeoutSeconds) + ")")
                       ->type_name("SECONDS");
  app.add_flag("--quiet", raw.Quiet, "no progress line on standard error (default: off;\n"
                                     "it is drawn only on a terminal anyway)");
  parser.Proxy = app.add_option("--proxy", raw.Proxy,
                                "the HTTP proxy for every service,\n"
                                "http://[USER:PASSWORD@]HOST[:PORT] (port 1080 when\n"
                                "none is given); --proxy \"\" calls every service\n"
                                "directly (default: the environment's, see below)")
                     ->type_name("URL");
  parser.CACert = app.add_option("--cacert", raw.CACert,
                                 "also trust the CA certificates in FILE (PEM) for\n"
                                 "https services (default: the system's only)")
                      ->type_name("FILE");
  app.add_flag("--insecure", raw.Insecure,
               "do not check the certificates and host names of https\nservices (default: off)");
  app.add_flag("--check-indexnow-key", raw.CheckIndexNowKey,
               "before the run, fetch each site's IndexNow key file\n"
               "(https://HOST/KEY.txt, or the line's keyLocation) and\n"
               "submit only the sites whose file holds the key\n(default: off)");
  app.add_flag("-h,--help", raw.Help, "show this help and exit");
  app.add_flag("--version", raw.Version, "show the version and exit");
  return parser;
}

// The worker count as typed: a plain decimal number within the spin box's range.
std::optional<int> ParseThreads(const std::string& text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < engine::kMinWorkers || value > engine::kMaxWorkers) return std::nullopt;
  return value;
}

// Seconds as typed, positive, within kMaxTimeoutSeconds, rounded up to a
// whole millisecond so that a tiny time-out never turns into none.
std::optional<std::chrono::milliseconds> ParseTimeout(const std::string& text) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (!std::isfinite(seconds) || seconds <= 0 || seconds > kMaxTimeoutSeconds) return std::nullopt;
  return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)));
}

// The option a missing value belongs to, from CLI11's message
// ("--sites: 1 required FILE missing").
std::string MissingValueError(const CLI::ParseError& e) {
  const std::string message = e.what();
  const auto colon = message.find(':');
  if (colon == std::string::npos || message.rfind("--", 0) != 0) return message;
  return "option '" + message.substr(0, colon) + "' needs a value";
}

}  // namespace

std::optional<TOptions> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  TRawOptions raw;
  TParser parser = MakeParser(raw);
  // "--" ends the options; the program takes no other arguments, so
  // whatever follows it is refused as it stands, even when it looks like an
  // option. Right after an option that takes a value it is that missing
  // value ("--proxy=--" still gives it).
  std::size_t optionsEnd = args.size();
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == kEndOfOptions) {
      optionsEnd = i;
      break;
    }
    if (args[i].rfind("--", 0) == 0 && args[i].find('=') == std::string::npos)
      if (const CLI::Option* option = parser.App->get_option_no_throw(args[i]); option && option->get_type_size() != 0) {
        if (i + 1 < args.size() && args[i + 1] == kEndOfOptions) {
          error = "option '" + args[i] + "' needs a value";
          return std::nullopt;
        }
        ++i;
      }
  }
  if (optionsEnd + 1 < args.size()) {
    error = "unexpected argument '" + args[optionsEnd + 1] + "'";
    return std::nullopt;
  }
  try {
    // CLI11 takes the arguments last first. "--name=" is split into the
    // name and an empty value, which CLI11 would otherwise take as a
    // missing one: "--proxy=" turns proxies off.
    std::vector<std::string> reversed;
    reversed.reserve(optionsEnd + 1);
    for (auto arg = args.rbegin() + static_cast<std::ptrdiff_t>(args.size() - optionsEnd); arg != args.rend(); ++arg) {
      if (arg->size() > 3 && arg->rfind("--", 0) == 0 && arg->back() == '=' &&
          arg->find('=') == arg->size() - 1) {
        reversed.emplace_back();
        reversed.push_back(arg->substr(0, arg->size() - 1));
      } else {
        reversed.push_back(*arg);
      }
    }
    parser.App->parse(reversed);
  } catch (const CLI::ArgumentMismatch& e) {
    error = MissingValueError(e);
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return std::nullopt;
  }
  if (const std::vector<std::string> extra = parser.App->remaining(); !extra.empty()) {
    const std::string& first = extra.front();
    error = first.rfind('-', 0) == 0 && first.size() > 1 ? "unknown option '" + first + "'"
                                                         : "unexpected argument '" + first + "'";
    return std::nullopt;
  }

  TOptions options;
  options.Threads = engine::kDefaultWorkers;
  options.Help = raw.Help;
  options.Version = raw.Version;
  options.Insecure = raw.Insecure;
  options.Quiet = raw.Quiet;
  options.CheckIndexNowKey = raw.CheckIndexNowKey;
  options.ServicesFile = raw.Services;
  options.SitesFile = raw.Sites;
  if (parser.Threads->count() > 0) {
    const auto threads = ParseThreads(raw.Threads);
    if (!threads) {
      error = "--threads takes a number from " + std::to_string(engine::kMinWorkers) + " to " +
              std::to_string(engine::kMaxWorkers) + ", not '" + raw.Threads + "'";
      return std::nullopt;
    }
    options.Threads = *threads;
  }
  if (parser.Format->count() > 0) {
    const auto format = ParseOutputFormat(raw.Format);
    if (!format) {
      error = "--format takes text, jsonl or csv, not '" + raw.Format + "'";
      return std::nullopt;
    }
    options.Format = *format;
  }
  if (parser.Timeout->count() > 0) {
    const auto timeout = ParseTimeout(raw.Timeout);
    if (!timeout) {
      error = "--timeout takes a number of seconds above 0 and at most " + Decimal(kMaxTimeoutSeconds) +
              ", not '" + raw.Timeout + "'";
      return std::nullopt;
    }
    options.ReadTimeout = *timeout;
  }
  if (parser.Proxy->count() > 0) {
    http::TProxyServer server;
    std::string reason;
    if (!raw.Proxy.empty() && !http::ParseProxyURL(raw.Proxy, server, reason)) {
      error = "--proxy \"" + http::RedactProxyURL(raw.Proxy) + "\" is not a usable proxy: " + reason;
      return std::nullopt;
    }
    options.Proxy = raw.Proxy;
  }
  if (parser.CACert->count() > 0) {
    if (raw.CACert.empty()) {
      error = "--cacert needs a file name";
      return std::nullopt;
    }
    options.CAFile = raw.CACert;
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
  if (options.ServicesFile == kStandardInputArgument && options.SitesFile == kStandardInputArgument) {
    error = "only one of --services and --sites can read standard input ('-')";
    return std::nullopt;
  }
  return options;
}

std::string HelpText() {
  TRawOptions raw;
  return MakeParser(raw).App->help();
}

}  // namespace corvandel::cli
