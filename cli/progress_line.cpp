#include "cli/progress_line.h"

#include <cmath>
#include <utility>

namespace corvandel::cli {

namespace {

// Back to the start of the line, and the rest of it erased.
constexpr std::string_view kClearLine = "\r\x1b[K";

std::string ElapsedText(std::chrono::milliseconds elapsed) {
  const int64_t seconds = elapsed.count() / 1000;
  char buffer[48];
  if (seconds >= 3600) {
    std::snprintf(buffer, sizeof(buffer), "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(buffer, sizeof(buffer), "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return buffer;
}

}  // namespace

TProgressLine::TProgressLine(std::FILE* terminal, bool enabled, std::function<std::size_t()> columns,
                             std::function<TClock::time_point()> now)
    : terminal_(terminal), enabled_(enabled), columns_(std::move(columns)), now_(std::move(now)) {}

void TProgressLine::Start(int64_t total) {
  total_ = total;
  success_ = 0;
  error_ = 0;
  started_ = now_();
  running_ = true;
  Tick();
}

void TProgressLine::Count(bool success) { ++(success ? success_ : error_); }

void TProgressLine::Tick() {
  if (!enabled_ || !running_) return;
  const TClock::time_point now = now_();
  if (everDrawn_ && now - drawn_ < kProgressInterval) return;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - started_);
  std::string text = Text(success_ + error_, total_, success_, error_, elapsed);
  // The last column stays free: some terminals wrap when it is written.
  if (const std::size_t columns = columns_ ? columns_() : 0; columns > 1 && text.size() >= columns)
    text.resize(columns - 1);
  if (shown_ && text == lastText_) return;
  const std::string line = std::string(kClearLine) + text;
  std::fwrite(line.data(), 1, line.size(), terminal_);
  std::fflush(terminal_);
  lastText_ = std::move(text);
  drawn_ = now;
  shown_ = true;
  everDrawn_ = true;
}

void TProgressLine::Clear() {
  if (!shown_) return;
  std::fwrite(kClearLine.data(), 1, kClearLine.size(), terminal_);
  std::fflush(terminal_);
  shown_ = false;
}

void TProgressLine::Note(const std::string& line) {
  Clear();
  std::fprintf(terminal_, "%s\n", line.c_str());
  std::fflush(terminal_);
  Tick();
}

void TProgressLine::Finish() {
  Clear();
  running_ = false;
}

std::string TProgressLine::Text(int64_t done, int64_t total, int64_t success, int64_t error,
                                std::chrono::milliseconds elapsed) {
  const double seconds = static_cast<double>(elapsed.count()) / 1000.0;
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  char buffer[160];
  std::snprintf(buffer, sizeof(buffer), "%lld/%lld calls, %lld ok, %lld failed, %s, %.1f calls/s",
                static_cast<long long>(done), static_cast<long long>(total), static_cast<long long>(success),
                static_cast<long long>(error), ElapsedText(elapsed).c_str(), rate);
  std::string text = buffer;
  if (done >= kMinCallsForEstimate && done < total && elapsed >= kMinTimeForEstimate) {
    // The calls left at the pace so far, in whole milliseconds.
    const double left = static_cast<double>(elapsed.count()) * static_cast<double>(total - done) /
                        static_cast<double>(done);
    text += ", " + RemainingText(std::chrono::milliseconds(static_cast<int64_t>(std::ceil(left))));
  }
  return text;
}

std::string TProgressLine::RemainingText(std::chrono::milliseconds remaining) {
  const int64_t seconds = (remaining.count() + 999) / 1000;
  char buffer[48];
  if (seconds < 60) {
    std::snprintf(buffer, sizeof(buffer), "~%llds left", static_cast<long long>(seconds));
  } else if (seconds < 3600) {
    std::snprintf(buffer, sizeof(buffer), "~%lldm%02llds left", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  } else {
    const int64_t minutes = (seconds + 59) / 60;
    std::snprintf(buffer, sizeof(buffer), "~%lldh%02lldm left", static_cast<long long>(minutes / 60),
                  static_cast<long long>(minutes % 60));
  }
  return buffer;
}

}  // namespace corvandel::cli
