#include "xml/keyed_hash.h"

#include <chrono>
#include <random>

namespace corvandel::xml {

namespace {

struct TSipKey {
  uint64_t K0;
  uint64_t K1;
};

TSipKey DrawKey() {
  try {
    std::random_device device;
    auto word = [&device] { return (uint64_t{device()} << 32) ^ device(); };
    return {word(), word()};
  } catch (...) {
    // Without a random source, the clock and the layout of this process
    // still differ from run to run.
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto place = reinterpret_cast<uintptr_t>(&now);
    return {now * 0x9E3779B97F4A7C15ull, static_cast<uint64_t>(place) ^ (now << 17)};
  }
}

const TSipKey& ProcessKey() {
  static const TSipKey key = DrawKey();
  return key;
}

constexpr uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct TSipState {
  uint64_t V0, V1, V2, V3;

  void Round() {
    V0 += V1;
    V1 = Rotl(V1, 13);
    V1 ^= V0;
    V0 = Rotl(V0, 32);
    V2 += V3;
    V3 = Rotl(V3, 16);
    V3 ^= V2;
    V0 += V3;
    V3 = Rotl(V3, 21);
    V3 ^= V0;
    V2 += V1;
    V1 = Rotl(V1, 17);
    V1 ^= V2;
    V2 = Rotl(V2, 32);
  }

  void Absorb(uint64_t m) {
    V3 ^= m;
    Round();
    V0 ^= m;
  }
};

}  // namespace

uint32_t KeyedHashChars(const DOMChar* chars, std::size_t length, uint64_t tweak) {
  const TSipKey& key = ProcessKey();
  const uint64_t k0 = key.K0;
  const uint64_t k1 = key.K1 ^ tweak;
  TSipState s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
              k1 ^ 0x7465646279746573ull};
  // Four code units make one 64-bit word, the first unit in the low bits.
  std::size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    s.Absorb(uint64_t{chars[i]} | uint64_t{chars[i + 1]} << 16 | uint64_t{chars[i + 2]} << 32 |
             uint64_t{chars[i + 3]} << 48);
  }
  uint64_t last = static_cast<uint64_t>(length * 2) << 56;
  for (int shift = 0; i < length; ++i, shift += 16) last |= uint64_t{chars[i]} << shift;
  s.Absorb(last);
  s.V2 ^= 0xff;
  s.Round();
  s.Round();
  s.Round();
  const uint64_t h = s.V0 ^ s.V1 ^ s.V2 ^ s.V3;
  return static_cast<uint32_t>(h) ^ static_cast<uint32_t>(h >> 32);
}

}  // namespace corvandel::xml
