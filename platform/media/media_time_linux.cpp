#include "platform/media/media_time.h"

#include <time.h>

namespace platform::media {

uint64_t hostTimeNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

MediaTime hostClockTime() {
  return MediaTime::fromNanos(hostTimeNanos());
}

}  // namespace platform::media
