#pragma once

#include <string>
#include <string_view>

namespace corvandel::xml {

// All text of the XML side is UTF-16.
using DOMChar = char16_t;
using DOMString = std::u16string;
using DOMStringView = std::u16string_view;

}  // namespace corvandel::xml
