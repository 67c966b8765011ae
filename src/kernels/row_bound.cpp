#include "kernels/row_bound.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "kernels/code_bound.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vb::kernels {

namespace {

template <Metric M>
std::uint32_t row_bound_plain(const std::uint8_t* q, const std::uint8_t* x, std::size_t d) {
  return pair_bound(q, x, d, M);
}

template <Metric M>
void run_bound_plain(const std::uint8_t* q, const std::uint8_t* rows, std::size_t d, std::size_t count,
                     std::uint32_t* out) {
  for (std::size_t r = 0; r < count; ++r) out[r] = pair_bound(q, rows + r * d, d, M);
}

#if defined(__SSE2__)

// max(w - 1, 0) per byte for the wrapped differences w of 16 code pairs:
// the shorter way round is min(q - x, x - q) as unsigned bytes (128 either
// way for a difference of -128).
inline __m128i code_terms(__m128i q, __m128i x) {
  const __m128i diff = _mm_sub_epi8(q, x);
  const __m128i wrapped = _mm_min_epu8(diff, _mm_sub_epi8(_mm_setzero_si128(), diff));
  return _mm_subs_epu8(wrapped, _mm_set1_epi8(1));
}

// Adds 16 terms to the accumulator: as two 64-bit sums of bytes (L1), or as
// four 32-bit sums of squares (L2; a term is at most 127, so a pair of
// squares fits 16 bits doubled).
template <Metric M>
inline __m128i add_terms(__m128i acc, __m128i terms) {
  const __m128i zero = _mm_setzero_si128();
  if constexpr (M == Metric::kL1) return _mm_add_epi64(acc, _mm_sad_epu8(terms, zero));
  const __m128i lo = _mm_unpacklo_epi8(terms, zero);
  const __m128i hi = _mm_unpackhi_epi8(terms, zero);
  return _mm_add_epi32(acc, _mm_add_epi32(_mm_madd_epi16(lo, lo), _mm_madd_epi16(hi, hi)));
}

template <Metric M>
inline std::uint32_t total(__m128i acc) {
  if constexpr (M == Metric::kL1) {
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_add_epi64(acc, _mm_unpackhi_epi64(acc, acc))));
  }
  const __m128i pairs = _mm_add_epi32(acc, _mm_unpackhi_epi64(acc, acc));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_add_epi32(pairs, _mm_srli_epi64(pairs, 32))));
}

// The n < 16 bytes at x in the low lanes, zeros above, read with loads of
// 8 bytes and less (a small copy through memory would stall on the wide
// load that follows its narrow stores).
inline __m128i load_partial(const std::uint8_t* x, std::size_t n) {
  std::uint64_t lo = 0, hi = 0;
  std::size_t c = 0;
  if (n >= 8) {
    std::memcpy(&lo, x, 8);
    c = 8;
  }
  std::uint64_t rest = 0;
  for (std::size_t b = n; b > c; --b) rest = (rest << 8) | x[b - 1];
  (n >= 8 ? hi : lo) = rest;
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

// The bounds of two rows of eight codes from their 16 terms: the first row's
// in the low 32 bits, the second's in the high.
template <Metric M>
inline std::uint64_t two_bounds(__m128i terms) {
  if constexpr (M == Metric::kL1) {
    const __m128i sums = _mm_sad_epu8(terms, _mm_setzero_si128());
    const auto lo = static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums));
    const auto hi = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    return lo | static_cast<std::uint64_t>(hi) << 32;
  }
  const __m128i zero = _mm_setzero_si128();
  const __m128i first = _mm_unpacklo_epi8(terms, zero);
  const __m128i second = _mm_unpackhi_epi8(terms, zero);
  const __m128i a = _mm_madd_epi16(first, first);    // four partial sums of the first row
  const __m128i b = _mm_madd_epi16(second, second);  // and of the second
  const __m128i halves = _mm_add_epi32(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
  const __m128i sums = _mm_add_epi32(halves, _mm_srli_epi64(halves, 32));  // lanes 0 and 2
  const auto lo = static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums));
  const auto hi = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  return lo | static_cast<std::uint64_t>(hi) << 32;
}

// Bytes 0 .. n - 1 set, the rest clear (n <= 16).
inline __m128i low_bytes(std::size_t n) {
  const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  return _mm_cmplt_epi8(lanes, _mm_set1_epi8(static_cast<char>(n)));
}

// The bound of q against the row at x: its whole groups of 16, then the
// rest, which `tail` loads (zeros past the row).
template <Metric M, class Tail>
inline std::uint32_t bound_of_row(const std::uint8_t* q, const std::uint8_t* x, std::size_t full, Tail tail) {
  __m128i acc = _mm_setzero_si128();
  for (std::size_t c = 0; c < full; c += 16) {
    const __m128i qc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + c));
    acc = add_terms<M>(acc, code_terms(qc, _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + c))));
  }
  if constexpr (!std::is_same_v<Tail, std::nullptr_t>) {
    const __m128i qc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + full));
    acc = add_terms<M>(acc, code_terms(qc, tail(x + full)));
  }
  return total<M>(acc);
}

// kD > 0: exactly kD codes; kD = 0: any d. No byte past the row is read.
template <Metric M, std::size_t kD>
std::uint32_t row_bound_sse2(const std::uint8_t* q, const std::uint8_t* x, std::size_t d) {
  if constexpr (kD > 0) d = kD;
  const std::size_t full = d / 16 * 16;
  if constexpr (kD > 0 && kD % 16 == 0) {
    return bound_of_row<M>(q, x, full, nullptr);
  } else if constexpr (kD % 16 == 8) {
    return bound_of_row<M>(q, x, full, [](const std::uint8_t* at) {
      return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
    });
  } else {
    if (full == d) return bound_of_row<M>(q, x, full, nullptr);
    return bound_of_row<M>(q, x, full, [&](const std::uint8_t* at) { return load_partial(at, d - full); });
  }
}

// A run of rows: a row's rest is read with one 16-byte load, masked, while
// that load stays within the run; only the last rows take the narrow loads.
template <Metric M, std::size_t kD>
void run_bound_sse2(const std::uint8_t* q, const std::uint8_t* rows, std::size_t d, std::size_t count,
                    std::uint32_t* out) {
  if constexpr (kD > 0) d = kD;
  if constexpr (kD == 8) {
    // Two rows a load, the query's eight codes beside each other.
    const __m128i q8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q));
    const __m128i qq = _mm_unpacklo_epi64(q8, q8);
    std::size_t r = 0;
    for (; r + 2 <= count; r += 2) {
      const __m128i terms = code_terms(qq, _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + r * 8)));
      const std::uint64_t pair = two_bounds<M>(terms);
      out[r] = static_cast<std::uint32_t>(pair);
      out[r + 1] = static_cast<std::uint32_t>(pair >> 32);
    }
    if (r < count) out[r] = row_bound_sse2<M, 8>(q, rows + r * 8, 8);
  } else if constexpr (kD == 16) {
    // The query loaded once: stores of bounds may alias it for all the compiler knows.
    const __m128i qc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    for (std::size_t r = 0; r < count; ++r) {
      const __m128i terms = code_terms(qc, _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + r * 16)));
      out[r] = total<M>(add_terms<M>(_mm_setzero_si128(), terms));
    }
  } else if constexpr (kD > 0 && kD % 8 == 0) {
    for (std::size_t r = 0; r < count; ++r) out[r] = row_bound_sse2<M, kD>(q, rows + r * d, d);
  } else {
    const std::size_t full = d / 16 * 16;
    const std::size_t rest = d - full;
    if (rest == 0) {
      for (std::size_t r = 0; r < count; ++r) out[r] = bound_of_row<M>(q, rows + r * d, full, nullptr);
      return;
    }
    const __m128i mask = low_bytes(rest);
    const std::uint8_t* end = rows + count * d;
    std::size_t r = 0;
    for (; r < count && rows + r * d + full + 16 <= end; ++r) {
      out[r] = bound_of_row<M>(q, rows + r * d, full, [&](const std::uint8_t* at) {
        return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), mask);
      });
    }
    for (; r < count; ++r) out[r] = row_bound_sse2<M, 0>(q, rows + r * d, d);
  }
}

template <Metric M>
RowBoundKernels sse2_for(std::size_t d) {
  switch (d) {
    case 8:
      return {row_bound_sse2<M, 8>, run_bound_sse2<M, 8>};
    case 16:
      return {row_bound_sse2<M, 16>, run_bound_sse2<M, 16>};
    case 24:
      return {row_bound_sse2<M, 24>, run_bound_sse2<M, 24>};
    case 32:
      return {row_bound_sse2<M, 32>, run_bound_sse2<M, 32>};
    default:
      return {row_bound_sse2<M, 0>, run_bound_sse2<M, 0>};
  }
}

#endif

}  // namespace

RowBoundKernels portable_row_bound(Metric metric) {
  if (metric == Metric::kL2) return {row_bound_plain<Metric::kL2>, run_bound_plain<Metric::kL2>};
  return {row_bound_plain<Metric::kL1>, run_bound_plain<Metric::kL1>};
}

RowBoundKernels row_bound_kernel(Metric metric, std::size_t d) {
#if defined(__SSE2__)
  return metric == Metric::kL2 ? sse2_for<Metric::kL2>(d) : sse2_for<Metric::kL1>(d);
#else
  (void)d;
  return portable_row_bound(metric);
#endif
}

}  // namespace vb::kernels
