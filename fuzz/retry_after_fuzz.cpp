// Feeds arbitrary bytes to the reading of a Retry-After value, as an
// endpoint that asks for a pause sends it, and checks that every pause
// stays within its bounds.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "announce/delivery_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace corvandel;
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  const ledger::TTime now{std::chrono::milliseconds(1800000000000)};
  const ledger::TTime until = announce::HoldEnd(value, now);
  if (until < now || until > now + announce::kMaxHold) std::abort();
  announce::ParseRetryAfter(value, now);
  return 0;
}
