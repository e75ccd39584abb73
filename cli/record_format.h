#pragma once

// What corvandel-ping writes for each call and for the whole run, in each
// output format. In every format one call is exactly one line, whatever
// bytes a service sends back: the functions here are pure, so every case is
// checked without a run.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/ping_service.h"

namespace corvandel::cli {

enum class TOutputFormat {
  Text,        // the window's log lines, then "Success: N Error: M"
  JSONLines,   // one JSON object per call, then one summary object
  CSV,         // RFC 4180 with a header row; the summary goes to stderr
};

inline constexpr std::string_view kTextFormatName = "text";
inline constexpr std::string_view kJSONLinesFormatName = "jsonl";
inline constexpr std::string_view kCSVFormatName = "csv";

std::optional<TOutputFormat> ParseOutputFormat(std::string_view name);

// The run as a whole, for the summary.
struct TRunSummary {
  int64_t Success = 0;
  int64_t Error = 0;
  // Calls not made because their service line is too short to name one.
  int64_t Skipped = 0;
  std::chrono::steady_clock::duration Elapsed{};
  // Stopped before every site was done.
  bool Interrupted = false;
};

// text with every byte that would end a line or that a terminal acts on
// written as an escape: CR, LF and tab as \r, \n and \t, the other C0
// controls and DEL as \xNN, and the UTF-8 form of the C1 controls
// (U+0080 to U+009F) as its two bytes, \xc2\xNN. Every other byte stays as
// it is, invalid UTF-8 included. With escapeBackslash a backslash becomes
// \\, so that the escapes can be undone.
std::string EscapeControls(std::string_view text, bool escapeBackslash = false);

// A moment as ISO 8601 in UTC with milliseconds: 2024-05-01T12:00:00.250Z.
std::string FormatUTC(std::chrono::system_clock::time_point moment);
// A duration in milliseconds, to the microsecond: 12.345.
double Milliseconds(std::chrono::steady_clock::duration duration);

// One call's line, without the line end.
std::string TextRecord(const engine::TPingResult& result);
std::string JSONRecord(const engine::TPingResult& result);
std::string CSVRecord(const engine::TPingResult& result);
// The first line of the CSV output.
std::string CSVHeader();

// The failed call's reason for standard error, beside its text line:
// "SERVICE URL:SITE reason: REASON".
std::string ReasonLine(const engine::TPingResult& result);

// "Success: N Error: M".
std::string TextSummary(const TRunSummary& summary);
std::string JSONSummary(const TRunSummary& summary);

// The line end of each format: CR LF for CSV, as RFC 4180 has it, LF
// otherwise.
std::string_view LineEnd(TOutputFormat format);

}  // namespace corvandel::cli
