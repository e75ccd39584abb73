#include "runtime/code_page.h"

#include <cstdint>

namespace corvandel::runtime {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void AppendUTF8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::u16string SystemToUTF16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      out += static_cast<char16_t>(lead);
      ++p;
      continue;
    }
    // Lead byte: sequence length and the allowed range of the second byte,
    // which excludes overlong forms, surrogates and values past U+10FFFF.
    int length = 0;
    unsigned char low = 0x80, high = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out += kReplacement;
      ++p;
      continue;
    }
    const unsigned char* q = p + 1;
    bool valid = true;
    for (int i = 1; i < length; ++i, ++q) {
      const bool inRange = q < end && (i == 1 ? (*q >= low && *q <= high) : IsContinuation(*q));
      if (!inRange) {
        valid = false;
        break;
      }
      cp = (cp << 6) | (*q & 0x3F);
    }
    if (!valid) {
      // The maximal subpart read so far becomes one replacement character.
      out += kReplacement;
      p = q;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    p = q;
  }
  return out;
}

std::string UTF16ToSystem(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      AppendUTF8(out, cp);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUTF8(out, kReplacement);
    } else {
      AppendUTF8(out, unit);
    }
  }
  return out;
}

}  // namespace corvandel::runtime
