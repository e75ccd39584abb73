#include "cli/record_writer.h"

#include <cerrno>
#include <string>

namespace corvandel::cli {

bool TRecordWriter::Begin() { return format_ != TOutputFormat::CSV || WriteLine(CSVHeader()); }

bool TRecordWriter::Result(const engine::TPingResult& result) {
  switch (format_) {
    case TOutputFormat::JSONLines:
      return WriteLine(JSONRecord(result));
    case TOutputFormat::CSV:
      return WriteLine(CSVRecord(result));
    case TOutputFormat::Text:
      break;
  }
  return WriteLine(TextRecord(result));
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
