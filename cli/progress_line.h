#pragma once

// The live progress line on a terminal's standard error: calls done of the
// total, successes, errors, the time so far, the calls per second and,
// once the run has gone on long enough to tell, the time left, drawn over
// itself with a carriage return. It is redrawn at most every
// kProgressInterval, taken away before any other line is written to the
// terminal (and drawn again at the next chance) and cleared at the end, so
// that the terminal keeps only the ordinary lines.
//
// Whether there is a terminal is the caller's to say: an object made with
// enabled false writes its notes as plain lines and never draws.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace corvandel::cli {

inline constexpr std::chrono::milliseconds kProgressInterval{100};
// The time left is estimated from the pace so far, once this many calls
// are done and this much time has passed: the first calls of a batch end
// together, and their pace says little.
inline constexpr int64_t kMinCallsForEstimate = 3;
inline constexpr std::chrono::seconds kMinTimeForEstimate{2};

class TProgressLine {
public:
  using TClock = std::chrono::steady_clock;

  // columns, when given, tells the terminal's width (0 when unknown): a
  // longer line would wrap, and a carriage return would no longer take it
  // back, so the text is cut to fit.
  TProgressLine(std::FILE* terminal, bool enabled, std::function<std::size_t()> columns = {},
                std::function<TClock::time_point()> now = TClock::now);

  bool Enabled() const { return enabled_; }

  // The run begins with total calls to make.
  void Start(int64_t total);
  void Count(bool success);
  // Draws the line when it is not on the terminal or its text changed, and
  // the last drawing is at least kProgressInterval ago. For a timer.
  void Tick();
  // Takes the line off the terminal before something else is written to it.
  void Clear();
  // Writes one line to the terminal, with the progress line out of its way.
  void Note(const std::string& line);
  // Clears the line for good.
  void Finish();

  // The line's text, e.g.
  // "12/40 calls, 11 ok, 1 failed, 0:03, 4.0 calls/s, ~10s left".
  static std::string Text(int64_t done, int64_t total, int64_t success, int64_t error,
                          std::chrono::milliseconds elapsed);

  // The time left as the line shows it: "~45s left", "~1m20s left",
  // "~2h05m left", rounded up to the next second or minute.
  static std::string RemainingText(std::chrono::milliseconds remaining);

private:
  std::FILE* terminal_;
  bool enabled_;
  bool running_ = false;
  std::function<std::size_t()> columns_;
  std::function<TClock::time_point()> now_;
  TClock::time_point started_{};
  TClock::time_point drawn_{};
  bool shown_ = false;
  bool everDrawn_ = false;
  std::string lastText_;
  int64_t total_ = 0;
  int64_t success_ = 0;
  int64_t error_ = 0;
};

}  // namespace corvandel::cli
