#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvandel::runtime {

// Case changes that touch the ASCII letters only; every other byte or code
// unit, including the letters of other scripts, is kept as it is.
constexpr char LowerCaseChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }
constexpr char UpperCaseChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }

std::string LowerCase(std::string_view text);
std::string UpperCase(std::string_view text);
std::u16string LowerCase(std::u16string_view text);
std::u16string UpperCase(std::u16string_view text);

// Whether text begins with prefix, the ASCII letters compared without case.
constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (LowerCaseChar(text[i]) != LowerCaseChar(prefix[i])) return false;
  return true;
}

}  // namespace corvandel::runtime
