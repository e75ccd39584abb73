#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvandel::runtime {

// The system code page is UTF-8 on this platform. Widening replaces every
// ill-formed sequence (each maximal invalid subpart) with U+FFFD; narrowing
// replaces every unpaired surrogate with U+FFFD.
std::u16string SystemToUTF16(std::string_view text);
std::string UTF16ToSystem(std::u16string_view text);

// The UTF-8 character that starts text at index i (i < text.size()). A
// well-formed one gives its length and code point; an ill-formed one (an
// overlong form, a surrogate, a value past U+10FFFF, a stray or cut-off
// byte) gives Valid false and the length of its maximal invalid subpart,
// at least 1, which a decoder replaces as one character.
struct TUTF8Character {
  std::size_t Length = 1;
  char32_t Code = 0;
  bool Valid = false;
};
TUTF8Character DecodeUTF8(std::string_view text, std::size_t i);

// Appends the UTF-8 form of a code point (at most U+10FFFF, no surrogate).
void AppendUTF8(std::string& out, char32_t code);

}  // namespace corvandel::runtime
