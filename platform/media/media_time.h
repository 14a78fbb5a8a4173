#pragma once

#include <cstdint>

namespace platform::media {

// A rational media time (CMTime): value / timescale seconds, or invalid.
struct MediaTime {
  int64_t value = 0;
  int32_t timescale = 0;
  bool valid = false;

  static constexpr MediaTime make(int64_t value, int32_t timescale) {
    return MediaTime{value, timescale, timescale > 0};
  }
  static constexpr MediaTime invalid() { return MediaTime{}; }
  static constexpr MediaTime fromNanos(uint64_t nanos) {
    return make(static_cast<int64_t>(nanos), 1'000'000'000);
  }

  bool isValid() const { return valid; }
  double seconds() const;  // NaN when invalid
  int64_t nanos() const;   // rounded toward zero; 0 when invalid
  // Equal when both are invalid, or both valid and the same instant (1/30 == 2/60).
  bool operator==(const MediaTime& other) const;
};

}  // namespace platform::media
