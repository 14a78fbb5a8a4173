#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/media/format_description.h"
#include "platform/media/media_time.h"
#include "platform/media/status.h"

namespace quillane {

// One picture format the camera offers: 32-bit BGRA at width × height, at 30 frames per second.
// Formats are named everywhere by their index into all(). Immutable; safe from any thread.
struct VideoFormat {
  struct Size {
    int64_t width;
    int64_t height;
  };

  int64_t width;
  int64_t height;
  platform::media::FormatDescriptionRef formatDescription;

  static constexpr platform::media::FourCC pixelFormat = platform::media::kPixelFormat32BGRA;
  static constexpr platform::media::MediaTime frameDuration =
      platform::media::MediaTime::make(1, 30);
  static constexpr double frameInterval = 1.0 / 30.0;
  static constexpr std::array<Size, 3> sizes{{{1920, 1080}, {1280, 720}, {640, 480}}};

  // The format table, built once on first access; every call hands out the same descriptions.
  static const std::vector<VideoFormat>& all();
  // The format at `formatIndex`; an index outside the table is a broken invariant (fatal).
  static const VideoFormat& at(int64_t formatIndex);
};

}  // namespace quillane
