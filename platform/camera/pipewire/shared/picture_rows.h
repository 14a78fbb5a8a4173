#pragma once

#include <spa/buffer/buffer.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/camera/pipewire/shared/video_params.h"

namespace platform::camera::pipewire {

// Where a picture of a negotiated format lies in a buffer's chunk.
struct ChunkRows {
  uint64_t offset = 0;  // of the first row
  uint64_t stride = 0;  // bytes from one row to the next
};

// The rows of a picture of `format` in `chunk`, after every number the peer wrote (offset, size,
// stride; a stride of 0 means rows without padding) was checked against the buffer's `maxsize`;
// nullopt when the chunk cannot hold such a picture.
std::optional<ChunkRows> rowsInChunk(const spa_chunk& chunk, uint32_t maxsize,
                                     const VideoFormat& format);

// Copies `rows` rows of `rowBytes` each between memory with the given strides; one copy when
// the strides are the same.
void copyRows(const uint8_t* from, std::size_t fromStride, uint8_t* to, std::size_t toStride,
              std::size_t rowBytes, std::size_t rows);

}  // namespace platform::camera::pipewire
