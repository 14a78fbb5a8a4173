#pragma once

#include <cstdint>

namespace quillane::tools {

// Writes one frame in the frame stream format (formats/frame_stream_format.h) to `fd`: the
// header, then the width × 4 × height RGBA bytes at `rgba`. False when the reader went away or
// a write failed. Sizes within the format's limits. The calling thread; blocks while the reader
// is slower.
bool writeFrame(int fd, uint32_t width, uint32_t height, const uint8_t* rgba);

}  // namespace quillane::tools
