#include "engine/list_file.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "runtime/file_stream.h"

namespace corvandel::engine {

namespace {

// Appended to the target's name for the file that a save writes first.
constexpr const char* kSaveSuffix = ".saving";

constexpr char kCR = '\r';
constexpr char kLF = '\n';
constexpr char kNUL = '\0';
// Files are read in pieces of this size; reading stops at the first NUL.
constexpr std::size_t kReadBlockSize = 64 * 1024;

}  // namespace

std::vector<std::string> ParseListText(std::string_view text) {
  if (const auto nul = text.find(kNUL); nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = start;
    while (end < text.size() && text[end] != kCR && text[end] != kLF) ++end;
    entries.emplace_back(text.substr(start, end - start));
    if (end == text.size()) break;
    start = end + 1;
    if (text[end] == kCR && start < text.size() && text[start] == kLF) ++start;
  }
  return entries;
}

std::string FormatListText(const std::vector<std::string>& entries) {
  std::size_t size = 0;
  for (const std::string& entry : entries) size += entry.size() + kListLineEnd.size();
  std::string text;
  text.reserve(size);
  for (const std::string& entry : entries) {
    text += entry;
    text += kListLineEnd;
  }
  return text;
}

std::vector<std::string> ReadListFile(const std::string& fileName) {
  runtime::TFileStream file(fileName, runtime::TFileMode::OpenRead);
  std::string text;
  std::array<char, kReadBlockSize> block;
  for (;;) {
    const std::size_t n = file.Read(block.data(), block.size());
    const std::string_view piece(block.data(), n);
    const auto nul = piece.find(kNUL);
    text.append(piece.substr(0, nul));
    if (nul != std::string_view::npos || n < block.size()) break;
  }
  return ParseListText(text);
}

void WriteListFile(const std::string& fileName, const std::vector<std::string>& entries) {
  // The list goes to a new file beside the target, which then replaces the
  // target in one step: a save that fails half-way never destroys the list
  // that was there before.
  const std::string temporary = fileName + kSaveSuffix;
  try {
    runtime::TFileStream file(temporary, runtime::TFileMode::Create);
    file.WriteText(FormatListText(entries));
    file.Flush();
  } catch (const runtime::EStreamError&) {
    std::remove(temporary.c_str());
    throw;
  }
  if (std::rename(temporary.c_str(), fileName.c_str()) != 0) {
    const int error = errno;
    std::remove(temporary.c_str());
    throw runtime::EStreamError("Cannot create file \"" + fileName + "\". " + std::strerror(error));
  }
}

}  // namespace corvandel::engine
