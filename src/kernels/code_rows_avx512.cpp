// AVX-512 BW code bounds of rows read in place (key order, d bytes a row):
// one 512-bit register holds 64 codes, eight rows of 8 or four of 16. Per
// byte the wrapped difference is vpsubb then vpabsb (whose -128 reads as 128
// unsigned), less one with unsigned saturation, and vpsadbw adds each eight
// terms into a 64-bit sum: a row of 8 is one sum; a row of 16 is two
// neighbouring sums, which two registers' worth of rows pair up with one
// permutation each way (vpermt2q) before a single add. A compare into a
// mask register gives the survivor bits in row order, so a word of 32 rows
// takes four registers (d = 8) or eight (d = 16). The last rows of a run
// are loaded under a mask, which reads no byte past the run's last row.
// The sums are exact integers: the survivors are those of every level.
//
// Built with AVX-512 BW on top of the AVX-512 level's F and DQ: only the
// dispatch in code_bound.cpp, after checking the CPU has BW, calls in here.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "kernels/code_bound.h"

namespace vb::kernels {
namespace {

// The 64-bit sums of the terms of the 64 codes at `at` against the query's
// codes repeated in q, of the first `bytes` (whole 8-byte pieces) only:
// the rest read as the query's own codes, whose terms are zero.
inline __attribute__((always_inline)) __m512i sums_of(const std::uint8_t* at, __m512i q, __mmask8 pieces) {
  const __m512i x = _mm512_mask_loadu_epi64(q, pieces, at);
  const __m512i terms = _mm512_subs_epu8(_mm512_abs_epi8(_mm512_sub_epi8(x, q)), _mm512_set1_epi8(1));
  return _mm512_sad_epu8(terms, _mm512_setzero_si512());
}

// The 8-byte pieces of a register that lie before `bytes` (a multiple of 8).
inline __mmask8 pieces_below(std::size_t bytes) {
  return bytes >= 64 ? static_cast<__mmask8>(0xff) : static_cast<__mmask8>((1u << (bytes / 8)) - 1u);
}

void code_bound_rows8(const CodeBoundJob& job) {
  constexpr std::size_t kD = 8;
  std::int64_t word8 = 0;
  __builtin_memcpy(&word8, job.query, sizeof word8);
  const __m512i q = _mm512_set1_epi64(word8);
  const __m512i limit = _mm512_set1_epi64(job.limit);
  for (std::size_t row0 = 0; row0 < job.count; row0 += 32) {
    const std::size_t filled = std::min<std::size_t>(32, job.count - row0);
    const std::uint8_t* at = job.tile + row0 * kD;
    std::uint32_t word = 0;
    for (std::size_t j = 0; j < filled; j += 8) {
      const __m512i sums = sums_of(at + j * kD, q, pieces_below((filled - j) * kD));
      word |= static_cast<std::uint32_t>(_mm512_cmple_epi64_mask(sums, limit)) << j;
    }
    // Rows past the run read as the query's codes and pass: clear them.
    if (filled < 32) word &= (1u << filled) - 1u;
    job.survivors[row0 / 32] = word;
  }
}

void code_bound_rows16(const CodeBoundJob& job) {
  constexpr std::size_t kD = 16;
  std::int64_t halves[2];
  __builtin_memcpy(halves, job.query, sizeof halves);
  const __m512i q = _mm512_set_epi64(halves[1], halves[0], halves[1], halves[0], halves[1], halves[0], halves[1],
                                     halves[0]);
  const __m512i limit = _mm512_set1_epi64(job.limit);
  // Sums 0, 2, .. 14 of two registers (a then b) are the rows' first halves, 1, 3, .. 15 their second.
  const __m512i firsts = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
  const __m512i seconds = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
  for (std::size_t row0 = 0; row0 < job.count; row0 += 32) {
    const std::size_t filled = std::min<std::size_t>(32, job.count - row0);
    const std::uint8_t* at = job.tile + row0 * kD;
    std::uint32_t word = 0;
    for (std::size_t j = 0; j < filled; j += 8) {
      const std::size_t bytes = (filled - j) * kD;
      const __m512i a = sums_of(at + j * kD, q, pieces_below(bytes));
      const __m512i b = sums_of(at + j * kD + 64, q, pieces_below(bytes > 64 ? bytes - 64 : 0));
      const __m512i rows = _mm512_add_epi64(_mm512_permutex2var_epi64(a, firsts, b),
                                            _mm512_permutex2var_epi64(a, seconds, b));
      word |= static_cast<std::uint32_t>(_mm512_cmple_epi64_mask(rows, limit)) << j;
    }
    if (filled < 32) word &= (1u << filled) - 1u;
    job.survivors[row0 / 32] = word;
  }
}

}  // namespace

CodeBoundKernel code_bound_rows_l1_avx512(std::size_t d) {
  switch (d) {
    case 8:
      return code_bound_rows8;
    case 16:
      return code_bound_rows16;
    default:
      return nullptr;
  }
}

}  // namespace vb::kernels
