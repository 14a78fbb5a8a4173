#include "platform/camera/pipewire/shared/picture_rows.h"

#include <cstring>

namespace platform::camera::pipewire {

std::optional<ChunkRows> rowsInChunk(const spa_chunk& chunk, uint32_t maxsize,
                                     const VideoFormat& format) {
  const uint64_t row = format.rowBytes();
  const uint64_t stride = chunk.stride == 0 ? row : static_cast<uint64_t>(chunk.stride);
  if (chunk.stride < 0 || stride < row) return std::nullopt;
  const uint64_t needed = stride * (format.size.height - 1) + row;
  if (chunk.offset > maxsize || chunk.size < needed || uint64_t{chunk.offset} + needed > maxsize) {
    return std::nullopt;
  }
  return ChunkRows{chunk.offset, stride};
}

void copyRows(const uint8_t* from, std::size_t fromStride, uint8_t* to, std::size_t toStride,
              std::size_t rowBytes, std::size_t rows) {
  if (rows == 0) return;
  if (fromStride == toStride) {
    std::memcpy(to, from, fromStride * (rows - 1) + rowBytes);
    return;
  }
  for (std::size_t y = 0; y < rows; ++y)
    std::memcpy(to + y * toStride, from + y * fromStride, rowBytes);
}

}  // namespace platform::camera::pipewire
