#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace platform::imaging {

// Linear interpolation taps along one growing (or unchanged) axis: destination index i blends
// source indices first(i) and first(i) + 1 with seven-bit weights that sum to exactly 128, so a
// solid colour stays exact. Sampling is centre-aligned and clamped at the edges; when the axis
// has two or more pixels the second tap always lies inside it. Immutable once built, so one
// instance can be shared by any number of threads.
class LinearAxis {
 public:
  static constexpr int kWeightBits = 7;
  static constexpr int kWeightOne = 1 << kWeightBits;

  LinearAxis(int sourceSize, int destinationSize);

  int size() const { return static_cast<int>(firsts_.size()); }
  int first(int index) const { return firsts_[index]; }
  // The second tap's weight, 0..128; the first tap's is 128 minus it.
  int secondWeight(int index) const { return pairWeights_[index * 8 + 1]; }
  // Per destination index: byte offset of the first tap in a row of four-channel pixels.
  const int32_t* pixelOffsets() const { return pixelOffsets_.data(); }
  // Per destination index: eight bytes (first weight, second weight) × 4, one pair per channel.
  const uint8_t* pairWeights() const { return pairWeights_.data(); }
  // How many leading destination indices come in groups of eight whose first taps all lie in
  // the eight source pixels from the group's first tap, with a ninth pixel after them: two
  // overlapping 32-byte loads then serve the group.
  int groupedPixels() const { return static_cast<int>(groupTaps_.size()); }
  // Per grouped destination index: its first tap, relative to its group's first tap, stored in
  // the order x, x+1, x+4, x+5, x+2, x+3, x+6, x+7 of each group.
  const int32_t* groupTaps() const { return groupTaps_.data(); }

 private:
  std::vector<int> firsts_;
  std::vector<int32_t> pixelOffsets_;
  std::vector<uint8_t> pairWeights_;
  std::vector<int32_t> groupTaps_;
};

// The source taps of every destination index along one axis, for pictures that shrink along at
// least one axis. A shrinking axis averages the source area each destination pixel covers,
// smoothed by a [¼, ½, ¼] kernel so the finest source detail (a one-pixel pattern) cancels out
// instead of aliasing; a growing axis interpolates linearly; an unchanged axis copies. Eight-bit
// weights sum to exactly 256. Every index has the same number of taps, consecutive and inside
// the axis (zero weights pad the short ones). Immutable once built; shareable across threads.
class AxisFilter {
 public:
  static constexpr int kWeightBits = 8;
  static constexpr int kWeightOne = 1 << kWeightBits;

  AxisFilter(int sourceSize, int destinationSize);

  int size() const { return static_cast<int>(firsts_.size()); }
  int taps() const { return taps_; }
  bool isIdentity() const { return sourceSize_ == size(); }
  int first(int index) const { return firsts_[index]; }
  const uint16_t* weights(int index) const { return weights_.data() + index * taps_; }

  // True when the taps come in pairs and every weight fits a byte, as the SIMD kernels need.
  bool hasBytePairs() const { return !pairWeights_.empty(); }
  // Per destination index: byte offset of the first tap in a row of four-channel pixels.
  const int32_t* pixelOffsets() const { return pixelOffsets_.data(); }
  // For tap pair p and destination index i, at (p × size() + i) × 8: the pair's two weights,
  // repeated for each channel. Empty unless hasBytePairs().
  const uint8_t* pairWeights() const { return pairWeights_.data(); }

 private:
  void addSpan(int index, int sourceSize, std::vector<double>& weights);
  void addBytePairs();

  int sourceSize_;
  int taps_ = 1;
  std::vector<int> firsts_;
  std::vector<int32_t> pixelOffsets_;
  std::vector<uint16_t> weights_;
  std::vector<uint8_t> pairWeights_;
};

// Row kernels for area filtering of four-channel pixels. Every implementation gives the same
// bytes: round(Σ weight·byte / 256). Stateless; callable from any thread.
struct FilterRowKernels {
  // Filters destination row y of `vertical` into `out`: `bytes` bytes of each of vertical.taps()
  // rows, the first at `firstRow`, the others `stride` bytes apart.
  void (*filterRows)(const uint8_t* firstRow, std::size_t stride, const AxisFilter& vertical, int y,
                     uint8_t* out, std::size_t bytes);
  // Filters one row of pixels to horizontal.size() pixels.
  void (*filterRow)(const uint8_t* row, const AxisFilter& horizontal, uint8_t* out);
  const char* name;
};

// Every implementation this processor can run, portable one first, fastest last.
std::span<const FilterRowKernels> availableFilterRowKernels();

// The fastest implementation this processor can run; chosen once.
const FilterRowKernels& filterRowKernels();

// Row kernels for linear resampling of four-channel pixels. Every implementation gives the same
// bytes: round((w0·a + w1·b) / 128) per channel. Stateless; callable from any thread.
struct BilinearRowKernels {
  // out[i] = round(((128 − secondWeight)·upper[i] + secondWeight·lower[i]) / 128) for each of
  // `bytes` bytes; secondWeight is 0..128. `out` must not overlap the inputs.
  void (*blendRows)(const uint8_t* upper, const uint8_t* lower, int secondWeight, uint8_t* out,
                    std::size_t bytes);
  // Resamples one row of at least two pixels to axis.size() pixels.
  void (*interpolateRow)(const uint8_t* row, const LinearAxis& axis, uint8_t* out);
  const char* name;
};

// Every implementation this processor can run, portable one first, fastest last.
std::span<const BilinearRowKernels> availableBilinearRowKernels();

// The fastest implementation this processor can run; chosen once.
const BilinearRowKernels& bilinearRowKernels();

}  // namespace platform::imaging
