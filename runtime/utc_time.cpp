#include "runtime/utc_time.h"

#include <cstdio>
#include <ctime>

namespace corvandel::runtime {

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

}  // namespace corvandel::runtime
