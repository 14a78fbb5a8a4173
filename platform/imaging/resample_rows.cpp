#include "platform/imaging/resample_rows.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace platform::imaging {

namespace {

// Fills `weights` (real numbers summing to one) and returns the first source index.
int tapsFor(int i, int sourceSize, int destinationSize, std::vector<double>& weights) {
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

}  // namespace

AxisFilter::AxisFilter(int sourceSize, int destinationSize) : sourceSize_(sourceSize) {
  std::vector<std::vector<double>> spans(destinationSize);
  firsts_.resize(destinationSize);
  for (int i = 0; i < destinationSize; ++i) {
    firsts_[i] = tapsFor(i, sourceSize, destinationSize, spans[i]);
    taps_ = std::max(taps_, static_cast<int>(spans[i].size()));
  }
  // An even count lets the SIMD kernels take the taps two at a time.
  if (destinationSize < sourceSize && taps_ % 2 == 1 && taps_ < sourceSize) ++taps_;
  for (int i = 0; i < destinationSize; ++i) addSpan(i, sourceSize, spans[i]);
  pixelOffsets_.resize(destinationSize);
  for (int i = 0; i < destinationSize; ++i) pixelOffsets_[i] = firsts_[i] * 4;
  addBytePairs();
}

// Stores one index's taps, padded with zero weights to taps_ and kept inside the source.
void AxisFilter::addSpan(int index, int sourceSize, std::vector<double>& weights) {
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

void AxisFilter::addBytePairs() {
  if (taps_ % 2 == 1) return;
  for (uint16_t weight : weights_) {
    if (weight > 255) return;
  }
  const int pairs = taps_ / 2;
  pairWeights_.resize(static_cast<std::size_t>(pairs) * size() * 8);
  for (int p = 0; p < pairs; ++p) {
    for (int i = 0; i < size(); ++i) {
      uint8_t* bytes = &pairWeights_[(static_cast<std::size_t>(p) * size() + i) * 8];
      for (int c = 0; c < 4; ++c) {
        bytes[2 * c] = static_cast<uint8_t>(weights(i)[2 * p]);
        bytes[2 * c + 1] = static_cast<uint8_t>(weights(i)[2 * p + 1]);
      }
    }
  }
}

LinearAxis::LinearAxis(int sourceSize, int destinationSize)
    : firsts_(destinationSize), pixelOffsets_(destinationSize), pairWeights_(destinationSize * 8) {
  const double ratio = static_cast<double>(sourceSize) / destinationSize;
  for (int i = 0; i < destinationSize; ++i) {
    const double centre = std::clamp((i + 0.5) * ratio - 0.5, 0.0, sourceSize - 1.0);
    int first = static_cast<int>(centre);
    int second = static_cast<int>(std::lround((centre - first) * kWeightOne));
    // The last pixel is reached as the second tap of its left neighbour, so a pair never reads
    // past the axis.
    if (first == sourceSize - 1 && sourceSize >= 2) {
      first = sourceSize - 2;
      second = kWeightOne;
    }
    firsts_[i] = first;
    pixelOffsets_[i] = first * 4;
    for (int c = 0; c < 4; ++c) {
      pairWeights_[i * 8 + 2 * c] = static_cast<uint8_t>(kWeightOne - second);
      pairWeights_[i * 8 + 2 * c + 1] = static_cast<uint8_t>(second);
    }
  }
  constexpr int kGroupOrder[8] = {0, 1, 4, 5, 2, 3, 6, 7};
  for (int x = 0; x + 8 <= destinationSize; x += 8) {
    const int base = firsts_[x];
    if (base + 9 > sourceSize || firsts_[x + 7] - base > 7) break;
    for (int slot : kGroupOrder) groupTaps_.push_back(firsts_[x + slot] - base);
  }
}

namespace {

constexpr int kHalf = LinearAxis::kWeightOne / 2;

void blendRowsPortable(const uint8_t* upper, const uint8_t* lower, int secondWeight, uint8_t* out,
                       std::size_t bytes) {
  const int firstWeight = LinearAxis::kWeightOne - secondWeight;
  for (std::size_t i = 0; i < bytes; ++i) {
    out[i] = static_cast<uint8_t>((firstWeight * upper[i] + secondWeight * lower[i] + kHalf) >>
                                  LinearAxis::kWeightBits);
  }
}

void interpolatePixels(const uint8_t* row, const LinearAxis& axis, int from, uint8_t* out) {
  const int32_t* offsets = axis.pixelOffsets();
  const uint8_t* weights = axis.pairWeights();
  for (int x = from; x < axis.size(); ++x) {
    const uint8_t* pair = row + offsets[x];
    const uint8_t* w = weights + x * 8;
    for (int c = 0; c < 4; ++c) {
      out[x * 4 + c] = static_cast<uint8_t>((w[0] * pair[c] + w[1] * pair[4 + c] + kHalf) >>
                                            LinearAxis::kWeightBits);
    }
  }
}

void interpolateRowPortable(const uint8_t* row, const LinearAxis& axis, uint8_t* out) {
  interpolatePixels(row, axis, 0, out);
}

#if defined(__x86_64__)
// The SIMD kernels multiply unsigned weights by pixels flipped to signed bytes (p − 128) with
// one multiply-add per tap pair: w0·(a − 128) + w1·(b − 128) lies in [−16384, 16256], so it never
// saturates, and adding back 128·128 plus the rounding half gives the portable result exactly.
constexpr int16_t kUnflipAndRound = LinearAxis::kWeightOne * 128 + kHalf;

__attribute__((target("ssse3"))) inline __m128i finishPairsSsse3(__m128i sums) {
  return _mm_srli_epi16(_mm_add_epi16(sums, _mm_set1_epi16(kUnflipAndRound)),
                        LinearAxis::kWeightBits);
}

__attribute__((target("ssse3"))) void blendRowsSsse3(const uint8_t* upper, const uint8_t* lower,
                                                     int secondWeight, uint8_t* out,
                                                     std::size_t bytes) {
  const __m128i weights = _mm_set1_epi16(
      static_cast<int16_t>(secondWeight << 8 | (LinearAxis::kWeightOne - secondWeight)));
  const __m128i flip = _mm_set1_epi8(-128);
  std::size_t i = 0;
  for (; i + 16 <= bytes; i += 16) {
    __m128i a = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(upper + i)), flip);
    __m128i b = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lower + i)), flip);
    __m128i low = finishPairsSsse3(_mm_maddubs_epi16(weights, _mm_unpacklo_epi8(a, b)));
    __m128i high = finishPairsSsse3(_mm_maddubs_epi16(weights, _mm_unpackhi_epi8(a, b)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
  }
  blendRowsPortable(upper + i, lower + i, secondWeight, out + i, bytes - i);
}

// Both taps of destination pixels x and x + 1, flipped to signed and ordered channel by channel
// (a0 b0 a1 b1 …) to meet their weights.
__attribute__((target("ssse3"))) inline __m128i tapPairsSsse3(const uint8_t* row,
                                                              const int32_t* offsets, int x) {
  const __m128i byChannel = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  __m128i taps = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + offsets[x]));
  taps = _mm_castpd_si128(
      _mm_loadh_pd(_mm_castsi128_pd(taps), reinterpret_cast<const double*>(row + offsets[x + 1])));
  return _mm_shuffle_epi8(_mm_xor_si128(taps, _mm_set1_epi8(-128)), byChannel);
}

// Destination pixels x and x + 1 as eight 16-bit sums.
__attribute__((target("ssse3"))) inline __m128i twoPixelsSsse3(const uint8_t* row,
                                                               const LinearAxis& axis, int x) {
  __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(axis.pairWeights() + x * 8));
  return finishPairsSsse3(_mm_maddubs_epi16(w, tapPairsSsse3(row, axis.pixelOffsets(), x)));
}

__attribute__((target("ssse3"))) void interpolateRowSsse3(const uint8_t* row,
                                                          const LinearAxis& axis, uint8_t* out) {
  int x = 0;
  for (; x + 4 <= axis.size(); x += 4) {
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(out + x * 4),
        _mm_packus_epi16(twoPixelsSsse3(row, axis, x), twoPixelsSsse3(row, axis, x + 2)));
  }
  interpolatePixels(row, axis, x, out);
}

__attribute__((target("avx2"))) inline __m256i finishPairsAvx2(__m256i sums) {
  return _mm256_srli_epi16(_mm256_add_epi16(sums, _mm256_set1_epi16(kUnflipAndRound)),
                           LinearAxis::kWeightBits);
}

// Blends the 32 bytes at offset i.
__attribute__((target("avx2"))) inline void blend32BytesAvx2(const uint8_t* upper,
                                                             const uint8_t* lower, __m256i weights,
                                                             uint8_t* out, std::size_t i) {
  const __m256i flip = _mm256_set1_epi8(-128);
  __m256i a =
      _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + i)), flip);
  __m256i b =
      _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + i)), flip);
  // Unpacking and packing both work within 128-bit lanes, so the bytes come back in order.
  __m256i low = finishPairsAvx2(_mm256_maddubs_epi16(weights, _mm256_unpacklo_epi8(a, b)));
  __m256i high = finishPairsAvx2(_mm256_maddubs_epi16(weights, _mm256_unpackhi_epi8(a, b)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_packus_epi16(low, high));
}

__attribute__((target("avx2"))) void blendRowsAvx2(const uint8_t* upper, const uint8_t* lower,
                                                   int secondWeight, uint8_t* out,
                                                   std::size_t bytes) {
  if (bytes < 32) return blendRowsSsse3(upper, lower, secondWeight, out, bytes);
  const __m256i weights = _mm256_set1_epi16(
      static_cast<int16_t>(secondWeight << 8 | (LinearAxis::kWeightOne - secondWeight)));
  std::size_t i = 0;
  for (; i + 32 <= bytes; i += 32) blend32BytesAvx2(upper, lower, weights, out, i);
  // A partial last block is done as the row's final 32 bytes, rewriting some with equal values.
  if (i < bytes) blend32BytesAvx2(upper, lower, weights, out, bytes - 32);
}

// Destination pixels x … x + 3 as sixteen 16-bit sums: x, x + 1 in the low lane and x + 2,
// x + 3 in the high one.
__attribute__((target("avx2"))) inline __m256i fourPixelsAvx2(const uint8_t* row,
                                                              const LinearAxis& axis, int x) {
  const int32_t* offsets = axis.pixelOffsets();
  __m256i taps = _mm256_inserti128_si256(_mm256_castsi128_si256(tapPairsSsse3(row, offsets, x)),
                                         tapPairsSsse3(row, offsets, x + 2), 1);
  __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(axis.pairWeights() + x * 8));
  return finishPairsAvx2(_mm256_maddubs_epi16(w, taps));
}

// Stores sums of pixels (x…x+3) and (x+4…x+7) laid out as fourPixelsAvx2 gives them. Packing
// interleaves the lanes (x…x+1, x+4…x+5, x+2…x+3, x+6…x+7); the permute restores order.
__attribute__((target("avx2"))) inline void storeEightPixelsAvx2(__m256i low, __m256i high,
                                                                 uint8_t* out) {
  _mm256_storeu_si256(
      reinterpret_cast<__m256i*>(out),
      _mm256_permute4x64_epi64(_mm256_packus_epi16(low, high), _MM_SHUFFLE(3, 1, 2, 0)));
}

// Destination pixels x … x + 7 of a group: the eight source pixels from the group's first tap,
// and the eight from the next pixel, from which one cross-lane permute each picks every first
// and every second tap. Interleaving the two by byte yields the pairs of x…x+3 (low) and
// x+4…x+7 (high) in fourPixelsAvx2's layout.
__attribute__((target("avx2"))) inline void eightGroupedPixelsAvx2(const uint8_t* row,
                                                                   const LinearAxis& axis, int x,
                                                                   uint8_t* out) {
  const __m256i flip = _mm256_set1_epi8(-128);
  const uint8_t* base = row + axis.pixelOffsets()[x];
  __m256i taps = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(axis.groupTaps() + x));
  __m256i firsts = _mm256_permutevar8x32_epi32(
      _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(base)), flip), taps);
  __m256i seconds = _mm256_permutevar8x32_epi32(
      _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + 4)), flip), taps);
  const uint8_t* weights = axis.pairWeights() + x * 8;
  __m256i low = _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights)),
                                     _mm256_unpacklo_epi8(firsts, seconds));
  __m256i high =
      _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + 32)),
                           _mm256_unpackhi_epi8(firsts, seconds));
  storeEightPixelsAvx2(finishPairsAvx2(low), finishPairsAvx2(high), out + x * 4);
}

__attribute__((target("avx2"))) void interpolateRowAvx2(const uint8_t* row, const LinearAxis& axis,
                                                        uint8_t* out) {
  int x = 0;
  for (; x < axis.groupedPixels(); x += 8) eightGroupedPixelsAvx2(row, axis, x, out);
  for (; x + 8 <= axis.size(); x += 8) {
    storeEightPixelsAvx2(fourPixelsAvx2(row, axis, x), fourPixelsAvx2(row, axis, x + 4),
                         out + x * 4);
  }
  interpolatePixels(row, axis, x, out);
}
#endif

}  // namespace

std::span<const BilinearRowKernels> availableBilinearRowKernels() {
  static const std::vector<BilinearRowKernels> kernels = [] {
    std::vector<BilinearRowKernels> found{{blendRowsPortable, interpolateRowPortable, "portable"}};
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) {
      found.push_back({blendRowsSsse3, interpolateRowSsse3, "ssse3"});
    }
    if (__builtin_cpu_supports("avx2"))
      found.push_back({blendRowsAvx2, interpolateRowAvx2, "avx2"});
#endif
    return found;
  }();
  return kernels;
}

const BilinearRowKernels& bilinearRowKernels() {
  static const BilinearRowKernels& fastest = availableBilinearRowKernels().back();
  return fastest;
}

namespace {

constexpr int kFilterHalf = AxisFilter::kWeightOne / 2;

void filterRowsPortable(const uint8_t* firstRow, std::size_t stride, const AxisFilter& vertical,
                        int y, uint8_t* out, std::size_t bytes) {
  // Eight-bit weights summing to 256 keep every sum of weight × byte within 16 bits; a chunk of
  // sums stays in the first-level cache while the taps' rows stream past.
  constexpr std::size_t kChunk = 1024;
  uint16_t sums[kChunk];
  const uint16_t* weights = vertical.weights(y);
  for (std::size_t start = 0; start < bytes; start += kChunk) {
    const std::size_t count = std::min(kChunk, bytes - start);
    std::fill_n(sums, count, uint16_t{0});
    const uint8_t* in = firstRow + start;
    for (int k = 0; k < vertical.taps(); ++k, in += stride) {
      const uint16_t w = weights[k];
      if (w == 0) continue;
      for (std::size_t b = 0; b < count; ++b) sums[b] = static_cast<uint16_t>(sums[b] + w * in[b]);
    }
    for (std::size_t b = 0; b < count; ++b) {
      out[start + b] = static_cast<uint8_t>((sums[b] + kFilterHalf) >> AxisFilter::kWeightBits);
    }
  }
}

// Spreads the four bytes of a pixel into the 16-bit lanes of a word, in the lane order
// 0, 2, 1, 3; pack() undoes it.
inline uint64_t spread(const uint8_t* pixel) {
  uint32_t word;
  std::memcpy(&word, pixel, sizeof word);
  uint64_t p = word;
  return (p | (p << 24)) & 0x00FF00FF00FF00FFull;
}

inline void pack(uint64_t lanes, uint8_t* pixel) {
  uint64_t rounded =
      ((lanes + 0x0080008000800080ull) >> AxisFilter::kWeightBits) & 0x00FF00FF00FF00FFull;
  uint32_t word = static_cast<uint32_t>(rounded | (rounded >> 24));
  std::memcpy(pixel, &word, sizeof word);
}

template <int kTaps>
void filterPixels(const uint8_t* row, const AxisFilter& horizontal, int from, uint8_t* out) {
  const int taps = kTaps > 0 ? kTaps : horizontal.taps();
  for (int x = from; x < horizontal.size(); ++x) {
    const uint16_t* weights = horizontal.weights(x);
    const uint8_t* pixel = row + horizontal.pixelOffsets()[x];
    uint64_t lanes = 0;
    for (int k = 0; k < taps; ++k) lanes += spread(pixel + k * 4) * weights[k];
    pack(lanes, out + x * 4);
  }
}

// The portable horizontal filter from destination pixel `from` on.
void filterPixels(const uint8_t* row, const AxisFilter& horizontal, int from, uint8_t* out) {
  switch (horizontal.taps()) {
    case 1:
      if (!horizontal.isIdentity()) return filterPixels<1>(row, horizontal, from, out);
      std::memcpy(out + from * 4, row + from * 4,
                  static_cast<std::size_t>(horizontal.size() - from) * 4);
      return;
    case 2:
      return filterPixels<2>(row, horizontal, from, out);
    case 4:
      return filterPixels<4>(row, horizontal, from, out);
    case 6:
      return filterPixels<6>(row, horizontal, from, out);
    default:
      return filterPixels<0>(row, horizontal, from, out);
  }
}

void filterRowPortable(const uint8_t* row, const AxisFilter& horizontal, uint8_t* out) {
  filterPixels(row, horizontal, 0, out);
}

#if defined(__x86_64__)
// As in the linear kernels, pixels are flipped to signed bytes so unsigned weights multiply them
// pairwise: Σ w·(p − 128) over weights summing to 256 lies in [−32768, 32512] for every partial
// sum, so 16-bit lanes neither saturate nor overflow, and adding back 256·128 plus the rounding
// half (modulo 2^16) gives the portable result exactly.
constexpr int kMaxSimdPairs = 8;
constexpr uint16_t kFilterUnflipAndRound = AxisFilter::kWeightOne * 128 + kFilterHalf;

__attribute__((target("ssse3"))) inline __m128i finishFilterSsse3(__m128i sums) {
  return _mm_srli_epi16(
      _mm_add_epi16(sums, _mm_set1_epi16(static_cast<int16_t>(kFilterUnflipAndRound))),
      AxisFilter::kWeightBits);
}

// The tap pairs of row y with a non-zero weight: their weights as byte pairs and the offset of
// their first row. Returns how many.
int activePairs(const AxisFilter& vertical, int y, std::size_t stride, uint16_t* pairWeights,
                std::size_t* rowOffsets) {
  const uint16_t* weights = vertical.weights(y);
  int count = 0;
  for (int p = 0; p < vertical.taps() / 2; ++p) {
    if (weights[2 * p] == 0 && weights[2 * p + 1] == 0) continue;
    pairWeights[count] = static_cast<uint16_t>(weights[2 * p] | weights[2 * p + 1] << 8);
    rowOffsets[count++] = 2 * p * stride;
  }
  return count;
}

__attribute__((target("ssse3"))) void filterRowsSsse3(const uint8_t* firstRow, std::size_t stride,
                                                      const AxisFilter& vertical, int y,
                                                      uint8_t* out, std::size_t bytes) {
  if (!vertical.hasBytePairs() || vertical.taps() > 2 * kMaxSimdPairs) {
    return filterRowsPortable(firstRow, stride, vertical, y, out, bytes);
  }
  uint16_t pairWeights[kMaxSimdPairs];
  std::size_t rowOffsets[kMaxSimdPairs];
  const int pairs = activePairs(vertical, y, stride, pairWeights, rowOffsets);
  const __m128i flip = _mm_set1_epi8(-128);
  std::size_t i = 0;
  for (; i + 16 <= bytes; i += 16) {
    __m128i low = _mm_setzero_si128(), high = _mm_setzero_si128();
    for (int p = 0; p < pairs; ++p) {
      const uint8_t* in = firstRow + rowOffsets[p] + i;
      __m128i a = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), flip);
      __m128i b =
          _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + stride)), flip);
      const __m128i w = _mm_set1_epi16(static_cast<int16_t>(pairWeights[p]));
      low = _mm_add_epi16(low, _mm_maddubs_epi16(w, _mm_unpacklo_epi8(a, b)));
      high = _mm_add_epi16(high, _mm_maddubs_epi16(w, _mm_unpackhi_epi8(a, b)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_packus_epi16(finishFilterSsse3(low), finishFilterSsse3(high)));
  }
  filterRowsPortable(firstRow + i, stride, vertical, y, out + i, bytes - i);
}

// Destination pixels x and x + 1 as eight 16-bit sums.
__attribute__((target("ssse3"))) inline __m128i twoFilteredPixelsSsse3(const uint8_t* row,
                                                                       const AxisFilter& axis,
                                                                       int x) {
  __m128i sums = _mm_setzero_si128();
  for (int p = 0; p < axis.taps() / 2; ++p) {
    const uint8_t* w = axis.pairWeights() + (static_cast<std::size_t>(p) * axis.size() + x) * 8;
    sums =
        _mm_add_epi16(sums, _mm_maddubs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)),
                                              tapPairsSsse3(row + p * 8, axis.pixelOffsets(), x)));
  }
  return finishFilterSsse3(sums);
}

__attribute__((target("ssse3"))) void filterRowSsse3(const uint8_t* row, const AxisFilter& axis,
                                                     uint8_t* out) {
  if (!axis.hasBytePairs()) return filterRowPortable(row, axis, out);
  int x = 0;
  for (; x + 4 <= axis.size(); x += 4) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x * 4),
                     _mm_packus_epi16(twoFilteredPixelsSsse3(row, axis, x),
                                      twoFilteredPixelsSsse3(row, axis, x + 2)));
  }
  filterPixels(row, axis, x, out);
}

__attribute__((target("avx2"))) inline __m256i finishFilterAvx2(__m256i sums) {
  return _mm256_srli_epi16(
      _mm256_add_epi16(sums, _mm256_set1_epi16(static_cast<int16_t>(kFilterUnflipAndRound))),
      AxisFilter::kWeightBits);
}

__attribute__((target("avx2"))) void filterRowsAvx2(const uint8_t* firstRow, std::size_t stride,
                                                    const AxisFilter& vertical, int y, uint8_t* out,
                                                    std::size_t bytes) {
  if (!vertical.hasBytePairs() || vertical.taps() > 2 * kMaxSimdPairs) {
    return filterRowsPortable(firstRow, stride, vertical, y, out, bytes);
  }
  uint16_t pairWeights[kMaxSimdPairs];
  std::size_t rowOffsets[kMaxSimdPairs];
  const int pairs = activePairs(vertical, y, stride, pairWeights, rowOffsets);
  const __m256i flip = _mm256_set1_epi8(-128);
  std::size_t i = 0;
  for (; i + 32 <= bytes; i += 32) {
    __m256i low = _mm256_setzero_si256(), high = _mm256_setzero_si256();
    for (int p = 0; p < pairs; ++p) {
      const uint8_t* in = firstRow + rowOffsets[p] + i;
      __m256i a = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)), flip);
      __m256i b =
          _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + stride)), flip);
      const __m256i w = _mm256_set1_epi16(static_cast<int16_t>(pairWeights[p]));
      low = _mm256_add_epi16(low, _mm256_maddubs_epi16(w, _mm256_unpacklo_epi8(a, b)));
      high = _mm256_add_epi16(high, _mm256_maddubs_epi16(w, _mm256_unpackhi_epi8(a, b)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                        _mm256_packus_epi16(finishFilterAvx2(low), finishFilterAvx2(high)));
  }
  filterRowsSsse3(firstRow + i, stride, vertical, y, out + i, bytes - i);
}

// Destination pixels x … x + 3 as sixteen 16-bit sums: x, x + 1 in the low lane and x + 2,
// x + 3 in the high one.
__attribute__((target("avx2"))) inline __m256i fourFilteredPixelsAvx2(const uint8_t* row,
                                                                      const AxisFilter& axis,
                                                                      int x) {
  const int32_t* offsets = axis.pixelOffsets();
  __m256i sums = _mm256_setzero_si256();
  for (int p = 0; p < axis.taps() / 2; ++p) {
    const uint8_t* w = axis.pairWeights() + (static_cast<std::size_t>(p) * axis.size() + x) * 8;
    __m256i taps =
        _mm256_inserti128_si256(_mm256_castsi128_si256(tapPairsSsse3(row + p * 8, offsets, x)),
                                tapPairsSsse3(row + p * 8, offsets, x + 2), 1);
    sums = _mm256_add_epi16(
        sums, _mm256_maddubs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w)), taps));
  }
  return finishFilterAvx2(sums);
}

__attribute__((target("avx2"))) void filterRowAvx2(const uint8_t* row, const AxisFilter& axis,
                                                   uint8_t* out) {
  if (!axis.hasBytePairs()) return filterRowPortable(row, axis, out);
  int x = 0;
  for (; x + 8 <= axis.size(); x += 8) {
    storeEightPixelsAvx2(fourFilteredPixelsAvx2(row, axis, x),
                         fourFilteredPixelsAvx2(row, axis, x + 4), out + x * 4);
  }
  filterPixels(row, axis, x, out);
}
#endif

}  // namespace

std::span<const FilterRowKernels> availableFilterRowKernels() {
  static const std::vector<FilterRowKernels> kernels = [] {
    std::vector<FilterRowKernels> found{{filterRowsPortable, filterRowPortable, "portable"}};
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) {
      found.push_back({filterRowsSsse3, filterRowSsse3, "ssse3"});
    }
    if (__builtin_cpu_supports("avx2")) found.push_back({filterRowsAvx2, filterRowAvx2, "avx2"});
#endif
    return found;
  }();
  return kernels;
}

const FilterRowKernels& filterRowKernels() {
  static const FilterRowKernels& fastest = availableFilterRowKernels().back();
  return fastest;
}

}  // namespace platform::imaging
