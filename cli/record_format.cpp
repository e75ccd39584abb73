#include "cli/record_format.h"


#include <charconv>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "engine/announce_call.h"
#include "engine/run_controller.h"
#include "runtime/code_page.h"

namespace corvandel::cli {

namespace {

using TJSON = nlohmann::ordered_json;

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kC1First = 0x80;
constexpr unsigned char kC1Last = 0x9F;
constexpr std::string_view kReasonLabel = " reason: ";

// The characters that are escaped although they are valid UTF-8: the C1
// controls, and those that change the direction of the text after them.
bool IsSteeringCharacter(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

// The length of the well-formed UTF-8 character at text[i] and its code
// point; 0 when the bytes there are none.
std::size_t UTF8Character(std::string_view text, std::size_t i, char32_t& code) {
  const runtime::TUTF8Character character = runtime::DecodeUTF8(text, i);
  if (!character.Valid) return 0;
  code = character.Code;
  return character.Length;
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
// U+FFFD instead of an exception; DEL, the C1 controls and the direction
// controls, which JSON passes through, are written as \u escapes too, so
// that no terminal acts on them and the text still reads back the same.
std::string DumpLine(const TJSON& value) {
  const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = static_cast<unsigned char>(text[i]);
    std::size_t length = code < 0x80 ? 1 : UTF8Character(text, i, code);
    if (code == kDelete || (length > 1 && IsSteeringCharacter(code))) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(code));
      out += escape;
    } else {
      out.append(text, i, length == 0 ? 1 : length);
    }
    if (length > 1) i += length - 1;
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
    } else if (byte == '\\') {
      out += escapeBackslash ? "\\\\" : "\\";
    } else if (byte < 0x80) {
      out += text[i];
    } else if (char32_t code = 0; const std::size_t length = UTF8Character(text, i, code)) {
      for (std::size_t k = 0; k < length; ++k) {
        if (IsSteeringCharacter(code))
          AppendHexEscape(out, static_cast<unsigned char>(text[i + k]));
        else
          out += text[i + k];
      }
      i += length - 1;
    } else if (byte >= kC1First && byte <= kC1Last) {
      AppendHexEscape(out, byte);
    } else {
      out += text[i];
    }
  }
  return out;
}

double Milliseconds(std::chrono::steady_clock::duration duration) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  return static_cast<double>(micros) / 1000.0;
}

std::string TextRecord(const engine::TPingResult& result) { return EscapeControls(engine::LogLine(result)); }

std::string JSONRecord(const engine::TPingResult& result) {
  TJSON record;
  record[std::string(kRecordTypeField)] = kResultType;
  for (const auto& field : kResultFields) {
    TJSON& value = record[std::string(field.Name)];
    switch (field.Field) {
      case TResultField::Service: value = result.ServiceURL; break;
      case TResultField::Site: value = result.SiteURL; break;
      case TResultField::Thread: value = result.ThreadNum; break;
      case TResultField::Success: value = result.Success; break;
      case TResultField::Code: value = result.Code; break;
      case TResultField::Answer: value = result.Answer; break;
      case TResultField::Reason: value = result.Success ? std::string() : result.Reason; break;
      case TResultField::ElapsedMs: value = Milliseconds(result.Elapsed); break;
      case TResultField::Started: value = FormatUTC(result.Started); break;
      case TResultField::Kind: value = engine::KindName(result.Kind); break;
      case TResultField::URLs: value = result.URLs; break;
      case TResultField::Retryable: value = result.Retryable; break;
      case TResultField::RetryAt:
        if (result.RetryAt) value = FormatUTC(*result.RetryAt);
        break;
      case TResultField::Attempts: value = result.Attempts; break;
    }
  }
  return DumpLine(record);
}

std::string CSVHeader() {
  std::string line;
  for (const auto& field : kResultFields) {
    if (!line.empty()) line += ',';
    line += field.Name;
  }
  return line;
}

std::string CSVRecord(const engine::TPingResult& result) {
  std::string line;
  for (const auto& field : kResultFields) {
    if (field.Field != kResultFields.front().Field) line += ',';
    switch (field.Field) {
      case TResultField::Service: line += CSVField(result.ServiceURL); break;
      case TResultField::Site: line += CSVField(result.SiteURL); break;
      case TResultField::Thread: line += std::to_string(result.ThreadNum); break;
      case TResultField::Success: line += BoolText(result.Success); break;
      case TResultField::Code: line += std::to_string(result.Code); break;
      case TResultField::Answer: line += CSVField(result.Answer); break;
      case TResultField::Reason: line += CSVField(result.Success ? std::string_view() : result.Reason); break;
      case TResultField::ElapsedMs: line += NumberText(Milliseconds(result.Elapsed)); break;
      case TResultField::Started: line += FormatUTC(result.Started); break;
      case TResultField::Kind: line += engine::KindName(result.Kind); break;
      case TResultField::URLs: line += std::to_string(result.URLs); break;
      case TResultField::Retryable: line += BoolText(result.Retryable); break;
      case TResultField::RetryAt:
        if (result.RetryAt) line += FormatUTC(*result.RetryAt);
        break;
      case TResultField::Attempts: line += std::to_string(result.Attempts); break;
    }
  }
  return line;
}

namespace {

std::string JoinedURLs(const std::vector<std::string>& urls) {
  std::string joined;
  for (const std::string& url : urls) {
    if (!joined.empty()) joined += ' ';
    joined += url;
  }
  return joined;
}

template <typename... TFields>
std::string CSVLine(const TFields&... fields) {
  std::string line;
  bool first = true;
  ((line += first ? "" : ",", line += fields, first = false), ...);
  return line;
}

}  // namespace

std::string TextPlanRecord(const TPlannedRecord& record) {
  return EscapeControls("plan: " + record.Service + std::string(engine::kLogURLLabel) + record.Site +
                        " URLs:" + std::to_string(record.URLs.size()));
}

std::string JSONPlanRecord(const TPlannedRecord& record) {
  TJSON line;
  line[std::string(kRecordTypeField)] = kPlanType;
  line["kind"] = engine::KindName(record.Kind);
  line["service"] = record.Service;
  line["site"] = record.Site;
  line["urls"] = record.URLs;
  return DumpLine(line);
}

std::string CSVPlanHeader() { return "kind,service,site,urls"; }

std::string CSVPlanRecord(const TPlannedRecord& record) {
  return CSVLine(std::string(engine::KindName(record.Kind)), CSVField(record.Service), CSVField(record.Site),
                 CSVField(JoinedURLs(record.URLs)));
}

std::string TextHistoryRecord(const THistoryRecord& record) {
  std::string line = FormatUTC(record.Started) + " run " + std::to_string(record.Run) + " " + record.Service +
                     std::string(engine::kLogURLLabel) + record.Site + std::string(engine::kLogCodeLabel) +
                     std::to_string(record.Code) + std::string(engine::kLogAnswerLabel) + record.Answer +
                     " URLs:" + std::to_string(record.URLs.size());
  if (!record.Success) line += " Reason:" + record.Reason;
  return EscapeControls(line);
}

std::string JSONHistoryRecord(const THistoryRecord& record) {
  TJSON line;
  line[std::string(kRecordTypeField)] = kCallType;
  line["run"] = record.Run;
  line["service"] = record.Service;
  line["kind"] = record.Kind;
  line["site"] = record.Site;
  line["urls"] = record.URLs;
  line["success"] = record.Success;
  line["code"] = record.Code;
  line["answer"] = record.Answer;
  line["reason"] = record.Reason;
  line["started"] = FormatUTC(record.Started);
  line["elapsed_ms"] = static_cast<double>(record.Elapsed.count()) / 1000.0;
  return DumpLine(line);
}

std::string CSVHistoryHeader() { return "run,service,kind,site,urls,success,code,answer,reason,started,elapsed_ms"; }

std::string CSVHistoryRecord(const THistoryRecord& record) {
  return CSVLine(std::to_string(record.Run), CSVField(record.Service), CSVField(record.Kind), CSVField(record.Site),
                 CSVField(JoinedURLs(record.URLs)), std::string(BoolText(record.Success)), std::to_string(record.Code),
                 CSVField(record.Answer), CSVField(record.Reason), FormatUTC(record.Started),
                 NumberText(static_cast<double>(record.Elapsed.count()) / 1000.0));
}

std::string ReasonLine(const engine::TPingResult& result) {
  return EscapeControls(result.ServiceURL + std::string(engine::kLogURLLabel) + result.SiteURL +
                        std::string(kReasonLabel) + result.Reason);
}

std::string TextSummary(const TRunSummary& summary) {
  if (summary.DryRun)
    return "Planned: " + std::to_string(summary.Planned) + " Unchanged: " + std::to_string(summary.Unchanged);
  return "Success: " + std::to_string(summary.Success) + " Error: " + std::to_string(summary.Error);
}

std::string JSONSummary(const TRunSummary& summary) {
  TJSON record;
  record[std::string(kRecordTypeField)] = kSummaryType;
  for (const auto& field : kSummaryFields) {
    TJSON& value = record[std::string(field.Name)];
    switch (field.Field) {
      case TSummaryField::Success: value = summary.Success; break;
      case TSummaryField::Error: value = summary.Error; break;
      case TSummaryField::Skipped: value = summary.Skipped; break;
      case TSummaryField::ElapsedMs: value = Milliseconds(summary.Elapsed); break;
      case TSummaryField::Interrupted: value = summary.Interrupted; break;
      case TSummaryField::Unchanged: value = summary.Unchanged; break;
      case TSummaryField::DryRun: value = summary.DryRun; break;
      case TSummaryField::Deferred: value = summary.Deferred; break;
      case TSummaryField::Retried: value = summary.Retried; break;
    }
  }
  return DumpLine(record);
}

std::string_view LineEnd(TOutputFormat format) { return format == TOutputFormat::CSV ? "\r\n" : "\n"; }

}  // namespace corvandel::cli
