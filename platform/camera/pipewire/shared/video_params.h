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

  // One EnumFormat: BGRA of exactly this size at 30/1; announced as BGRx too when `alsoBGRx`.
  void addFixedFormat(VideoSize size, bool alsoBGRx);
  // One EnumFormat: BGRA or BGRx of any size up to kMaxVideoDimension square, any frame rate.
  void addAnySizeFormat();
  // Buffers of one block each, holding a picture of `size` with rows of width × 4 bytes, in
  // shared memory.
  void addBuffers(VideoSize size, BufferCounts counts);
  // A header (sequence number, presentation time) on every buffer.
  void addHeaderMeta();

  const spa_pod** data() { return params_.data(); }
  uint32_t count() const { return static_cast<uint32_t>(params_.size()); }

 private:
  std::array<uint8_t, 8192> memory_{};
  spa_pod_builder builder_{};
  std::vector<const spa_pod*> params_;
};

// The size of the raw video format a Format parameter fixes, when it is BGRA or BGRx (both carry
// blue, green, red first) of a size within 1..kMaxVideoDimension; nullopt for anything else.
std::optional<VideoSize> parseVideoFormat(const spa_pod* format);

}  // namespace platform::camera::pipewire
