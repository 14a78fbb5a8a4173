#pragma once

#include <spa/pod/builder.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform::camera::pipewire {

struct VideoSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const VideoSize&) const = default;
};

// What a stream negotiated: the size, and whether the fourth byte is alpha (BGRA) or padding
// (BGRx); both carry blue, green, red first.
struct NegotiatedVideo {
  VideoSize size;
  bool hasAlpha = true;
};

// The largest picture any of our streams takes or makes.
constexpr uint32_t kMaxVideoDimension = 8192;

// Builds the parameters our streams offer, in memory it owns; the pods live as long as it does.
// Not thread-safe; one per call site.
class VideoParams {
 public:
  VideoParams();
  VideoParams(const VideoParams&) = delete;
  VideoParams& operator=(const VideoParams&) = delete;

  // One EnumFormat: BGRA of exactly this size at 30/1; announced as BGRx too when `alsoBGRx`.
  void addFixedFormat(VideoSize size, bool alsoBGRx);
  // One EnumFormat: BGRA or BGRx of any size up to kMaxVideoDimension square, any frame rate.
  void addAnySizeFormat();
  // Buffers of one block each, holding a picture of `size` with rows of width × 4 bytes, in
  // shared memory; `count` preferred, from `minimum` to `maximum`.
  void addBuffers(VideoSize size, int count, int minimum, int maximum);
  // A header (sequence number, presentation time) on every buffer.
  void addHeaderMeta();

  const std::vector<const spa_pod*>& params() const { return params_; }
  const spa_pod** data() { return params_.data(); }
  uint32_t count() const { return static_cast<uint32_t>(params_.size()); }

 private:
  std::array<uint8_t, 8192> memory_{};
  spa_pod_builder builder_{};
  std::vector<const spa_pod*> params_;
};

// The raw video format a Format parameter fixes, when it is BGRA or BGRx of a size within
// 1..kMaxVideoDimension; nullopt for anything else.
std::optional<NegotiatedVideo> parseVideoFormat(const spa_pod* format);

}  // namespace platform::camera::pipewire
