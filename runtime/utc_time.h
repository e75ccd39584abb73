#pragma once

#include <chrono>
#include <string>

namespace corvandel::runtime {

// A moment as ISO 8601 in UTC with milliseconds: 2024-05-01T12:00:00.250Z.
std::string FormatUTC(std::chrono::system_clock::time_point moment);

}  // namespace corvandel::runtime
