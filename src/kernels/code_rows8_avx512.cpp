// AVX-512 code bounds of rows of 8 codes in key order, with the byte
// operations of AVX-512 BW: a register holds eight rows, and a row's eight
// codes add into one 64-bit sum (vpsadbw), compared into a mask register.
//
// A row is first measured by W, the sum of its wrapped differences w: with
// the query's codes less 128 subtracted, a code lies 128 + w or 128 - w
// from 128 (-128 reading as 0, 128 away), so vpsadbw against 128 adds the
// w. The bound B sums max(w - 1, 0), so B >= W - 8, and a row with W >
// limit + 8 cannot survive. Full rows far from a tile leave most words of
// 32 rows without any other row: those cost three operations a register
// instead of five. A word with one is measured again by B itself (vpabsb,
// less one with unsigned saturation), so the survivors stay those of every
// level.
//
// The last rows of a tile are read with byte-masked loads (the bytes past
// count are never touched).
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "kernels/code_bound.h"

namespace vb::kernels {
namespace {

constexpr std::size_t kD = 8;           // codes a row
constexpr std::size_t kRowsPerReg = 8;  // rows a 64-byte register holds

struct Rows8 {
  __m512i q;        // the query's codes
  __m512i shifted;  // the query's codes less 128
  __m512i half;     // 128 in every byte
  __m512i one8;
  __m512i limit;       // the job's limit
  __m512i limit_band;  // the limit plus 8: W above it proves B above the limit

  explicit Rows8(const CodeBoundJob& job) {
    std::int64_t word8 = 0;
    std::memcpy(&word8, job.query, sizeof word8);
    q = _mm512_set1_epi64(word8);
    half = _mm512_set1_epi8(static_cast<char>(0x80));
    shifted = _mm512_xor_si512(q, half);
    one8 = _mm512_set1_epi8(1);
    limit = _mm512_set1_epi64(job.limit);
    limit_band = _mm512_set1_epi64(static_cast<std::int64_t>(job.limit) + static_cast<std::int64_t>(kD));
  }

  // The bits of those of eight rows whose W leaves them a chance.
  inline std::uint32_t near(__m512i x) const {
    return _mm512_cmple_epi64_mask(_mm512_sad_epu8(_mm512_sub_epi8(x, shifted), half), limit_band);
  }

  // The survivor bits of eight rows by B.
  inline std::uint32_t exact(__m512i x) const {
    const __m512i terms = _mm512_subs_epu8(_mm512_abs_epi8(_mm512_sub_epi8(x, q)), one8);
    return _mm512_cmple_epi64_mask(_mm512_sad_epu8(terms, _mm512_setzero_si512()), limit);
  }
};

void code_bound_rows8(const CodeBoundJob& job) {
  const Rows8 k(job);
  auto load = [](const std::uint8_t* at) { return _mm512_loadu_si512(at); };
  const std::size_t whole = job.count / 32;
  for (std::size_t w = 0; w < whole; ++w) {
    const std::uint8_t* at = job.tile + w * 32 * kD;
    const __m512i x0 = load(at), x1 = load(at + 64), x2 = load(at + 128), x3 = load(at + 192);
    std::uint32_t word = k.near(x0) | k.near(x1) << 8 | k.near(x2) << 16 | k.near(x3) << 24;
    if (word != 0) word = k.exact(x0) | k.exact(x1) << 8 | k.exact(x2) << 16 | k.exact(x3) << 24;
    job.survivors[w] = word;
  }
  const std::size_t filled = job.count - whole * 32;
  if (filled == 0) return;
  const std::uint8_t* at = job.tile + whole * 32 * kD;
  std::uint32_t word = 0;
  for (std::size_t j = 0; j * kRowsPerReg < filled; ++j) {
    const std::size_t bytes = std::min(filled - j * kRowsPerReg, kRowsPerReg) * kD;
    const __mmask64 mask = bytes == 64 ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1;
    word |= k.exact(_mm512_maskz_loadu_epi8(mask, at + j * 64)) << (j * kRowsPerReg);
  }
  job.survivors[whole] = word & ((1u << filled) - 1u);
}

}  // namespace

CodeBoundKernel code_bound_rows8_l1_avx512bw() { return code_bound_rows8; }

}  // namespace vb::kernels
