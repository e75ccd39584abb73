#include "cli/record_format.h"

#include <time.h>

#include <charconv>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "engine/announce_call.h"
#include "engine/run_controller.h"

namespace corvandel::cli {

namespace {

using TJSON = nlohmann::ordered_json;

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr unsigned char kC1Lead = 0xC2;  // U+0080 to U+009F are C2 80 to C2 9F
constexpr unsigned char kC1First = 0x80;
constexpr unsigned char kC1Last = 0x9F;
constexpr unsigned char kDelete = 0x7F;
constexpr std::string_view kReasonLabel = " reason: ";

bool IsC1Pair(std::string_view text, std::size_t i) {
  if (static_cast<unsigned char>(text[i]) != kC1Lead || i + 1 >= text.size()) return false;
  const auto next = static_cast<unsigned char>(text[i + 1]);
  return next >= kC1First && next <= kC1Last;
}

void AppendHexEscape(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0F];
}

std::string_view BoolText(bool value) { return value ? "true" : "false"; }

std::string NumberText(double value) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return error == std::errc() ? std::string(buffer, end) : std::string("0");
}

// An RFC 4180 field: quoted when it holds a comma or a quote, with quotes
// doubled. The escapes leave no line end inside it.
std::string CSVField(std::string_view text) {
  const std::string escaped = EscapeControls(text, true);
  if (escaped.find_first_of(",\"") == std::string::npos) return escaped;
  std::string quoted = "\"";
  for (const char c : escaped) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

// The JSON text of value on one line. Bytes that are not UTF-8 become
// U+FFFD instead of an exception; the C1 controls and DEL, which JSON
// passes through, are written as \u escapes too, so that no terminal acts
// on them.
std::string DumpLine(const TJSON& value) {
  const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == kDelete) {
      out += "\\u007f";
    } else if (IsC1Pair(text, i)) {
      const auto code = static_cast<unsigned char>(text[++i]);
      out += "\\u00";
      out += kHexDigits[code >> 4];
      out += kHexDigits[code & 0x0F];
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::optional<TOutputFormat> ParseOutputFormat(std::string_view name) {
  if (name == kTextFormatName) return TOutputFormat::Text;
  if (name == kJSONLinesFormatName) return TOutputFormat::JSONLines;
  if (name == kCSVFormatName) return TOutputFormat::CSV;
  return std::nullopt;
}

std::string EscapeControls(std::string_view text, bool escapeBackslash) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == kDelete) {
      AppendHexEscape(out, byte);
    } else if (IsC1Pair(text, i)) {
      AppendHexEscape(out, byte);
      AppendHexEscape(out, static_cast<unsigned char>(text[++i]));
    } else if (byte == '\\' && escapeBackslash) {
      out += "\\\\";
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string FormatUTC(std::chrono::system_clock::time_point moment) {
  using namespace std::chrono;
  const auto since = duration_cast<milliseconds>(moment.time_since_epoch());
  // Whole seconds rounded down, so that moments before 1970 keep a
  // millisecond part between 0 and 999.
  auto seconds = duration_cast<std::chrono::seconds>(since);
  if (seconds > since) seconds -= std::chrono::seconds(1);
  const auto millis = (since - seconds).count();
  const time_t whole = static_cast<time_t>(seconds.count());
  tm parts{};
  if (!gmtime_r(&whole, &parts)) return {};
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis));
  return buffer;
}

double Milliseconds(std::chrono::steady_clock::duration duration) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  return static_cast<double>(micros) / 1000.0;
}

std::string TextRecord(const engine::TPingResult& result) { return EscapeControls(engine::LogLine(result)); }

std::string JSONRecord(const engine::TPingResult& result) {
  TJSON record;
  record["type"] = "result";
  record["service"] = result.ServiceURL;
  record["site"] = result.SiteURL;
  record["thread"] = result.ThreadNum;
  record["success"] = result.Success;
  record["code"] = result.Code;
  record["answer"] = result.Answer;
  record["reason"] = result.Success ? std::string() : result.Reason;
  record["elapsed_ms"] = Milliseconds(result.Elapsed);
  record["started"] = FormatUTC(result.Started);
  record["kind"] = engine::KindName(result.Kind);
  return DumpLine(record);
}

// kind came last, after the columns scripts already read by position.
std::string CSVHeader() { return "service,site,thread,success,code,answer,reason,elapsed_ms,started,kind"; }

std::string CSVRecord(const engine::TPingResult& result) {
  std::string line;
  line += CSVField(result.ServiceURL);
  line += ',';
  line += CSVField(result.SiteURL);
  line += ',';
  line += std::to_string(result.ThreadNum);
  line += ',';
  line += BoolText(result.Success);
  line += ',';
  line += std::to_string(result.Code);
  line += ',';
  line += CSVField(result.Answer);
  line += ',';
  line += CSVField(result.Success ? std::string_view() : std::string_view(result.Reason));
  line += ',';
  line += NumberText(Milliseconds(result.Elapsed));
  line += ',';
  line += FormatUTC(result.Started);
  line += ',';
  line += engine::KindName(result.Kind);
  return line;
}

std::string ReasonLine(const engine::TPingResult& result) {
  return EscapeControls(result.ServiceURL + std::string(engine::kLogURLLabel) + result.SiteURL +
                        std::string(kReasonLabel) + result.Reason);
}

std::string TextSummary(const TRunSummary& summary) {
  return "Success: " + std::to_string(summary.Success) + " Error: " + std::to_string(summary.Error);
}

std::string JSONSummary(const TRunSummary& summary) {
  TJSON record;
  record["type"] = "summary";
  record["success"] = summary.Success;
  record["error"] = summary.Error;
  record["skipped"] = summary.Skipped;
  record["elapsed_ms"] = Milliseconds(summary.Elapsed);
  record["interrupted"] = summary.Interrupted;
  return DumpLine(record);
}

std::string_view LineEnd(TOutputFormat format) { return format == TOutputFormat::CSV ? "\r\n" : "\n"; }

}  // namespace corvandel::cli
