#include "runtime/tick.h"

#include <chrono>

namespace corvandel::runtime {

uint32_t CurrentTick() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

uint32_t TickSpan(uint32_t oldTick, uint32_t newTick) {
  if (oldTick == newTick) return 0;
  if (newTick < oldTick) {
    // Moving both by half the range puts a wrapped pair back in order.
    oldTick += 0x80000000u;
    newTick += 0x80000000u;
  }
  if (newTick < oldTick) return oldTick - newTick;
  return newTick - oldTick;
}

}  // namespace corvandel::runtime
