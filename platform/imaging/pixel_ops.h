#pragma once

#include <array>
#include <cstdint>

#include "platform/imaging/image_view.h"

namespace platform::imaging {

// Channel permutation of four-channel 8-bit pixels (vImagePermuteChannels_ARGB8888):
// destination channel i takes source channel map[i]. Source and destination have the same
// height and width; strides may differ. Only the first width × 4 bytes of each destination row
// are written. Runs on the calling thread; SIMD through libyuv for the common maps.
ImagingError permuteChannels(const ConstImageView& source, const ImageView& destination,
                             const std::array<uint8_t, 4>& map);

// Converts BGRA pixels (the alpha unused) into YUY2 (each pair of pixels as Y'0 Cb Y'1 Cr) with
// BT.601 video-range coefficients, as cameras send it (vImageConvert_ARGB8888To422YpCbYpCr8):
// white becomes Y' 235, black 16, greys Cb = Cr = 128. The destination's rows hold
// (width + 1) / 2 × 4 bytes; only those are written. Runs on the calling thread; SIMD through
// libyuv.
ImagingError convertToYuy2(const ConstImageView& source, const ImageView& destination);

// Scales a four-channel 8-bit image into the destination region (vImageScale_ARGB8888).
// The channel order passes through unchanged. Filters in every direction (a one-pixel
// checkerboard scaled down by any factor becomes an even grey). Runs on the calling thread.
ImagingError scale(const ConstImageView& source, const ImageView& destination);

}  // namespace platform::imaging
