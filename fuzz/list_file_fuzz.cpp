// Feeds arbitrary bytes to the list-file reader and checks that writing the
// entries and reading them back gives the same list.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/list_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace corvandel::engine;
  const auto entries = ParseListText(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const auto& entry : entries)
    if (entry.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) std::abort();
  if (ParseListText(FormatListText(entries)) != entries) std::abort();
  return 0;
}
