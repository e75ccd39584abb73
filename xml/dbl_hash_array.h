#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "xml/dom_string.h"

namespace corvandel::xml {

// Finds duplicate (namespace URI, local name) pairs among the attributes of
// one element. The array keeps references to the strings it is given, so it
// is valid only while one element's attributes are examined; Init before
// each element frees every slot by changing one stamp instead of clearing.
class TDblHashArray {
public:
  // Prepares for an element with count (at least 1) prefixed attributes.
  void Init(uint32_t count);

  // True when the pair was already entered since the last Init; otherwise
  // enters it and returns false.
  bool Locate(DOMStringView uri, const DOMChar* chars, std::size_t length);
  bool Locate(DOMStringView uri, DOMStringView localName) {
    return Locate(uri, localName.data(), localName.size());
  }

  std::size_t SlotCount() const { return slots_.size(); }
  // Slots looked at by Locate so far.
  uint64_t Probes() const { return probes_; }

private:
  struct TSlot {
    int32_t Stamp = 0;
    uint32_t Hash = 0;
    DOMStringView URI;
    const DOMChar* LocalName = nullptr;
    std::size_t Length = 0;
  };

  static constexpr unsigned kMinSizeLog = 3;
  static constexpr int32_t kClearedStamp = -1;

  void Allocate(unsigned sizeLog);
  void NextStamp();
  void Grow();

  unsigned sizeLog_ = 0;
  int32_t stamp_ = 0;
  std::vector<TSlot> slots_;
  std::size_t used_ = 0;
  uint64_t probes_ = 0;
};

}  // namespace corvandel::xml
