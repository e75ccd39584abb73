// Feeds arbitrary bytes to the list-file reader and checks that writing the
// entries and reading them back gives the same list, and that the reading
// options only ever drop lines.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/list_file.h"
#include "runtime/stream.h"

namespace {

using namespace corvandel::engine;

// A saved list whose first entry begins like a byte order mark reads back
// otherwise: such a first entry names no site or service that a user typed.
bool StartsLikeAMark(const std::vector<std::string>& entries) {
  if (entries.empty()) return false;
  const std::string_view first = entries.front();
  return first.substr(0, 3) == "\xEF\xBB\xBF" || first.substr(0, 2) == "\xFF\xFE" || first.substr(0, 2) == "\xFE\xFF";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> entries;
  try {
    entries = ParseListText(text);
  } catch (const corvandel::runtime::EStreamError&) {
    return 0;  // malformed UTF-16
  }
  for (const auto& entry : entries)
    if (entry.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) std::abort();
  if (!StartsLikeAMark(entries) && ParseListText(FormatListText(entries)) != entries) std::abort();

  std::vector<std::string> kept;
  for (const auto& entry : entries)
    if (!entry.empty() && entry.front() != kListCommentMark) kept.push_back(entry);
  if (ParseListText(text, TListReadOptions{true, true}) != kept) std::abort();
  return 0;
}
