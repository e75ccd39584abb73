#include "runtime/tick.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace corvandel::runtime {
namespace {

TEST(TickSpanTest, ForwardWrappedAndBackwardSpans) {
  struct Case {
    uint32_t oldTick, newTick, span;
  };
  const Case cases[] = {
      {0, 0, 0},
      {0xFFFFFFFFu, 0xFFFFFFFFu, 0},
      {100, 350, 250},
      {0, 0x7FFFFFFFu, 0x7FFFFFFFu},
      {0xFFFFFF00u, 0x100, 0x200},   // wrapped past zero
      {0xFFFFFFFFu, 0, 1},
      {0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFFu},  // a drop across the half-range mark reads as a wrap
      {0x200, 0x100, 0x100},          // went back without wrapping
      {0x7FFFFFFFu, 0x80000000u, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TickSpan(c.oldTick, c.newTick), c.span) << std::hex << c.oldTick << " -> " << c.newTick;
}

TEST(CurrentTickTest, TwoReadingsAreCloseAndInOrder) {
  const uint32_t first = CurrentTick();
  const uint32_t second = CurrentTick();
  // A steady clock never runs backwards, so the span is the plain forward
  // distance; even across a wrap-around it stays small.
  EXPECT_LT(TickSpan(first, second), 60u * 60u * 1000u);
  EXPECT_EQ(TickSpan(first, second), static_cast<uint32_t>(second - first));
}

}  // namespace
}  // namespace corvandel::runtime
