// Feeds arbitrary bytes to the reading of an endpoint's own words, as a
// refusing IndexNow endpoint's body, and checks the bound on what it keeps.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/announce_call.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const std::string words = corvandel::engine::EndpointWords(body);
  if (words.size() > corvandel::engine::kMaxAnswerText) std::abort();
  return 0;
}
