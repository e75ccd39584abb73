#pragma once

#include <string>
#include <string_view>

namespace corvandel::runtime {

// The system code page is UTF-8 on this platform. Widening replaces every
// ill-formed sequence (each maximal invalid subpart) with U+FFFD; narrowing
// replaces every unpaired surrogate with U+FFFD.
std::u16string SystemToUTF16(std::string_view text);
std::string UTF16ToSystem(std::u16string_view text);

}  // namespace corvandel::runtime
