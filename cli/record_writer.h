#pragma once

// The records of a run on standard output (or any stream), in one format,
// each line flushed as it is written so that a script reading a pipe sees
// every call as it ends. The first failed write or flush is kept and ends
// the writing: a full disk or a closed pipe is reported once, by the
// caller, instead of at every line.

#include <cstdio>
#include <string_view>

#include "cli/record_format.h"
#include "engine/ping_service.h"

namespace corvandel::cli {

class TRecordWriter {
public:
  TRecordWriter(std::FILE* out, TOutputFormat format) : out_(out), format_(format) {}

  TOutputFormat Format() const { return format_; }
  // What the lines hold: finished calls, a dry run's planned calls, or the
  // calls history lists. It picks the CSV header.
  enum class TContent { Results, Plan, History };

  // What comes before the first line: the CSV header of the content.
  bool Begin(TContent content = TContent::Results);
  bool Result(const engine::TPingResult& result);
  bool Plan(const TPlannedRecord& record);
  bool History(const THistoryRecord& record);
  // The summary of the formats that end with one on this stream; CSV has
  // none.
  bool Summary(const TRunSummary& summary);

  // Whether a write or flush has failed, and its errno.
  bool Failed() const { return failed_; }
  int FailureCode() const { return failureCode_; }

private:
  bool WriteLine(std::string_view line);
  // The line of the writer's format, from one of a record's three writers.
  template <typename TRecord>
  bool Write(const TRecord& record, std::string (*text)(const TRecord&), std::string (*json)(const TRecord&),
             std::string (*csv)(const TRecord&));

  std::FILE* out_;
  TOutputFormat format_;
  bool failed_ = false;
  int failureCode_ = 0;
};

}  // namespace corvandel::cli
