#pragma once

#include <cstdint>

namespace corvandel::runtime {

// Milliseconds of a monotonic clock, truncated to 32 bits: the value wraps
// around about every 49.7 days, so compare ticks only through TickSpan.
uint32_t CurrentTick();

// Milliseconds from oldTick to newTick, correct across one wrap-around.
uint32_t TickSpan(uint32_t oldTick, uint32_t newTick);

}  // namespace corvandel::runtime
