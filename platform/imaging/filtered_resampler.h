#pragma once

#include "platform/imaging/image_view.h"

namespace platform::imaging {

// Separable resampler for pictures that shrink along at least one axis. A shrinking axis
// averages the source area each destination pixel covers, smoothed by a [¼, ½, ¼] kernel so the
// finest source detail (a one-pixel pattern) cancels out instead of aliasing; a growing axis
// interpolates linearly; an unchanged axis copies. Weights sum exactly to one, so a solid colour
// stays exactly that colour. Views must be valid (non-null, sizes ≥ 1, strides ≥ width × 4).
// Runs on the calling thread; allocates one row of scratch per call.
void filteredResample(const ConstImageView& source, const ImageView& destination);

}  // namespace platform::imaging
