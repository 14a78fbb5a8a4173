#pragma once

#include <cstdint>

#include "platform/media/media_time.h"

namespace quillane {

// The monotonic host clock in nanoseconds, the time base of every presentation time stamp.
// Ages are computed from it with wrapping unsigned subtraction.
inline uint64_t hostTimeNanos() {
  return platform::media::hostTimeNanos();
}

}  // namespace quillane
