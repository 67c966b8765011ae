// AVX-512 BW code bounds of rows of 16 codes read in place (key order; rows
// of 8 have their own kernel in code_rows8_avx512.cpp): one 512-bit register
// holds 64 codes, four rows. Per byte the wrapped difference is vpsubb then
// vpabsb (whose -128 reads as 128 unsigned), less one with unsigned
// saturation, and vpsadbw adds each eight terms into a 64-bit sum; a row
// first adds its two halves' terms as bytes (eight_rows16). A compare into a
// mask register gives the survivor bits in row order, so a word of 32 rows
// takes eight registers. The last rows of a run are loaded under a mask,
// which reads no byte past the run's last row.
// The sums are exact integers: the survivors are those of every level.
//
// A whole word of 32 rows is first measured by W, the sum of its rows'
// wrapped differences w (each at most 128): with the query's codes less 128
// subtracted, a code lies 128 + w or 128 - w from 128, so vpsadbw against
// 128 adds a half row's w, and the halves add as 64-bit sums (as bytes they
// could pass 255; a saturating byte sum of the w would be sound too, but
// measured slower). The bound sums max(w - 1, 0) over 16 codes, so it is at
// least W - 16, and a word none of whose rows has W <= limit + 16 has no
// survivor. Far rows leave most words so, at about two thirds of the
// operations of B; a word with any row that passes is measured again by B,
// so that the survivors do not depend on the first pass.
//
// Built with AVX-512 BW on top of the AVX-512 level's F and DQ: only the
// dispatch in code_bound.cpp, after checking the CPU has BW, calls in here.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "kernels/code_bound.h"

namespace vb::kernels {
namespace {

// The 8-byte pieces of a register that lie before `bytes` (a multiple of 8).
inline __mmask8 pieces_below(std::size_t bytes) {
  return bytes >= 64 ? static_cast<__mmask8>(0xff) : static_cast<__mmask8>((1u << (bytes / 8)) - 1u);
}

// The terms of 64 codes against the query's codes repeated in q; pieces
// (8 bytes each) outside the mask read as the query's own codes, whose
// terms are zero.
inline __attribute__((always_inline)) __m512i terms_of(const std::uint8_t* at, __m512i q, __mmask8 pieces) {
  const __m512i x = _mm512_mask_loadu_epi64(q, pieces, at);
  return _mm512_subs_epu8(_mm512_abs_epi8(_mm512_sub_epi8(x, q)), _mm512_set1_epi8(1));
}

// The survivor bits of eight rows of 16 codes from the codes' terms, rows
// 0-3 in a and 4-7 in b: each 128-bit lane holds a row's two halves, whose
// terms (at most 127 each) add as bytes without overflow. Per lane the low
// halves of a's and b's rows side by side plus their high halves, one vpsadbw
// gives sums in the order a0 b0 a1 b1 .. a3 b3, put in row order by one
// permutation.
inline __attribute__((always_inline)) std::uint32_t eight_rows16(__m512i a, __m512i b, __m512i limit) {
  const __m512i halves = _mm512_add_epi8(_mm512_unpacklo_epi64(a, b), _mm512_unpackhi_epi64(a, b));
  const __m512i sums = _mm512_sad_epu8(halves, _mm512_setzero_si512());
  const __m512i rows = _mm512_permutexvar_epi64(_mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0), sums);
  return _mm512_cmple_epi64_mask(rows, limit);
}

// The two halves' sums of w of four rows of 16 codes, in the order of the
// halves (64-bit sums of at most 8 * 128).
inline __attribute__((always_inline)) __m512i half_w_sums(const std::uint8_t* at, __m512i shifted) {
  return _mm512_sad_epu8(_mm512_sub_epi8(_mm512_loadu_si512(at), shifted), _mm512_set1_epi8(static_cast<char>(0x80)));
}

// The W of eight rows of 16 codes (rows 0-3 at `at`, 4-7 after them), in
// the order a0 b0 a1 b1 .. a3 b3: the halves pair up by two unpacks.
inline __attribute__((always_inline)) __m512i eight_w(const std::uint8_t* at, __m512i shifted) {
  const __m512i a = half_w_sums(at, shifted), b = half_w_sums(at + 64, shifted);
  return _mm512_add_epi64(_mm512_unpacklo_epi64(a, b), _mm512_unpackhi_epi64(a, b));
}

// Whether any of 32 rows of 16 codes has W <= band (the limit plus 16). The
// rows' order does not matter here, so the least W of the four groups of
// eight meets one compare.
inline __attribute__((always_inline)) bool any_row_near(const std::uint8_t* at, __m512i shifted, __m512i band) {
  const __m512i least = _mm512_min_epu64(_mm512_min_epu64(eight_w(at, shifted), eight_w(at + 128, shifted)),
                                         _mm512_min_epu64(eight_w(at + 256, shifted), eight_w(at + 384, shifted)));
  return _mm512_cmple_epi64_mask(least, band) != 0;
}

// Whole words of 32 rows with plain loads; the last, partial word under masks.
void code_bound_rows16(const CodeBoundJob& job) {
  constexpr std::size_t kD = 16;
  const __m512i q = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(job.query)));
  const __m512i limit = _mm512_set1_epi64(job.limit);
  const __m512i shifted = _mm512_xor_si512(q, _mm512_set1_epi8(static_cast<char>(0x80)));
  const __m512i band = _mm512_set1_epi64(static_cast<std::int64_t>(job.limit) + static_cast<std::int64_t>(kD));
  const std::size_t full = job.count / 32;
  for (std::size_t w = 0; w < full; ++w) {
    const std::uint8_t* at = job.tile + w * 32 * kD;
    std::uint32_t word = 0;
    if (any_row_near(at, shifted, band)) {
#pragma GCC unroll 4
      for (std::size_t j = 0; j < 32; j += 8) {
        word |= eight_rows16(terms_of(at + j * kD, q, 0xff), terms_of(at + j * kD + 64, q, 0xff), limit) << j;
      }
    }
    job.survivors[w] = word;
  }
  if (const std::size_t filled = job.count - 32 * full; filled != 0) {
    const std::uint8_t* at = job.tile + full * 32 * kD;
    std::uint32_t word = 0;
    for (std::size_t j = 0; j < filled; j += 8) {
      const std::size_t bytes = (filled - j) * kD;
      word |= eight_rows16(terms_of(at + j * kD, q, pieces_below(bytes)),
                           terms_of(at + j * kD + 64, q, pieces_below(bytes > 64 ? bytes - 64 : 0)), limit)
              << j;
    }
    job.survivors[full] = word & ((1u << filled) - 1u);
  }
}

}  // namespace

CodeBoundKernel code_bound_rows16_l1_avx512bw() { return code_bound_rows16; }

}  // namespace vb::kernels
