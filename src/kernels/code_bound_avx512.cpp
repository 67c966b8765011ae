// AVX-512 code bounds of rows of 8 codes in key order, with the byte
// operations of AVX-512 BW: a register holds eight rows, whose terms
// (vpsubb, vpabsb, less one with unsigned saturation) vpsadbw adds into one
// 64-bit sum each, and vpcmpq writes their eight survivor bits straight into
// a mask register, so a word of 32 rows takes four registers and no moves
// of compare results through the vector unit. The last rows of a tile are
// read with byte-masked loads (the bytes past count are never touched). The
// sums are the exact integers of the other levels: the same survivors.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "kernels/code_bound.h"

namespace vb::kernels {
namespace {

constexpr std::size_t kD = 8;           // codes a row
constexpr std::size_t kRowsPerReg = 8;  // rows a 64-byte register holds

void code_bound_rows8(const CodeBoundJob& job) {
  std::int64_t word8 = 0;
  std::memcpy(&word8, job.query, sizeof word8);
  const __m512i q = _mm512_set1_epi64(word8);
  const __m512i one8 = _mm512_set1_epi8(1);
  const __m512i zero = _mm512_setzero_si512();
  const __m512i limit = _mm512_set1_epi64(job.limit);
  // The survivor bits of eight rows, in row order.
  auto eight = [&](__m512i x) -> std::uint32_t {
    const __m512i sums = _mm512_sad_epu8(_mm512_subs_epu8(_mm512_abs_epi8(_mm512_sub_epi8(x, q)), one8), zero);
    return _mm512_cmple_epi64_mask(sums, limit);
  };
  auto load = [](const std::uint8_t* at) { return _mm512_loadu_si512(at); };
  const std::size_t whole = job.count / 32;
  for (std::size_t w = 0; w < whole; ++w) {
    const std::uint8_t* at = job.tile + w * 32 * kD;
    job.survivors[w] = eight(load(at)) | eight(load(at + 64)) << 8 | eight(load(at + 128)) << 16 |
                       eight(load(at + 192)) << 24;
  }
  const std::size_t filled = job.count - whole * 32;
  if (filled == 0) return;
  const std::uint8_t* at = job.tile + whole * 32 * kD;
  std::uint32_t word = 0;
  for (std::size_t j = 0; j * kRowsPerReg < filled; ++j) {
    const std::size_t bytes = std::min(filled - j * kRowsPerReg, kRowsPerReg) * kD;
    const __mmask64 mask = bytes == 64 ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1;
    word |= eight(_mm512_maskz_loadu_epi8(mask, at + j * 64)) << (j * kRowsPerReg);
  }
  job.survivors[whole] = word & ((1u << filled) - 1u);
}

}  // namespace

CodeBoundKernel code_bound_rows8_l1_avx512bw() { return code_bound_rows8; }

}  // namespace vb::kernels
