#include "xml/dbl_hash_array.h"

#include <algorithm>

#include "xml/keyed_hash.h"

namespace corvandel::xml {

namespace {

struct TProbe {
  uint32_t Index;
  uint32_t Step;
};

// Double hashing: the low bits of the hash pick the first slot and the bits
// above them an odd step, so the probe visits every slot of the table.
TProbe FirstProbe(uint32_t hash, unsigned sizeLog) {
  const uint32_t size = uint32_t{1} << sizeLog;
  const uint32_t step = (((hash & (0u - size)) >> (sizeLog - 1)) & ((size - 1) >> 2)) | 1u;
  return {hash & (size - 1), step};
}

uint32_t NextProbe(uint32_t index, uint32_t step, uint32_t size) {
  return index < step ? index + size - step : index - step;
}

}  // namespace

void TDblHashArray::Init(uint32_t count) {
  count = std::max<uint32_t>(count, 1);
  if (slots_.empty() || uint64_t{2} * count >= slots_.size()) {
    unsigned sizeLog = kMinSizeLog;
    while (count >= (uint64_t{1} << sizeLog)) ++sizeLog;
    Allocate(sizeLog);
  }
  NextStamp();
}

bool TDblHashArray::Locate(DOMStringView uri, const DOMChar* chars, std::size_t length) {
  // Keeps at least one slot free so that a probe always ends, even when a
  // caller enters more pairs than it announced.
  if (slots_.empty()) Init(1);
  if (used_ + 1 >= slots_.size()) Grow();

  // Keyed, so that an element's attribute names cannot be chosen to probe
  // the same slots again and again.
  const uint32_t hash = KeyedHashChars(chars, length, KeyedHashChars(uri));
  const uint32_t size = static_cast<uint32_t>(slots_.size());
  auto [index, step] = FirstProbe(hash, sizeLog_);
  for (;;) {
    TSlot& slot = slots_[index];
    ++probes_;
    if (slot.Stamp != stamp_) {
      slot = TSlot{stamp_, hash, uri, chars, length};
      ++used_;
      return false;
    }
    if (slot.Hash == hash && slot.Length == length && slot.URI == uri &&
        std::equal(chars, chars + length, slot.LocalName))
      return true;
    index = NextProbe(index, step, size);
  }
}

void TDblHashArray::Allocate(unsigned sizeLog) {
  sizeLog_ = sizeLog;
  slots_.assign(std::size_t{1} << sizeLog, TSlot{});
  stamp_ = 0;
  used_ = 0;
}

void TDblHashArray::NextStamp() {
  if (stamp_ == 0) {
    stamp_ = kClearedStamp;
    for (TSlot& slot : slots_) slot.Stamp = kClearedStamp;
  }
  // Decrement with wrap-around: the stamp runs through every other value
  // before it reaches 0 again and forces a full clearing.
  stamp_ = static_cast<int32_t>(static_cast<uint32_t>(stamp_) - 1u);
  used_ = 0;
}

void TDblHashArray::Grow() {
  std::vector<TSlot> entered;
  entered.reserve(used_);
  for (const TSlot& slot : slots_)
    if (slot.Stamp == stamp_) entered.push_back(slot);
  Allocate(sizeLog_ + 1);
  NextStamp();
  for (const TSlot& slot : entered) Locate(slot.URI, slot.LocalName, slot.Length);
}

}  // namespace corvandel::xml
