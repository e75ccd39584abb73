#include "runtime/ascii_case.h"

namespace corvandel::runtime {

namespace {

template <typename Char>
std::basic_string<Char> MapLetters(std::basic_string_view<Char> text, Char from, Char to) {
  std::basic_string<Char> out(text);
  for (Char& c : out)
    if (c >= from && c <= static_cast<Char>(from + 25)) c = static_cast<Char>(c - from + to);
  return out;
}

}  // namespace

std::string LowerCase(std::string_view text) { return MapLetters<char>(text, 'A', 'a'); }
std::string UpperCase(std::string_view text) { return MapLetters<char>(text, 'a', 'A'); }
std::u16string LowerCase(std::u16string_view text) { return MapLetters<char16_t>(text, u'A', u'a'); }
std::u16string UpperCase(std::u16string_view text) { return MapLetters<char16_t>(text, u'a', u'A'); }

}  // namespace corvandel::runtime
