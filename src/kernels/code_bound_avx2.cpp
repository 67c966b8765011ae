// AVX2 code bounds: a register holds eight lanes of four codes each. Per
// group the wrapped difference is vpsubb then vpabsb (whose -128 reads as 128
// unsigned), less one with unsigned saturation; vpmaddubsw adds the two
// terms of each half-group (L1: times one; L2: each term times itself)
// into 16 bits, and vpmaddwd the halves into the lane's 32-bit sum. Weighted
// terms (boxes of unequal sides): L1 multiplies the terms by the group's
// weights in vpmaddubsw; L2 widens the terms to 16 bits, multiplies them by
// the weights (vpmullw) and squares and adds pairs with vpmaddwd, two lanes'
// halves apart, which vphaddd puts together at the end. The sums are exact
// integers, so every level yields the same survivors.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "kernels/code_bound.h"

namespace vb::kernels {
namespace {

// L1 adds at most 2 * 127 a group to each 16-bit half; this many groups
// stay below 2^15 before they are widened to 32 bits.
constexpr std::size_t kL1GroupsPer16 = 64;

// The terms of group g for the four registers of a word.
inline __attribute__((always_inline)) void group_terms(const CodeBoundJob& job, const std::uint8_t* base,
                                                       std::size_t g, __m256i (&t)[4]) {
  std::int32_t word = 0;
  std::memcpy(&word, job.query + g * kCodeGroup, sizeof word);
  const __m256i q = _mm256_set1_epi32(word);
  const std::uint8_t* at = base + g * job.lanes * kCodeGroup;
#pragma GCC unroll 4
  for (std::size_t j = 0; j < 4; ++j) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + j * 32));
    t[j] = _mm256_subs_epu8(_mm256_abs_epi8(_mm256_sub_epi8(x, q)), _mm256_set1_epi8(1));
  }
}

// The group's four weights in every lane, as bytes (L1) or as 16-bit values
// twice over (L2: a lane's four terms widened).
inline __attribute__((always_inline)) __m256i weight_bytes(const CodeBoundJob& job, std::size_t g) {
  std::int32_t word = 0;
  std::memcpy(&word, job.weights + g * kCodeGroup, sizeof word);
  return _mm256_set1_epi32(word);
}

inline __attribute__((always_inline)) __m256i weight_words(const CodeBoundJob& job, std::size_t g) {
  const std::uint8_t* w = job.weights + g * kCodeGroup;
  std::uint64_t word = 0;
  for (std::size_t c = 0; c < kCodeGroup; ++c) word |= static_cast<std::uint64_t>(w[c]) << (16 * c);
  return _mm256_set1_epi64x(static_cast<std::int64_t>(word));
}

// The sums of one word (32 lanes, four registers of eight) over groups
// [g0, g1), added into sum. L1 adds two groups' terms (each at most 127) as
// bytes before vpmaddubsw, which halves the widening.
template <Metric M, bool kWeighted, std::size_t kGroups>
inline __attribute__((always_inline)) void add_groups(const CodeBoundJob& job, const std::uint8_t* base,
                                                      std::size_t g0, std::size_t g1, __m256i (&sum)[4]) {
  const __m256i one8 = _mm256_set1_epi8(1);
  const __m256i one16 = _mm256_set1_epi16(1);
  const std::size_t end = kGroups != 0 ? kGroups : g1;
  __m256i t[4], u[4];
  if constexpr (kWeighted && M == Metric::kL2) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i low[4], high[4];
    for (std::size_t j = 0; j < 4; ++j) low[j] = high[j] = zero;
#pragma GCC unroll 4
    for (std::size_t g = g0; g < end; ++g) {
      group_terms(job, base, g, t);
      const __m256i w = weight_words(job, g);
      for (std::size_t j = 0; j < 4; ++j) {
        const __m256i a = _mm256_mullo_epi16(_mm256_unpacklo_epi8(t[j], zero), w);
        const __m256i b = _mm256_mullo_epi16(_mm256_unpackhi_epi8(t[j], zero), w);
        low[j] = _mm256_add_epi32(low[j], _mm256_madd_epi16(a, a));
        high[j] = _mm256_add_epi32(high[j], _mm256_madd_epi16(b, b));
      }
    }
    // low holds lanes 0, 1 (4, 5) as two halves each, high lanes 2, 3 (6, 7).
    for (std::size_t j = 0; j < 4; ++j) sum[j] = _mm256_add_epi32(sum[j], _mm256_hadd_epi32(low[j], high[j]));
  } else if constexpr (kWeighted) {
#pragma GCC unroll 8
    for (std::size_t g = g0; g < end; ++g) {
      group_terms(job, base, g, t);
      const __m256i w = weight_bytes(job, g);
      for (std::size_t j = 0; j < 4; ++j) {
        sum[j] = _mm256_add_epi32(sum[j], _mm256_madd_epi16(_mm256_maddubs_epi16(t[j], w), one16));
      }
    }
  } else if constexpr (M == Metric::kL2) {
#pragma GCC unroll 8
    for (std::size_t g = g0; g < end; ++g) {
      group_terms(job, base, g, t);
      for (std::size_t j = 0; j < 4; ++j) {
        sum[j] = _mm256_add_epi32(sum[j], _mm256_madd_epi16(_mm256_maddubs_epi16(t[j], t[j]), one16));
      }
    }
  } else {
    __m256i half[4];
    for (auto& h : half) h = _mm256_setzero_si256();
    std::size_t g = g0;
#pragma GCC unroll 4
    for (; g + 2 <= end; g += 2) {
      group_terms(job, base, g, t);
      group_terms(job, base, g + 1, u);
      for (std::size_t j = 0; j < 4; ++j) {
        half[j] = _mm256_add_epi16(half[j], _mm256_maddubs_epi16(_mm256_add_epi8(t[j], u[j]), one8));
      }
    }
    if (g < end) {
      group_terms(job, base, g, t);
      for (std::size_t j = 0; j < 4; ++j) half[j] = _mm256_add_epi16(half[j], _mm256_maddubs_epi16(t[j], one8));
    }
    for (std::size_t j = 0; j < 4; ++j) sum[j] = _mm256_add_epi32(sum[j], _mm256_madd_epi16(half[j], one16));
  }
}

// kGroups != 0: rows of exactly that many groups, unrolled; 0: any.
template <Metric M, bool kWeighted, std::size_t kGroups>
void code_bound(const CodeBoundJob& job) {
  const __m256i limit = _mm256_set1_epi32(job.limit);
  const std::size_t groups = job.groups;
  const std::size_t words = (job.count + 31) / 32;
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint8_t* base = job.tile + w * 32 * kCodeGroup;
    __m256i sum[4];
    for (auto& s : sum) s = _mm256_setzero_si256();
    if constexpr (kGroups != 0) {
      add_groups<M, kWeighted, kGroups>(job, base, 0, kGroups, sum);
    } else {
      for (std::size_t g0 = 0; g0 < groups; g0 += kL1GroupsPer16) {
        add_groups<M, kWeighted, 0>(job, base, g0, groups - g0 < kL1GroupsPer16 ? groups : g0 + kL1GroupsPer16, sum);
      }
    }
    std::uint32_t kept = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const __m256i above = _mm256_cmpgt_epi32(sum[j], limit);
      kept |= static_cast<std::uint32_t>(~_mm256_movemask_ps(_mm256_castsi256_ps(above)) & 0xff) << (8 * j);
    }
    const std::size_t filled = job.count - 32 * w;
    if (filled < 32) kept &= (1u << filled) - 1u;
    job.survivors[w] = kept;
  }
}

template <Metric M, bool kWeighted>
CodeBoundKernel for_groups(std::size_t groups) {
  switch (groups) {
    case 1:
      return code_bound<M, kWeighted, 1>;
    case 2:
      return code_bound<M, kWeighted, 2>;
    case 3:
      return code_bound<M, kWeighted, 3>;
    case 4:
      return code_bound<M, kWeighted, 4>;
    case 5:
      return code_bound<M, kWeighted, 5>;
    case 6:
      return code_bound<M, kWeighted, 6>;
    default:
      return code_bound<M, kWeighted, 0>;
  }
}

// The bounds of rows of 8 codes in key order: a register holds four rows,
// whose terms vpsadbw adds into one 64-bit sum each. A word of 32 rows is
// first measured by W, the sum of the wrapped differences w (the query's
// codes less 128 subtracted, vpsadbw against 128: a code then lies 128 + w or
// 128 - w from 128), which is at most the bound B plus 8: a word without a
// row of W <= limit + 8 has no survivor, and only the others are measured
// by B itself. The last rows, when fewer than 32 are left, are measured by B
// and, fewer than four, copied beside zero rows first, so no row past count
// is read.
void code_bound_rows8(const CodeBoundJob& job) {
  constexpr std::size_t kD = 8;
  std::int64_t word8 = 0;
  std::memcpy(&word8, job.query, sizeof word8);
  const __m256i q = _mm256_set1_epi64x(word8);
  const __m256i half = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i shifted = _mm256_xor_si256(q, half);
  const __m256i one8 = _mm256_set1_epi8(1);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i limit = _mm256_set1_epi64x(job.limit);
  const __m256i limit_band = _mm256_set1_epi64x(static_cast<std::int64_t>(job.limit) + static_cast<std::int64_t>(kD));
  auto load = [](const std::uint8_t* at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)); };
  // The survivor bits of four rows, in row order.
  auto four = [&](const __m256i x) {
    const __m256i sums = _mm256_sad_epu8(_mm256_subs_epu8(_mm256_abs_epi8(_mm256_sub_epi8(x, q)), one8), zero);
    return static_cast<std::uint32_t>(~_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(sums, limit))) &
                                      0xf);
  };
  // Whether any of four rows has W <= limit + 8 (the rows' bits of W > limit + 8 not all set).
  auto far = [&](const __m256i x) {
    const __m256i sums = _mm256_sad_epu8(_mm256_sub_epi8(x, shifted), half);
    return _mm256_cmpgt_epi64(sums, limit_band);
  };
  const std::size_t whole = job.count / 32;
  for (std::size_t w = 0; w < whole; ++w) {
    const std::uint8_t* at = job.tile + w * 32 * kD;
    __m256i all_far = far(load(at));
#pragma GCC unroll 7
    for (std::size_t j = 1; j < 8; ++j) all_far = _mm256_and_si256(all_far, far(load(at + j * 32)));
    std::uint32_t word = 0;
    if (_mm256_movemask_pd(_mm256_castsi256_pd(all_far)) != 0xf) {
#pragma GCC unroll 8
      for (std::size_t j = 0; j < 8; ++j) word |= four(load(at + j * 32)) << (4 * j);
    }
    job.survivors[w] = word;
  }
  const std::size_t filled = job.count - whole * 32;
  if (filled == 0) return;
  std::uint32_t word = 0;
  for (std::size_t j = 0; j < filled; j += 4) {
    const std::uint8_t* at = job.tile + (whole * 32 + j) * kD;
    if (j + 4 > filled) {
      alignas(32) std::uint8_t last[4 * kD] = {};
      std::memcpy(last, at, (filled - j) * kD);
      word |= four(load(last)) << j;
    } else {
      word |= four(load(at)) << j;
    }
  }
  job.survivors[whole] = word & ((1u << filled) - 1u);
}

}  // namespace

CodeBoundKernel code_bound_rows8_l1_avx2() { return code_bound_rows8; }

// L1 upper bounds: per group the terms min(w + 1, 128) as bytes (vpaddusb,
// vpminub), two groups added as bytes (at most 256 would overflow, so each
// half-group pair is widened first by vpmaddubsw), then into 32 bits. The
// zero padding of the last group adds exactly one per padded coordinate,
// taken off at the end.
void code_upper_l1_avx2(const CodeUpperJob& job) {
  const std::size_t groups = code_groups(job.d);
  const std::uint32_t padding = static_cast<std::uint32_t>(groups * kCodeGroup - job.d);
  const __m256i one8 = _mm256_set1_epi8(1);
  const __m256i one16 = _mm256_set1_epi16(1);
  const __m256i half = _mm256_set1_epi8(static_cast<char>(128));
  const __m256i pad = _mm256_set1_epi32(static_cast<int>(padding));
  const std::size_t words = (job.count + 31) / 32;
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint8_t* base = job.tile + w * 32 * kCodeGroup;
    __m256i sum[4];
    for (auto& s : sum) s = _mm256_setzero_si256();
    for (std::size_t g0 = 0; g0 < groups; g0 += kL1GroupsPer16) {
      const std::size_t g1 = std::min(groups, g0 + kL1GroupsPer16);
      __m256i wide[4];
      for (auto& v : wide) v = _mm256_setzero_si256();
      for (std::size_t g = g0; g < g1; ++g) {
        std::int32_t word = 0;
        std::memcpy(&word, job.query + g * kCodeGroup, sizeof word);
        const __m256i q = _mm256_set1_epi32(word);
        const std::uint8_t* at = base + g * job.lanes * kCodeGroup;
        for (std::size_t j = 0; j < 4; ++j) {
          const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + j * 32));
          const __m256i t = _mm256_min_epu8(_mm256_adds_epu8(_mm256_abs_epi8(_mm256_sub_epi8(x, q)), one8), half);
          wide[j] = _mm256_add_epi16(wide[j], _mm256_maddubs_epi16(t, one8));
        }
      }
      for (std::size_t j = 0; j < 4; ++j) sum[j] = _mm256_add_epi32(sum[j], _mm256_madd_epi16(wide[j], one16));
    }
    const std::size_t filled = std::min<std::size_t>(32, job.count - 32 * w);
    alignas(32) std::uint32_t lanes[32];
    for (std::size_t j = 0; j < 4; ++j) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 8 * j), _mm256_sub_epi32(sum[j], pad));
    }
    std::memcpy(job.out + 32 * w, lanes, filled * sizeof(std::uint32_t));
  }
}

CodeBoundKernel code_bound_kernel_avx2(Metric metric, std::size_t groups, bool weighted) {
  if (metric == Metric::kL2) {
    return weighted ? for_groups<Metric::kL2, true>(groups) : for_groups<Metric::kL2, false>(groups);
  }
  return weighted ? for_groups<Metric::kL1, true>(groups) : for_groups<Metric::kL1, false>(groups);
}

}  // namespace vb::kernels
