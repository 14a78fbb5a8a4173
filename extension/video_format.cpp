#include "extension/video_format.h"

#include <limits>

#include "extension/fatal_error.h"

namespace quillane {
namespace {

using platform::media::FormatDescription;

std::vector<VideoFormat> buildFormatTable() {
  std::vector<VideoFormat> formats;
  formats.reserve(VideoFormat::sizes.size());
  for (const auto& size : VideoFormat::sizes) {
    constexpr int64_t kMax32 = std::numeric_limits<int32_t>::max();
    if (size.width < 1 || size.width > kMax32 || size.height < 1 || size.height > kMax32) {
      fatalError("video format size does not fit 32 bits");
    }
    auto description =
        FormatDescription::createVideo(VideoFormat::pixelFormat, static_cast<int32_t>(size.width),
                                       static_cast<int32_t>(size.height));
    if (!description) fatalError("video format description refused");
    formats.push_back(VideoFormat{size.width, size.height, std::move(description)});
  }
  return formats;
}

}  // namespace

const std::vector<VideoFormat>& VideoFormat::all() {
  static const std::vector<VideoFormat> table = buildFormatTable();
  return table;
}

const VideoFormat& VideoFormat::at(int64_t formatIndex) {
  const auto& table = all();
  if (formatIndex < 0 || formatIndex >= static_cast<int64_t>(table.size())) {
    fatalError("format index outside the format table");
  }
  return table[static_cast<size_t>(formatIndex)];
}

}  // namespace quillane
