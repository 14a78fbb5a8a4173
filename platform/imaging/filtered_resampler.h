#pragma once

#include "platform/imaging/image_view.h"

namespace platform::imaging {

// Separable resampler. Enlarging (or keeping) both axes interpolates linearly; shrinking along
// either axis averages the source area each destination pixel covers, smoothed by a [¼, ½, ¼]
// kernel so the finest source detail (a one-pixel pattern) cancels out instead of aliasing.
// Weights sum exactly to one, so a solid colour stays exactly that colour. Views must be valid
// (non-null, sizes ≥ 1, strides ≥ width × 4). Runs on the calling thread, any thread; the filter
// tables of recent sizes are cached and shared under a mutex; allocates two rows of scratch.
void filteredResample(const ConstImageView& source, const ImageView& destination);

}  // namespace platform::imaging
