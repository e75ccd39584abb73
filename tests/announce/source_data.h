#pragma once

// What the source reader tests share: the recorded sitemaps and feeds, and
// moments written as milliseconds since the epoch.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "ledger/ledger.h"

namespace corvandel::announce::test_data {

// The bytes of a file in tests/announce/data.
inline std::string DataFile(const std::string& name) {
  std::ifstream in(std::string(CORVANDEL_ANNOUNCE_DATA) + "/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline ledger::TTime Millis(int64_t ms) { return ledger::TTime(std::chrono::milliseconds(ms)); }

}  // namespace corvandel::announce::test_data
