#include "platform/imaging/filtered_resampler.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/imaging/resample_rows.h"

namespace platform::imaging {
namespace {

// Axis tables by (source size, destination size), built once and shared: the camera fits the
// same sizes many times a second. Callable from any thread; the entries are under
// entriesMutex_, and a table in use stays alive after eviction through its shared_ptr.
template <typename Axis>
class AxisCache {
 public:
  std::shared_ptr<const Axis> get(int sourceSize, int destinationSize) {
    {
      base::MutexLock lock(entriesMutex_);
      for (const Entry& entry : entries_) {
        if (entry.sourceSize == sourceSize && entry.destinationSize == destinationSize) {
          return entry.axis;
        }
      }
    }
    auto axis = std::make_shared<const Axis>(sourceSize, destinationSize);
    base::MutexLock lock(entriesMutex_);
    if (entries_.size() == kCapacity) entries_.erase(entries_.begin());
    entries_.push_back({sourceSize, destinationSize, axis});
    return axis;
  }

 private:
  static constexpr std::size_t kCapacity = 8;
  struct Entry {
    int sourceSize;
    int destinationSize;
    std::shared_ptr<const Axis> axis;
  };
  base::Mutex entriesMutex_;
  std::vector<Entry> entries_ QLN_GUARDED_BY(entriesMutex_);
};

template <typename Axis>
std::shared_ptr<const Axis> cachedAxis(int sourceSize, int destinationSize) {
  static AxisCache<Axis> cache;
  return cache.get(sourceSize, destinationSize);
}

// Source rows already resampled to the destination width. Enlarging reads each source row for
// two or more destination rows, and in increasing order, so two rows, least recently used
// replaced, hold everything needed. Confined to one call of linearResample.
class InterpolatedRows {
 public:
  InterpolatedRows(const ConstImageView& source, const LinearAxis& horizontal,
                   const BilinearRowKernels& kernels)
      : source_(source), horizontal_(horizontal), kernels_(kernels) {
    for (Slot& slot : slots_) slot.pixels.resize(static_cast<std::size_t>(horizontal.size()) * 4);
  }

  const uint8_t* row(int y) {
    Slot& hit = slots_[0].y == y ? slots_[0] : slots_[1];
    if (hit.y == y) {
      recent_ = &hit == &slots_[0] ? 0 : 1;
      return hit.pixels.data();
    }
    recent_ ^= 1;
    Slot& slot = slots_[recent_];
    kernels_.interpolateRow(source_.data + static_cast<std::size_t>(y) * source_.bytesPerRow,
                            horizontal_, slot.pixels.data());
    slot.y = y;
    return slot.pixels.data();
  }

 private:
  struct Slot {
    int y = -1;
    std::vector<uint8_t> pixels;
  };
  const ConstImageView& source_;
  const LinearAxis& horizontal_;
  const BilinearRowKernels& kernels_;
  Slot slots_[2];
  int recent_ = 0;
};

// Enlarging (or keeping) both axes of a source at least two pixels wide: each source row is
// interpolated across once, then pairs of those rows are blended into each destination row.
void linearResample(const ConstImageView& source, const ImageView& destination) {
  const auto horizontal = cachedAxis<LinearAxis>(source.width, destination.width);
  const auto vertical = cachedAxis<LinearAxis>(source.height, destination.height);
  const BilinearRowKernels& kernels = bilinearRowKernels();
  InterpolatedRows rows(source, *horizontal, kernels);
  const std::size_t rowBytes = static_cast<std::size_t>(destination.width) * 4;
  for (int y = 0; y < destination.height; ++y) {
    uint8_t* out = destination.data + static_cast<std::size_t>(y) * destination.bytesPerRow;
    const int first = vertical->first(y);
    const int secondWeight = vertical->secondWeight(y);
    if (secondWeight == 0) {
      std::memcpy(out, rows.row(first), rowBytes);
    } else if (secondWeight == LinearAxis::kWeightOne) {
      std::memcpy(out, rows.row(first + 1), rowBytes);
    } else {
      const uint8_t* upper = rows.row(first);
      kernels.blendRows(upper, rows.row(first + 1), secondWeight, out, rowBytes);
    }
  }
}

// Shrinking along at least one axis: each destination row is filtered down from its source rows
// into one row of scratch, then filtered across into the destination.
void areaResample(const ConstImageView& source, const ImageView& destination) {
  const auto vertical = cachedAxis<AxisFilter>(source.height, destination.height);
  const auto horizontal = cachedAxis<AxisFilter>(source.width, destination.width);
  const FilterRowKernels& kernels = filterRowKernels();
  const std::size_t rowBytes = static_cast<std::size_t>(source.width) * 4;
  std::vector<uint8_t> row(rowBytes);
  for (int y = 0; y < destination.height; ++y) {
    const uint8_t* in =
        source.data + static_cast<std::size_t>(vertical->first(y)) * source.bytesPerRow;
    if (vertical->taps() > 1) {
      kernels.filterRows(in, source.bytesPerRow, *vertical, y, row.data(), rowBytes);
      in = row.data();
    }
    kernels.filterRow(in, *horizontal,
                      destination.data + static_cast<std::size_t>(y) * destination.bytesPerRow);
  }
}

}  // namespace

void filteredResample(const ConstImageView& source, const ImageView& destination) {
  if (destination.width == source.width && destination.height == source.height) {
    for (int y = 0; y < source.height; ++y) {
      std::memcpy(destination.data + static_cast<std::size_t>(y) * destination.bytesPerRow,
                  source.data + static_cast<std::size_t>(y) * source.bytesPerRow,
                  static_cast<std::size_t>(source.width) * 4);
    }
    return;
  }
  if (destination.width >= source.width && destination.height >= source.height &&
      source.width >= 2) {
    return linearResample(source, destination);
  }
  areaResample(source, destination);
}

}  // namespace platform::imaging
