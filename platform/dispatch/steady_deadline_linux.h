#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "platform/dispatch/clock.h"

namespace platform::dispatch {

// The steady_clock time at which `clock` will read deadlineNanos, for condition-variable waits.
// Waits are capped (about 30 years) so a far deadline cannot overflow steady_clock's arithmetic.
inline std::chrono::steady_clock::time_point steadyDeadline(const Clock& clock,
                                                            uint64_t deadlineNanos) {
  constexpr uint64_t kMaxWaitNanos = 1'000'000'000'000'000'000;
  const uint64_t now = clock.nowNanos();
  const uint64_t remaining = deadlineNanos > now ? std::min(deadlineNanos - now, kMaxWaitNanos) : 0;
  return std::chrono::steady_clock::now() +
         std::chrono::nanoseconds(static_cast<int64_t>(remaining));
}

}  // namespace platform::dispatch
