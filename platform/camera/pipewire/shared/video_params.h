#pragma once

#include <spa/pod/builder.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/media/status.h"

namespace platform::camera::pipewire {

struct VideoSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const VideoSize&) const = default;
};

// A raw video format our streams make or take: a pixel format (media's four-character codes) and
// a size.
struct VideoFormat {
  media::FourCC pixelFormat = media::kPixelFormat32BGRA;
  VideoSize size;
  bool operator==(const VideoFormat&) const = default;

  // Bytes a row takes without padding, and a picture of such rows.
  uint32_t rowBytes() const;
  uint32_t pictureBytes() const { return rowBytes() * size.height; }
};

// What a camera's output node offers at each of its sizes, in its order. BGRA first: the camera's
// own pictures, taken by browsers, V4L2 applications (AR24), GStreamer and OBS alike, and at no
// cost; YUY2 next, which all of those take too (older browser builds and V4L2 applications only
// it); BGRx last, which browsers refuse. A client that leaves the pixel format open (GStreamer
// without caps) gets the first.
inline constexpr std::array<media::FourCC, 3> kOutputPixelFormats = {
    media::kPixelFormat32BGRA, media::kPixelFormatYUY2, media::kPixelFormat32BGRX};
// What a sink takes: pictures of 4-byte pixels, blue, green and red first.
inline constexpr std::array<media::FourCC, 2> kSinkPixelFormats = {media::kPixelFormat32BGRA,
                                                                   media::kPixelFormat32BGRX};

// The formats an output node of these sizes offers, one per pixel format and size: each pixel
// format at every size (in `sizes` order) before the next, so that a V4L2 client lists each
// pixel format once.
std::vector<VideoFormat> outputFormats(const std::vector<VideoSize>& sizes);

// How many buffers a stream asks for: preferred, and the range it accepts.
struct BufferCounts {
  int preferred = 0;
  int minimum = 0;
  int maximum = 0;
};

// The buffers a producer shares with a sink node, the same on both ends of the link: the
// extension keeps the newest one and may be fitting another, and the producer fills the next.
inline constexpr BufferCounts kSinkLinkBuffers{6, 3, 8};

// The largest picture any of our streams takes or makes.
constexpr uint32_t kMaxVideoDimension = 8192;

// Builds the parameters our streams offer, in memory it owns; the pods live as long as it does.
// Not thread-safe; one per call site.
class VideoParams {
 public:
  VideoParams();
  VideoParams(const VideoParams&) = delete;
  VideoParams& operator=(const VideoParams&) = delete;

  // One EnumFormat of exactly this format at 30/1, every value plain (no Choice: browsers, OBS
  // and V4L2 clients skip a format with one). YUY2 states its BT.601 video-range colours.
  void addFixedFormat(const VideoFormat& format);
  // One EnumFormat: BGRA or BGRx of any size up to kMaxVideoDimension square, any frame rate.
  void addAnySizeFormat();
  // Buffers of one block each, holding a picture of `format` in rows without padding, in shared
  // memory.
  void addBuffers(const VideoFormat& format, BufferCounts counts);
  // A header (sequence number, presentation time) on every buffer.
  void addHeaderMeta();

  const spa_pod** data() { return params_.data(); }
  uint32_t count() const { return static_cast<uint32_t>(params_.size()); }

 private:
  std::array<uint8_t, 8192> memory_{};
  spa_pod_builder builder_{};
  std::vector<const spa_pod*> params_;
};

// The raw video format a Format parameter fixes, when its pixel format is one of `accepted` and its
// size within 1..kMaxVideoDimension; nullopt for anything else.
std::optional<VideoFormat> parseVideoFormat(const spa_pod* format,
                                            std::span<const media::FourCC> accepted);

}  // namespace platform::camera::pipewire
