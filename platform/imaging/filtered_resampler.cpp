#include "platform/imaging/filtered_resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/imaging/bilinear_rows.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace platform::imaging {
namespace {

// Eight-bit weights keep every sum of weight × byte within 16 bits, so the vertical pass runs in
// 16-bit SIMD lanes and the horizontal pass holds a whole pixel in one 64-bit word.
constexpr int kWeightBits = 8;
constexpr int32_t kWeightOne = 1 << kWeightBits;
constexpr int kChannels = 4;

// The source taps of every destination index along one axis, in fixed point. Every index has
// the same number of taps (zero weights pad the short ones), so the row loops run a fixed count.
class AxisFilter {
 public:
  AxisFilter(int sourceSize, int destinationSize) : sourceSize_(sourceSize) {
    std::vector<std::vector<double>> spans(destinationSize);
    firsts_.resize(destinationSize);
    for (int i = 0; i < destinationSize; ++i) {
      firsts_[i] = tapsFor(i, sourceSize, destinationSize, spans[i]);
      taps_ = std::max(taps_, static_cast<int>(spans[i].size()));
    }
    for (int i = 0; i < destinationSize; ++i) addSpan(i, sourceSize, spans[i]);
  }

  int size() const { return static_cast<int>(firsts_.size()); }
  int taps() const { return taps_; }
  bool isIdentity() const { return sourceSize_ == size(); }
  int first(int index) const { return firsts_[index]; }
  const uint16_t* weights(int index) const { return weights_.data() + index * taps_; }

 private:
  // Fills `weights` (real numbers summing to one) and returns the first source index.
  static int tapsFor(int i, int sourceSize, int destinationSize, std::vector<double>& weights) {
    weights.clear();
    if (sourceSize == destinationSize) {
      weights.push_back(1.0);
      return i;
    }
    const double ratio = static_cast<double>(sourceSize) / destinationSize;
    if (destinationSize > sourceSize) {
      // Linear interpolation between the two nearest pixel centres, clamped at the edges.
      double centre = std::clamp((i + 0.5) * ratio - 0.5, 0.0, sourceSize - 1.0);
      int left = static_cast<int>(centre);
      double fraction = centre - left;
      weights.push_back(1.0 - fraction);
      if (left + 1 < sourceSize) weights.push_back(fraction);
      return left;
    }
    // Coverage of [i·ratio, (i+1)·ratio) over source pixels, smoothed by [¼, ½, ¼]: centred,
    // and it cancels a one-pixel alternating pattern whatever the phase.
    const double low = i * ratio;
    const double high = std::min((i + 1) * ratio, static_cast<double>(sourceSize));
    const int first = static_cast<int>(low);
    const int last = std::min(static_cast<int>(std::ceil(high)), sourceSize) - 1;
    weights.assign(last - first + 3, 0.0);
    for (int j = first; j <= last; ++j) {
      double area = (std::min(high, j + 1.0) - std::max(low, static_cast<double>(j))) / ratio;
      std::size_t k = j - first + 1;
      weights[k - 1] += area * 0.25;
      weights[k] += area * 0.5;
      weights[k + 1] += area * 0.25;
    }
    // Past an edge the picture is mirrored (pixel -1 is pixel 1), which keeps the cancellation
    // of a one-pixel pattern exact at the edges too.
    int start = first - 1;
    if (start < 0) {
      weights[2] += weights.front();
      weights.erase(weights.begin());
      start = 0;
    }
    if (start + static_cast<int>(weights.size()) > sourceSize) {
      weights[weights.size() - 3] += weights.back();
      weights.pop_back();
    }
    return start;
  }

  // Stores one index's taps, padded with zero weights to taps_ and kept inside the source.
  void addSpan(int index, int sourceSize, std::vector<double>& weights) {
    int first = firsts_[index];
    while (static_cast<int>(weights.size()) < taps_) {
      if (first + static_cast<int>(weights.size()) < sourceSize) {
        weights.push_back(0.0);
      } else {
        weights.insert(weights.begin(), 0.0);
        --first;
      }
    }
    firsts_[index] = first;
    int32_t sum = 0;
    std::size_t largest = 0;
    std::vector<int32_t> fixed(weights.size());
    for (std::size_t k = 0; k < weights.size(); ++k) {
      fixed[k] = static_cast<int32_t>(std::lround(weights[k] * kWeightOne));
      sum += fixed[k];
      if (weights[k] > weights[largest]) largest = k;
    }
    // Rounding must not change the total, or flat areas would drift by a level.
    fixed[largest] += kWeightOne - sum;
    weights_.insert(weights_.end(), fixed.begin(), fixed.end());
  }

  int sourceSize_;
  int taps_ = 1;
  std::vector<int> firsts_;
  std::vector<uint16_t> weights_;
};

// Spreads the four bytes of a pixel into the 16-bit lanes of a word, in the lane order
// 0, 2, 1, 3; pack() undoes it.
inline uint64_t spread(const uint8_t* pixel) {
  uint32_t word;
  std::memcpy(&word, pixel, sizeof word);
  uint64_t p = word;
  return (p | (p << 24)) & 0x00FF00FF00FF00FFull;
}

inline void pack(uint64_t lanes, uint8_t* pixel) {
  uint64_t rounded = ((lanes + 0x0080008000800080ull) >> kWeightBits) & 0x00FF00FF00FF00FFull;
  uint32_t word = static_cast<uint32_t>(rounded | (rounded >> 24));
  std::memcpy(pixel, &word, sizeof word);
}

// Averages the source rows of destination row `y` into `row`, or returns the source row itself
// when it passes unchanged.
const uint8_t* verticalPass(const ConstImageView& source, const AxisFilter& vertical, int y,
                            uint16_t* __restrict sums, uint8_t* __restrict row) {
  const std::size_t rowBytes = static_cast<std::size_t>(source.width) * kChannels;
  const uint16_t* weights = vertical.weights(y);
  const uint8_t* in =
      source.data + static_cast<std::size_t>(vertical.first(y)) * source.bytesPerRow;
  if (vertical.taps() == 1) return in;
  if (vertical.taps() == 2) {
    // Growing pictures blend two rows: one pass, no running sums.
    const uint8_t* next = in + source.bytesPerRow;
    const uint16_t w0 = weights[0], w1 = weights[1];
    for (std::size_t b = 0; b < rowBytes; ++b) {
      row[b] = static_cast<uint8_t>((w0 * in[b] + w1 * next[b] + (kWeightOne >> 1)) >> kWeightBits);
    }
    return row;
  }
  std::fill(sums, sums + rowBytes, uint16_t{0});
  for (int k = 0; k < vertical.taps(); ++k, in += source.bytesPerRow) {
    const uint16_t w = weights[k];
    if (w == 0) continue;
    for (std::size_t b = 0; b < rowBytes; ++b) sums[b] = static_cast<uint16_t>(sums[b] + w * in[b]);
  }
  for (std::size_t b = 0; b < rowBytes; ++b) {
    row[b] = static_cast<uint8_t>((sums[b] + (kWeightOne >> 1)) >> kWeightBits);
  }
  return row;
}

template <int kTaps>
void horizontalPass(const AxisFilter& horizontal, const uint8_t* row, uint8_t* out) {
  const int taps = kTaps > 0 ? kTaps : horizontal.taps();
  for (int x = 0; x < horizontal.size(); ++x, out += kChannels) {
    const uint16_t* weights = horizontal.weights(x);
    const uint8_t* pixel = row + static_cast<std::size_t>(horizontal.first(x)) * kChannels;
    uint64_t lanes = 0;
    for (int k = 0; k < taps; ++k) lanes += spread(pixel + k * kChannels) * weights[k];
    pack(lanes, out);
  }
}

#if defined(__SSE2__)
// Two taps with SSE2: both neighbours come from one 8-byte load and are weighted in 16-bit
// lanes, two destination pixels per step; an odd last pixel goes through the portable loop.
void horizontalPassTwoTaps(const AxisFilter& horizontal, const uint8_t* row, uint8_t* out) {
  const int size = horizontal.size();
  std::vector<uint16_t> laneWeights(static_cast<std::size_t>(size) * 8);
  for (int x = 0; x < size; ++x) {
    std::fill_n(laneWeights.begin() + x * 8, 4, horizontal.weights(x)[0]);
    std::fill_n(laneWeights.begin() + x * 8 + 4, 4, horizontal.weights(x)[1]);
  }
  const __m128i zero = _mm_setzero_si128();
  const __m128i half = _mm_set1_epi16(kWeightOne >> 1);
  auto weighted = [&](int x) {
    const uint8_t* pixels = row + static_cast<std::size_t>(horizontal.first(x)) * kChannels;
    __m128i both =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pixels)), zero);
    return _mm_mullo_epi16(both,
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(&laneWeights[x * 8])));
  };
  int x = 0;
  for (; x + 2 <= size; x += 2, out += 2 * kChannels) {
    __m128i a = weighted(x);
    __m128i b = weighted(x + 1);
    __m128i sum =
        _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b)), half);
    sum = _mm_srli_epi16(sum, kWeightBits);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(sum, sum));
  }
  if (x < size) {
    const uint16_t* weights = horizontal.weights(x);
    const uint8_t* pixel = row + static_cast<std::size_t>(horizontal.first(x)) * kChannels;
    pack(spread(pixel) * weights[0] + spread(pixel + kChannels) * weights[1], out);
  }
}
#endif

void horizontalPass(const AxisFilter& horizontal, const uint8_t* row, uint8_t* out) {
  switch (horizontal.taps()) {
    case 1:
      if (!horizontal.isIdentity()) return horizontalPass<1>(horizontal, row, out);
      std::memcpy(out, row, static_cast<std::size_t>(horizontal.size()) * kChannels);
      return;
    case 2:
#if defined(__SSE2__)
      return horizontalPassTwoTaps(horizontal, row, out);
#else
      return horizontalPass<2>(horizontal, row, out);
#endif
    case 3:
      return horizontalPass<3>(horizontal, row, out);
    case 4:
      return horizontalPass<4>(horizontal, row, out);
    default:
      return horizontalPass<0>(horizontal, row, out);
  }
}

// Axis tables by (source size, destination size), built once and shared: the camera fits the
// same sizes many times a second. Callable from any thread; the entries are guarded by
// entriesMutex_, and a table in use stays alive after eviction through its shared_ptr.
template <typename Axis>
class AxisCache {
 public:
  std::shared_ptr<const Axis> get(int sourceSize, int destinationSize) {
    {
      std::lock_guard lock(entriesMutex_);
      for (const Entry& entry : entries_) {
        if (entry.sourceSize == sourceSize && entry.destinationSize == destinationSize) {
          return entry.axis;
        }
      }
    }
    auto axis = std::make_shared<const Axis>(sourceSize, destinationSize);
    std::lock_guard lock(entriesMutex_);
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
  std::mutex entriesMutex_;
  std::vector<Entry> entries_;
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

}  // namespace

void filteredResample(const ConstImageView& source, const ImageView& destination) {
  if (destination.width >= source.width && destination.height >= source.height &&
      source.width >= 2) {
    return linearResample(source, destination);
  }
  const auto vertical = cachedAxis<AxisFilter>(source.height, destination.height);
  const auto horizontal = cachedAxis<AxisFilter>(source.width, destination.width);
  const std::size_t rowBytes = static_cast<std::size_t>(source.width) * kChannels;
  std::vector<uint16_t> sums(rowBytes);
  std::vector<uint8_t> row(rowBytes);
  for (int y = 0; y < destination.height; ++y) {
    horizontalPass(*horizontal, verticalPass(source, *vertical, y, sums.data(), row.data()),
                   destination.data + static_cast<std::size_t>(y) * destination.bytesPerRow);
  }
}

}  // namespace platform::imaging
