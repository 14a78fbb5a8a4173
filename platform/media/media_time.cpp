#include "platform/media/media_time.h"

#include <limits>

namespace platform::media {

double MediaTime::seconds() const {
  if (!valid) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(value) / static_cast<double>(timescale);
}

int64_t MediaTime::nanos() const {
  if (!valid) return 0;
  return static_cast<int64_t>(static_cast<__int128>(value) * 1'000'000'000 / timescale);
}

bool MediaTime::operator==(const MediaTime& other) const {
  if (!valid || !other.valid) return valid == other.valid;
  // Cross-multiplied in 128 bits: a 64-bit value times a 32-bit timescale cannot overflow it.
  return static_cast<__int128>(value) * other.timescale ==
         static_cast<__int128>(other.value) * timescale;
}

}  // namespace platform::media
