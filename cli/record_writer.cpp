#include "cli/record_writer.h"

#include <cerrno>
#include <string>

namespace corvandel::cli {

bool TRecordWriter::Begin(TContent content) {
  if (format_ != TOutputFormat::CSV) return true;
  switch (content) {
    case TContent::Plan: return WriteLine(CSVPlanHeader());
    case TContent::History: return WriteLine(CSVHistoryHeader());
    case TContent::Results: break;
  }
  return WriteLine(CSVHeader());
}

template <typename TRecord>
bool TRecordWriter::Write(const TRecord& record, std::string (*text)(const TRecord&),
                          std::string (*json)(const TRecord&), std::string (*csv)(const TRecord&)) {
  switch (format_) {
    case TOutputFormat::JSONLines: return WriteLine(json(record));
    case TOutputFormat::CSV: return WriteLine(csv(record));
    case TOutputFormat::Text: break;
  }
  return WriteLine(text(record));
}

bool TRecordWriter::Result(const engine::TPingResult& result) {
  return Write(result, TextRecord, JSONRecord, CSVRecord);
}

bool TRecordWriter::Plan(const TPlannedRecord& record) {
  return Write(record, TextPlanRecord, JSONPlanRecord, CSVPlanRecord);
}

bool TRecordWriter::History(const THistoryRecord& record) {
  return Write(record, TextHistoryRecord, JSONHistoryRecord, CSVHistoryRecord);
}

bool TRecordWriter::Summary(const TRunSummary& summary) {
  switch (format_) {
    case TOutputFormat::JSONLines:
      return WriteLine(JSONSummary(summary));
    case TOutputFormat::CSV:
      return !failed_;
    case TOutputFormat::Text:
      break;
  }
  return WriteLine(TextSummary(summary));
}

bool TRecordWriter::WriteLine(std::string_view line) {
  if (failed_) return false;
  const std::string_view end = LineEnd(format_);
  errno = 0;
  const bool written = std::fwrite(line.data(), 1, line.size(), out_) == line.size() &&
                       std::fwrite(end.data(), 1, end.size(), out_) == end.size() && std::fflush(out_) == 0;
  if (!written) {
    failed_ = true;
    failureCode_ = errno != 0 ? errno : EIO;
    // What is left in the buffer could never be written either.
    std::clearerr(out_);
  }
  return written;
}

}  // namespace corvandel::cli
