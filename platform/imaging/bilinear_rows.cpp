#include "platform/imaging/bilinear_rows.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace platform::imaging {

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

__attribute__((target("avx2"))) void blendRowsAvx2(const uint8_t* upper, const uint8_t* lower,
                                                   int secondWeight, uint8_t* out,
                                                   std::size_t bytes) {
  const __m256i weights = _mm256_set1_epi16(
      static_cast<int16_t>(secondWeight << 8 | (LinearAxis::kWeightOne - secondWeight)));
  const __m256i flip = _mm256_set1_epi8(-128);
  std::size_t i = 0;
  for (; i + 32 <= bytes; i += 32) {
    __m256i a =
        _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + i)), flip);
    __m256i b =
        _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + i)), flip);
    // Unpacking and packing both work within 128-bit lanes, so the bytes come back in order.
    __m256i low = finishPairsAvx2(_mm256_maddubs_epi16(weights, _mm256_unpacklo_epi8(a, b)));
    __m256i high = finishPairsAvx2(_mm256_maddubs_epi16(weights, _mm256_unpackhi_epi8(a, b)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_packus_epi16(low, high));
  }
  blendRowsSsse3(upper + i, lower + i, secondWeight, out + i, bytes - i);
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

__attribute__((target("avx2"))) void interpolateRowAvx2(const uint8_t* row, const LinearAxis& axis,
                                                        uint8_t* out) {
  int x = 0;
  for (; x + 8 <= axis.size(); x += 8) {
    // Packing interleaves the lanes (x…x+1, x+4…x+5, x+2…x+3, x+6…x+7); the permute restores order.
    __m256i packed =
        _mm256_packus_epi16(fourPixelsAvx2(row, axis, x), fourPixelsAvx2(row, axis, x + 4));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x * 4),
                        _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0)));
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

}  // namespace platform::imaging
