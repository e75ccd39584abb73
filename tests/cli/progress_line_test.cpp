#include "cli/progress_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace corvandel::cli {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(ProgressLineTest, EstimatesTheTimeLeftOnceThePaceTellsIt) {
  const struct {
    int64_t done, total;
    milliseconds elapsed;
    std::string text;
  } cases[] = {
      {0, 40, milliseconds(0), "0/40 calls, 0 ok, 0 failed, 0:00, 0.0 calls/s"},
      // Too early: too few calls, or too little time.
      {2, 40, seconds(30), "2/40 calls, 2 ok, 0 failed, 0:30, 0.1 calls/s"},
      {30, 40, milliseconds(1999), "30/40 calls, 30 ok, 0 failed, 0:01, 15.0 calls/s"},
      {12, 40, seconds(3), "12/40 calls, 12 ok, 0 failed, 0:03, 4.0 calls/s, ~7s left"},
      {10, 40, seconds(20), "10/40 calls, 10 ok, 0 failed, 0:20, 0.5 calls/s, ~1m00s left"},
      {3, 10, seconds(40), "3/10 calls, 3 ok, 0 failed, 0:40, 0.1 calls/s, ~1m34s left"},  // 93.3 s up
      {5, 1000, seconds(20), "5/1000 calls, 5 ok, 0 failed, 0:20, 0.2 calls/s, ~1h07m left"},
      {40, 40, seconds(9), "40/40 calls, 40 ok, 0 failed, 0:09, 4.4 calls/s"},  // only the end is left
  };
  for (const auto& c : cases)
    EXPECT_EQ(TProgressLine::Text(c.done, c.total, c.done, 0, c.elapsed), c.text) << c.done << "/" << c.total;
  EXPECT_EQ(TProgressLine::RemainingText(milliseconds(1)), "~1s left");
  EXPECT_EQ(TProgressLine::RemainingText(seconds(59)), "~59s left");
  EXPECT_EQ(TProgressLine::RemainingText(seconds(3600)), "~1h00m left");
  EXPECT_EQ(TProgressLine::RemainingText(seconds(3601)), "~1h01m left");
}

TEST(ProgressLineTest, RedrawsOnItsOwnClockAndStepsAsideForNotes) {
  std::FILE* terminal = std::tmpfile();
  ASSERT_NE(terminal, nullptr);
  TProgressLine::TClock::time_point now{};
  TProgressLine progress(terminal, true, [] { return std::size_t{80}; }, [&] { return now; });
  progress.Start(4);
  for (int i = 0; i < 3; ++i) progress.Count(i != 1);
  progress.Tick();  // within the interval of the first drawing: not drawn
  now += seconds(3);
  progress.Tick();
  progress.Note("a note");  // drawn again at the next tick after the interval
  now += kProgressInterval;
  progress.Tick();
  progress.Finish();

  std::rewind(terminal);
  std::string written(512, '\0');
  written.resize(std::fread(written.data(), 1, written.size(), terminal));
  std::fclose(terminal);
  EXPECT_EQ(written,
            "\r\x1b[K0/4 calls, 0 ok, 0 failed, 0:00, 0.0 calls/s"
            "\r\x1b[K3/4 calls, 2 ok, 1 failed, 0:03, 1.0 calls/s, ~1s left"
            "\r\x1b[Ka note\n"
            "\r\x1b[K3/4 calls, 2 ok, 1 failed, 0:03, 1.0 calls/s, ~2s left"
            "\r\x1b[K");
}

}  // namespace
}  // namespace corvandel::cli
