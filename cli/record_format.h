#pragma once

// What corvandel-ping writes for each call and for the whole run, in each
// output format. In every format one call is exactly one line, whatever
// bytes a service sends back: the functions here are pure, so every case is
// checked without a run.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ping_service.h"
#include "runtime/utc_time.h"

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

// The fields of one call's record in the jsonl and csv formats, in their
// order there, with what --help says of them. The writers and the help
// text both read this table.
enum class TResultField {
  Service, Site, Thread, Success, Code, Answer, Reason, ElapsedMs, Started, Kind, URLs, Retryable, RetryAt, Attempts
};
enum class TSummaryField { Success, Error, Skipped, ElapsedMs, Interrupted, Unchanged, DryRun, Deferred, Retried };

template <typename TField>
struct TFieldInfo {
  TField Field;
  std::string_view Name;
  std::string_view Meaning;
};

// Fields are only ever added at the end, after the columns that scripts
// already read by position.
inline constexpr std::array<TFieldInfo<TResultField>, 14> kResultFields = {{
    {TResultField::Service, "service", "the service line as listed"},
    {TResultField::Site, "site", "the site as pinged, with \"http://\" when it was added"},
    {TResultField::Thread, "thread", "the worker that made the call, 1 to N"},
    {TResultField::Success, "success", "true when the call counts as a success"},
    {TResultField::Code, "code", "the HTTP status; 0 when no HTTP exchange took place"},
    {TResultField::Answer, "answer", "the service's message, as in the text format"},
    {TResultField::Reason, "reason", "why the call failed; empty on success"},
    {TResultField::ElapsedMs, "elapsed_ms", "how long the call took, in milliseconds"},
    {TResultField::Started, "started", "when the call began, ISO 8601 in UTC with milliseconds"},
    {TResultField::Kind, "kind", "what the service line asks for: xmlrpc, indexnow or websub"},
    {TResultField::URLs, "urls", "how many page URLs the call carried (1 for a site alone)"},
    {TResultField::Retryable, "retryable", "true when a failure may pass: calling again later may succeed"},
    {TResultField::RetryAt, "retry_at", "when the endpoint asked to be called again, ISO 8601 in UTC; else null"},
    {TResultField::Attempts, "attempts", "the calls made, retries included; 0 for a deferred call"},
}};

inline constexpr std::array<TFieldInfo<TSummaryField>, 9> kSummaryFields = {{
    {TSummaryField::Success, "success", "the calls that succeeded"},
    {TSummaryField::Error, "error", "the calls that failed"},
    {TSummaryField::Skipped, "skipped", "the calls not made for service lines of 4 characters or fewer"},
    {TSummaryField::ElapsedMs, "elapsed_ms", "how long the whole run took, in milliseconds"},
    {TSummaryField::Interrupted, "interrupted", "true when the run was stopped before every site was done"},
    {TSummaryField::Unchanged, "unchanged", "URLs and sites left out as already announced"},
    {TSummaryField::DryRun, "dry_run", "true when the calls were only planned (--dry-run)"},
    {TSummaryField::Deferred, "deferred", "the calls not made because their endpoint asked to wait"},
    {TSummaryField::Retried, "retried", "the calls that took more than one attempt"},
}};

// The jsonl field that tells a call's record from the summary, and its values.
inline constexpr std::string_view kRecordTypeField = "type";
inline constexpr std::string_view kResultType = "result";
inline constexpr std::string_view kSummaryType = "summary";
inline constexpr std::string_view kPlanType = "plan";
inline constexpr std::string_view kCallType = "call";

// The run as a whole, for the summary.
struct TRunSummary {
  int64_t Success = 0;
  int64_t Error = 0;
  // Calls not made because their service line is too short to name one.
  int64_t Skipped = 0;
  std::chrono::steady_clock::duration Elapsed{};
  // Stopped before every site was done.
  bool Interrupted = false;
  // URLs and sites the ledger left out as announced already.
  int64_t Unchanged = 0;
  // Only planned: nothing was called.
  bool DryRun = false;
  // The calls a dry run planned.
  int64_t Planned = 0;
  // Calls not made because their endpoint asked to wait (errors too).
  int64_t Deferred = 0;
  // Calls that took more than one attempt.
  int64_t Retried = 0;
};

// One call a dry run would make.
struct TPlannedRecord {
  engine::TServiceKind Kind = engine::TServiceKind::XMLRPC;
  std::string Service;  // the service line as listed
  std::string Site;     // what the call would announce
  std::vector<std::string> URLs;
};

// One recorded call, as history lists it.
struct THistoryRecord {
  int64_t Run = 0;
  std::string Service;
  std::string Kind;
  std::string Site;
  std::vector<std::string> URLs;
  bool Success = false;
  int32_t Code = 0;
  std::string Answer;
  std::string Reason;
  std::chrono::system_clock::time_point Started;
  std::chrono::microseconds Elapsed{};
};

// text with every byte that would end a line, that a terminal acts on or
// that reorders what a terminal shows written as an escape: CR, LF and tab
// as \r, \n and \t; the other C0 controls and DEL as \xNN; the C1
// controls (U+0080 to U+009F) and the bidirectional embeddings, overrides
// and isolates (U+202A to U+202E, U+2066 to U+2069) as their UTF-8 bytes,
// \xc2\x9b or \xe2\x80\xae; and a byte from 0x80 to 0x9F that is not part
// of a UTF-8 character as \xNN too, since an 8-bit terminal takes it for a
// C1 control. Every other byte stays as it is, other invalid UTF-8
// included. With escapeBackslash a backslash becomes \\, so that the
// escapes can be undone.
std::string EscapeControls(std::string_view text, bool escapeBackslash = false);

using runtime::FormatUTC;
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

// A dry run's planned call: "plan: SERVICE URL:SITE URLs:N"; in jsonl type
// "plan" with kind, service, site and the urls themselves; in CSV the same
// fields, the URLs separated by blanks.
std::string TextPlanRecord(const TPlannedRecord& record);
std::string JSONPlanRecord(const TPlannedRecord& record);
std::string CSVPlanRecord(const TPlannedRecord& record);
std::string CSVPlanHeader();

// A recorded call: "STARTED run N SERVICE URL:SITE Code:C Answer:A URLs:N",
// with " Reason:R" after a failure; in jsonl type "call" with run, service,
// kind, site, urls, success, code, answer, reason, started and elapsed_ms;
// in CSV the same fields, the URLs separated by blanks.
std::string TextHistoryRecord(const THistoryRecord& record);
std::string JSONHistoryRecord(const THistoryRecord& record);
std::string CSVHistoryRecord(const THistoryRecord& record);
std::string CSVHistoryHeader();

// "Success: N Error: M"; for a dry run "Planned: N Unchanged: M".
std::string TextSummary(const TRunSummary& summary);
std::string JSONSummary(const TRunSummary& summary);

// The line end of each format: CR LF for CSV, as RFC 4180 has it, LF
// otherwise.
std::string_view LineEnd(TOutputFormat format);

}  // namespace corvandel::cli
