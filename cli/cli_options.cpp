#include "cli/cli_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>

#include <CLI/CLI.hpp>

#include "announce/plan_runner.h"
#include "engine/run_controller.h"
#include "http/proxy_config.h"

namespace corvandel::cli {

namespace {

constexpr std::size_t kHelpColumn = 22;
// More retries than this only add waits: the last ones would wait 30 s each.
constexpr int kMaxRetries = 10;
constexpr std::string_view kEndOfOptions = "--";

constexpr const char* kUsage =
    "Usage: corvandel-ping --services FILE [--sites FILE] [--sitemap URL|FILE]...\n"
    "         [--feed URL|FILE]... [--ledger FILE | --no-ledger] [--all]\n"
    "         [--min-interval DURATION] [--dry-run] [--threads N] [--per-service N]\n"
    "         [--retries N] [--format text|jsonl|csv] [--timeout SECONDS] [--quiet]\n"
    "         [--proxy URL] [--cacert FILE] [--insecure] [--check-indexnow-key]\n"
    "       corvandel-ping history [--ledger FILE] [--since DURATION]\n"
    "         [--service TEXT] [--format text|jsonl|csv]\n";

constexpr const char* kDescription =
    "Announces web sites to blog ping services: every site in the sites file is\n"
    "sent to every service in the services file as an XML-RPC weblogUpdates.ping\n"
    "call over HTTP or HTTPS, as Corvandel's window does. Lines\n"
    "indexnow:ENDPOINT?key=KEY[&keyLocation=URL] submit to an IndexNow endpoint,\n"
    "and lines websub:HUB publish to a WebSub hub.\n"
    "\n"
    "With --sitemap and --feed, only what changed is announced: each changed page\n"
    "to every indexnow line, each site with a changed page to every XML-RPC line,\n"
    "and each changed feed to every websub line. The ledger remembers what each\n"
    "line was sent and what it answered.\n";

constexpr const char* kHistoryUsage =
    "Usage: corvandel-ping history [--ledger FILE] [--since DURATION]\n"
    "         [--service TEXT] [--format text|jsonl|csv]\n";

constexpr const char* kHistoryDescription =
    "Lists the calls recorded in the ledger, oldest first.\n";

constexpr const char* kHistoryFooter =
    "With --format jsonl each call is one object of type \"call\" with run, service,\n"
    "kind, site, urls (the page URLs it carried), success, code, answer, reason,\n"
    "started and elapsed_ms; csv has the same columns, the URLs separated by\n"
    "blanks. Exit status: 0 when the calls were listed, 2 for bad usage or a\n"
    "ledger that cannot be read, 3 when standard output could not be written.";

constexpr const char* kSourcesHelp =
    "Sources: --sitemap takes a sitemap or a sitemap index (followed one level\n"
    "down), --feed an RSS 2.0 or Atom 1.0 feed, each from an http or https URL or\n"
    "a file, plain or gzip-compressed; both may be given many times. A page is\n"
    "changed for a line when the line never took it, or when its date (lastmod,\n"
    "pubDate, updated) is later than the one it was announced with; a page\n"
    "without a date is announced once. A source that cannot be read stops the\n"
    "run before any call (exit status 2).\n"
    "\n"
    "The ledger is an SQLite file, by default\n"
    "$XDG_STATE_HOME/corvandel/ledger.sqlite3 (~/.local/state when the variable\n"
    "is unset). Every finished call is written to it as it ends. DURATION is a\n"
    "number of seconds, or a number followed by s, m, h or d (90s, 15m, 1h, 2d).\n";
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
    "empty list, a services list without a line to call, a malformed proxy, an\n"
    "unusable CA file, a source that cannot be read or a ledger that cannot be\n"
    "opened or written; 3 when standard output could not be written or went away\n"
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
  return std::string(kListsHelp) + "\n" + kSourcesHelp + "\n" + kFormatsHelp + "\nFields of a call:\n" + FieldLines(kResultFields) +
         "Fields of the summary:\n" + FieldLines(kSummaryFields) + "\n" + kEscapesHelp + "\n" + kEnvironmentHelp;
}

// The usage lines first, then what the program does.
class TFormatter : public CLI::Formatter {
public:
  TFormatter(const char* usage, const char* description) : usage_(usage), description_(description) {}
  std::string make_description(const CLI::App*) const override { return {}; }
  std::string make_usage(const CLI::App*, std::string) const override {
    return std::string(usage_) + "\n" + description_;
  }

private:
  const char* usage_;
  const char* description_;
};

// What the options take, as typed; checked after the parse.
struct TRawOptions {
  std::string Services;
  std::string Sites;
  std::string Threads;
  std::string PerService;
  std::string Retries;
  std::string Proxy;
  std::string CACert;
  std::string Format;
  std::string Timeout;
  bool Insecure = false;
  bool Quiet = false;
  bool CheckIndexNowKey = false;
  bool Help = false;
  bool Version = false;
  std::vector<std::string> Sitemaps;
  std::vector<std::string> Feeds;
  std::string Ledger;
  bool NoLedger = false;
  bool All = false;
  bool DryRun = false;
  std::string MinInterval;
  std::string Since;
  std::string Service;
};

struct TParser {
  std::unique_ptr<CLI::App> App;
  CLI::Option* Ledger = nullptr;
  CLI::Option* MinInterval = nullptr;
  CLI::Option* Since = nullptr;
  CLI::Option* Threads = nullptr;
  CLI::Option* PerService = nullptr;
  CLI::Option* Retries = nullptr;
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

// A parser with the program's usage text, help and error conventions.
std::unique_ptr<CLI::App> MakeApp(const char* usage, const char* description, const std::string& footer) {
  auto app = std::make_unique<CLI::App>(std::string(), std::string(kProgramName));
  auto formatter = std::make_shared<TFormatter>(usage, description);
  formatter->column_width(kHelpColumn);
  app->formatter(formatter);
  app->set_help_flag();
  // Unknown arguments are left over and named in the error, as typed.
  app->allow_extras();
  app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app->footer(footer);
  return app;
}

CLI::Option* AddFormatOption(CLI::App& app, TRawOptions& raw, const char* help) {
  return app.add_option("--format", raw.Format, help)->type_name("FORMAT");
}

CLI::Option* AddLedgerOption(CLI::App& app, TRawOptions& raw) {
  return app.add_option("--ledger", raw.Ledger,
                        "the ledger of what was announced (default:\n"
                        "$XDG_STATE_HOME/corvandel/ledger.sqlite3)")
      ->type_name("FILE");
}

TParser MakeHistoryParser(TRawOptions& raw) {
  TParser parser;
  parser.App = MakeApp(kHistoryUsage, kHistoryDescription, kHistoryFooter);
  CLI::App& app = *parser.App;
  parser.Ledger = AddLedgerOption(app, raw);
  parser.Since = app.add_option("--since", raw.Since, "only the calls started within DURATION of now")
                     ->type_name("DURATION");
  app.add_option("--service", raw.Service, "only the calls of service lines that contain TEXT")
      ->type_name("TEXT");
  parser.Format = AddFormatOption(app, raw, "how each call is written: text, jsonl or csv\n(default: text)");
  app.add_flag("-h,--help", raw.Help, "show this help and exit");
  return parser;
}

TParser MakeParser(TRawOptions& raw) {
  TParser parser;
  parser.App = MakeApp(kUsage, kDescription, Footer());
  CLI::App& app = *parser.App;

  app.add_option("--services", raw.Services,
                 "the ping services, one address per line, or - for\n"
                 "standard input; \"http://\" is put in front of a line\n"
                 "without \"http\", and lines of 4 characters or fewer\n"
                 "are skipped (required)")
      ->type_name("FILE");
  app.add_option("--sites", raw.Sites,
                 "the web sites to announce, one per line, or - for\n"
                 "standard input; \"http://\" is put in front of a site\n"
                 "without \"http\"; each is announced on every run")
      ->type_name("FILE");
  app.add_option("--sitemap", raw.Sitemaps, "a sitemap or sitemap index whose changed pages\nare announced")
      ->type_name("URL|FILE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--feed", raw.Feeds, "an RSS or Atom feed whose changed items are\nannounced, and the feed with them")
      ->type_name("URL|FILE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  parser.Ledger = AddLedgerOption(app, raw);
  app.add_flag("--no-ledger", raw.NoLedger, "keep no ledger: sources announce everything");
  app.add_flag("--all", raw.All, "announce every page, changed or not");
  parser.MinInterval = app.add_option("--min-interval", raw.MinInterval,
                                      "leave out a page or site that the same service\n"
                                      "line took within DURATION (default: off)")
                           ->type_name("DURATION");
  app.add_flag("--dry-run", raw.DryRun,
               "read the sources and print the calls a run would\nmake, without calling or recording anything");
  parser.Threads = app.add_option("--threads", raw.Threads,
                                  "worker threads, " + std::to_string(engine::kMinWorkers) + " to " +
                                      std::to_string(engine::kMaxWorkers) +
                                      " (default: " + std::to_string(engine::kDefaultWorkers) + ")")
                       ->type_name("N");
  parser.PerService = app.add_option("--per-service", raw.PerService,
                                     "calls of one service line under way at once, 1 to " +
                                         std::to_string(engine::kMaxWorkers) + " (default: " +
                                         std::to_string(announce::kDefaultPerServiceCalls) + ")")
                          ->type_name("N");
  parser.Retries = app.add_option("--retries", raw.Retries,
                                  "tries again, after 1 s, 2 s, 4 s... (each give or\n"
                                  "take half), a call that was refused a connection,\n"
                                  "reset or timed out, or answered 500, 502, 503 or\n"
                                  "504, up to N times, 0 to " + std::to_string(kMaxRetries) +
                                      " (default: " + std::to_string(announce::kDefaultRetries) + ")")
                       ->type_name("N");
  parser.Format = AddFormatOption(app, raw, "what each call writes: text, jsonl or csv\n(default: text)");
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
               "fetch each IndexNow key file (the site's own\n"
               "/KEY.txt, or the line's keyLocation) once per run,\n"
               "before its first submission, and submit only the\n"
               "sites whose file holds the key (default: off)");
  app.add_flag("-h,--help", raw.Help, "show this help and exit");
  app.add_flag("--version", raw.Version, "show the version and exit");
  return parser;
}

// A whole number as typed, from low to high; false with the reason when it
// is not one. Nothing happens for an option not given.
bool TakeCount(const CLI::Option* option, const std::string& text, int low, int high, int& value, std::string& error) {
  if (option->count() == 0) return true;
  int number = 0;
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || failure != std::errc() || end != text.data() + text.size() || number < low || number > high) {
    error = option->get_name() + " takes a number from " + std::to_string(low) + " to " + std::to_string(high) +
            ", not '" + text + "'";
    return false;
  }
  value = number;
  return true;
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


// Parses args with parser: "--" ends the options, "--name=" gives an empty
// value, and anything left over is refused as typed. False with error set.
bool Parse(TParser& parser, const std::vector<std::string>& args, std::string& error) {
  // The program takes no other arguments, so whatever follows "--" is
  // refused as it stands, even when it looks like an option. Right after an
  // option that takes a value it is that missing value ("--proxy=--" still
  // gives it).
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
          return false;
        }
        ++i;
      }
  }
  if (optionsEnd + 1 < args.size()) {
    error = "unexpected argument '" + args[optionsEnd + 1] + "'";
    return false;
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
    return false;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return false;
  }
  if (const std::vector<std::string> extra = parser.App->remaining(); !extra.empty()) {
    const std::string& first = extra.front();
    error = first.rfind('-', 0) == 0 && first.size() > 1 ? "unknown option '" + first + "'"
                                                         : "unexpected argument '" + first + "'";
    return false;
  }
  return true;
}

bool TakeFormat(const TParser& parser, const TRawOptions& raw, TOptions& options, std::string& error) {
  if (parser.Format->count() == 0) return true;
  const auto format = ParseOutputFormat(raw.Format);
  if (!format) {
    error = "--format takes text, jsonl or csv, not '" + raw.Format + "'";
    return false;
  }
  options.Format = *format;
  return true;
}

bool TakeLedger(const TParser& parser, const TRawOptions& raw, TOptions& options, std::string& error) {
  if (parser.Ledger->count() > 0 && raw.Ledger.empty()) {
    error = "--ledger needs a file name";
    return false;
  }
  options.LedgerFile = raw.Ledger;
  return true;
}

bool TakeDuration(const CLI::Option* option, const std::string& text, std::optional<std::chrono::milliseconds>& value,
                  std::string& error) {
  if (option->count() == 0) return true;
  value = ParseDuration(text);
  if (!value)
    error = option->get_name() + " takes a duration such as 90s, 15m, 1h or 2d (at most " +
            std::to_string(kMaxDuration.count() / 24) + " days), not '" + text + "'";
  return value.has_value();
}

std::optional<TOptions> ParseHistoryOptions(const std::vector<std::string>& args, std::string& error) {
  TRawOptions raw;
  TParser parser = MakeHistoryParser(raw);
  if (!Parse(parser, args, error)) return std::nullopt;
  TOptions options;
  options.Command = TCommand::History;
  options.Help = raw.Help;
  options.ServiceFilter = raw.Service;
  if (!TakeFormat(parser, raw, options, error) || !TakeLedger(parser, raw, options, error) ||
      !TakeDuration(parser.Since, raw.Since, options.Since, error))
    return std::nullopt;
  return options;
}

}  // namespace

std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text) {
  int64_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (text.empty() || error != std::errc() || count <= 0) return std::nullopt;
  const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  int64_t seconds = 1;
  if (unit == "m") seconds = 60;
  else if (unit == "h") seconds = 3600;
  else if (unit == "d") seconds = 86400;
  else if (!unit.empty() && unit != "s") return std::nullopt;
  const int64_t limit = std::chrono::duration_cast<std::chrono::seconds>(kMaxDuration).count();
  if (count > limit / seconds) return std::nullopt;
  return std::chrono::milliseconds(count * seconds * 1000);
}

std::optional<TOptions> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  if (!args.empty() && args.front() == kHistoryCommand)
    return ParseHistoryOptions(std::vector<std::string>(args.begin() + 1, args.end()), error);
  TRawOptions raw;
  TParser parser = MakeParser(raw);
  if (!Parse(parser, args, error)) return std::nullopt;

  TOptions options;
  options.Threads = engine::kDefaultWorkers;
  options.Help = raw.Help;
  options.Version = raw.Version;
  options.Insecure = raw.Insecure;
  options.Quiet = raw.Quiet;
  options.CheckIndexNowKey = raw.CheckIndexNowKey;
  options.ServicesFile = raw.Services;
  options.SitesFile = raw.Sites;
  options.Sitemaps = raw.Sitemaps;
  options.Feeds = raw.Feeds;
  options.NoLedger = raw.NoLedger;
  options.All = raw.All;
  options.DryRun = raw.DryRun;
  options.PerService = announce::kDefaultPerServiceCalls;
  options.Retries = announce::kDefaultRetries;
  if (!TakeCount(parser.Threads, raw.Threads, engine::kMinWorkers, engine::kMaxWorkers, options.Threads, error) ||
      !TakeCount(parser.PerService, raw.PerService, 1, engine::kMaxWorkers, options.PerService, error) ||
      !TakeCount(parser.Retries, raw.Retries, 0, kMaxRetries, options.Retries, error))
    return std::nullopt;
  if (!TakeFormat(parser, raw, options, error) || !TakeLedger(parser, raw, options, error) ||
      !TakeDuration(parser.MinInterval, raw.MinInterval, options.MinInterval, error))
    return std::nullopt;
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
  if (options.SitesFile.empty() && options.Sitemaps.empty() && options.Feeds.empty()) {
    error = "nothing to announce: give --sites FILE, --sitemap or --feed";
    return std::nullopt;
  }
  for (const auto* sources : {&options.Sitemaps, &options.Feeds})
    for (const std::string& source : *sources)
      if (source.empty()) {
        error = std::string(sources == &options.Sitemaps ? "--sitemap" : "--feed") + " needs a URL or a file name";
        return std::nullopt;
      }
  if (options.ServicesFile == kStandardInputArgument && options.SitesFile == kStandardInputArgument) {
    error = "only one of --services and --sites can read standard input ('-')";
    return std::nullopt;
  }
  if (options.NoLedger && !options.LedgerFile.empty()) {
    error = "--ledger and --no-ledger cannot be given together";
    return std::nullopt;
  }
  return options;
}

std::string HelpText(TCommand command) {
  TRawOptions raw;
  return (command == TCommand::History ? MakeHistoryParser(raw) : MakeParser(raw)).App->help();
}

}  // namespace corvandel::cli
