#pragma once

// A keyed hash for tables whose keys come from documents nobody controls.
// The key is drawn at random once per process, so nobody outside can choose
// names that all land in one bucket.

#include <cstddef>
#include <cstdint>

#include "xml/dom_string.h"

namespace corvandel::xml {

// SipHash-1-3 of the code units (each as two little-endian bytes) under the
// process key, with tweak folded into the key, reduced to 32 bits.
uint32_t KeyedHashChars(const DOMChar* chars, std::size_t length, uint64_t tweak = 0);
inline uint32_t KeyedHashChars(DOMStringView text, uint64_t tweak = 0) {
  return KeyedHashChars(text.data(), text.size(), tweak);
}

}  // namespace corvandel::xml
