#include "platform/imaging/filtered_resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace platform::imaging {
namespace {

// Eight-bit weights keep every sum of weight × byte within 16 bits, so the vertical pass runs in
// 16-bit SIMD lanes and the horizontal pass holds a whole pixel in one 64-bit word.
constexpr int kWeightBits = 8;
constexpr int32_t kWeightOne = 1 << kWeightBits;
constexpr int kChannels = 4;

// The source taps of every destination index along one axis, in fixed point.
class AxisFilter {
 public:
  AxisFilter(int sourceSize, int destinationSize) {
    spans_.reserve(destinationSize);
    std::vector<double> weights;
    for (int i = 0; i < destinationSize; ++i) {
      int first = tapsFor(i, sourceSize, destinationSize, weights);
      addSpan(first, weights);
    }
  }

  struct Span {
    int first;   // first source index
    int count;   // number of taps
    int offset;  // into weights()
  };

  int size() const { return static_cast<int>(spans_.size()); }
  const Span& span(int index) const { return spans_[index]; }
  const int32_t* weights(const Span& s) const { return weights_.data() + s.offset; }

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

  void addSpan(int first, const std::vector<double>& weights) {
    Span s{first, static_cast<int>(weights.size()), static_cast<int>(weights_.size())};
    int32_t sum = 0;
    std::size_t largest = 0;
    for (std::size_t k = 0; k < weights.size(); ++k) {
      int32_t w = static_cast<int32_t>(std::lround(weights[k] * kWeightOne));
      weights_.push_back(w);
      sum += w;
      if (weights[k] > weights[largest]) largest = k;
    }
    // Rounding must not change the total, or flat areas would drift by a level.
    weights_[s.offset + largest] += kWeightOne - sum;
    spans_.push_back(s);
  }

  std::vector<Span> spans_;
  std::vector<int32_t> weights_;
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

// One destination row from `vertical` rows of the source, each row averaged first into `row`.
void resampleRow(const ConstImageView& source, const AxisFilter& vertical,
                 const AxisFilter& horizontal, int y, uint16_t* __restrict sums,
                 uint8_t* __restrict row, uint8_t* out) {
  const std::size_t rowBytes = static_cast<std::size_t>(source.width) * kChannels;
  const AxisFilter::Span vs = vertical.span(y);
  const int32_t* vw = vertical.weights(vs);
  const uint8_t* in = source.data + static_cast<std::size_t>(vs.first) * source.bytesPerRow;
  const uint16_t w0 = static_cast<uint16_t>(vw[0]);
  for (std::size_t b = 0; b < rowBytes; ++b) sums[b] = static_cast<uint16_t>(w0 * in[b]);
  for (int k = 1; k < vs.count; ++k) {
    in += source.bytesPerRow;
    const uint16_t w = static_cast<uint16_t>(vw[k]);
    for (std::size_t b = 0; b < rowBytes; ++b) sums[b] = static_cast<uint16_t>(sums[b] + w * in[b]);
  }
  for (std::size_t b = 0; b < rowBytes; ++b) {
    row[b] = static_cast<uint8_t>((sums[b] + (kWeightOne >> 1)) >> kWeightBits);
  }

  for (int x = 0; x < horizontal.size(); ++x, out += kChannels) {
    const AxisFilter::Span hs = horizontal.span(x);
    const int32_t* hw = horizontal.weights(hs);
    const uint8_t* pixel = row + static_cast<std::size_t>(hs.first) * kChannels;
    uint64_t lanes = 0;
    for (int k = 0; k < hs.count; ++k, pixel += kChannels) {
      lanes += spread(pixel) * static_cast<uint64_t>(hw[k]);
    }
    pack(lanes, out);
  }
}

}  // namespace

void filteredResample(const ConstImageView& source, const ImageView& destination) {
  const AxisFilter vertical(source.height, destination.height);
  const AxisFilter horizontal(source.width, destination.width);
  const std::size_t rowBytes = static_cast<std::size_t>(source.width) * kChannels;
  std::vector<uint16_t> sums(rowBytes);
  std::vector<uint8_t> row(rowBytes);
  for (int y = 0; y < destination.height; ++y) {
    resampleRow(source, vertical, horizontal, y, sums.data(), row.data(),
                destination.data + static_cast<std::size_t>(y) * destination.bytesPerRow);
  }
}

}  // namespace platform::imaging
