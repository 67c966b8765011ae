#include "kernels/code_bound.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kernels/torus_codes.h"

namespace vb::kernels {

#if defined(VB_HAVE_X86_KERNELS)
CodeBoundKernel code_bound_kernel_avx2(Metric metric, std::size_t groups, bool weighted);
void code_upper_l1_avx2(const CodeUpperJob& job);
CodeBoundKernel code_bound_rows8_l1_avx2();
CodeBoundKernel code_bound_rows8_l1_avx512bw();
CodeBoundKernel code_bound_rows16_l1_avx512bw();
#endif

namespace {

// max(w - 1, 0) for the wrapped difference w of two codes.
inline std::uint32_t code_term(std::uint8_t a, std::uint8_t b) {
  const int wrapped = std::abs(static_cast<int>(static_cast<std::int8_t>(static_cast<std::uint8_t>(a - b))));
  return wrapped > 0 ? static_cast<std::uint32_t>(wrapped - 1) : 0;
}

// A term as the bound adds it: weighted (w = 1 unweighted), squared for L2.
template <Metric M>
inline std::uint32_t bound_term(std::uint32_t t, std::uint32_t w) {
  const std::uint32_t weighted = t * w;
  return M == Metric::kL2 ? weighted * weighted : weighted;
}

template <Metric M, bool kWeighted>
void code_bound_portable(const CodeBoundJob& job) {
  const std::size_t words = (job.count + 31) / 32;
  for (std::size_t w = 0; w < words; ++w) {
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < 32 && 32 * w + i < job.count; ++i) {
      const std::size_t lane = 32 * w + i;
      std::int64_t sum = 0;
      for (std::size_t g = 0; g < job.groups; ++g) {
        for (std::size_t b = 0; b < kCodeGroup; ++b) {
          const std::uint32_t t = code_term(job.tile[(g * job.lanes + lane) * kCodeGroup + b],
                                            job.query[g * kCodeGroup + b]);
          sum += bound_term<M>(t, kWeighted ? job.weights[g * kCodeGroup + b] : 1u);
        }
      }
      if (sum <= job.limit) word |= 1u << i;
    }
    job.survivors[w] = word;
  }
}

// Why U bounds the computed distance from above. Let u = min(w + 1, 128) /
// 256 for a coordinate's wrapped code difference w: the circle distance of
// the two coordinates is at most u, so either |q - x| <= u or |q - x| >= 1 - u,
// both floats, and rounding never crosses a float: a = fl(|q - x|) <= u, or
// a >= 1 - u and then 1 - a <= u (exact, a >= 1/2). So the term min(fl(1 - a),
// a) <= u, and its square <= u * u, a float (a multiple of 2^-16). Every
// partial sum of the u (or u * u) is a float while the integer sum stays
// below 2^24 (kMaxCodeDims), and rounding is monotone, so the computed sum
// D' <= U / units in any order.
template <Metric M>
void code_upper_portable(const CodeUpperJob& job) {
  std::fill_n(job.out, job.count, 0u);
  for (std::size_t c = 0; c < job.d; ++c) {
    const std::uint8_t q = job.query[c];
    const std::uint8_t* at = job.tile + (c / kCodeGroup) * job.lanes * kCodeGroup + c % kCodeGroup;
    for (std::size_t i = 0; i < job.count; ++i) {
      const std::uint8_t diff = static_cast<std::uint8_t>(at[i * kCodeGroup] - q);
      const std::uint32_t wrapped = diff <= 128 ? diff : 256u - diff;
      const std::uint32_t u = wrapped < 128 ? wrapped + 1 : 128u;
      job.out[i] += M == Metric::kL2 ? u * u : u;
    }
  }
}

// Rows of D codes in key order, bounded one by one.
template <std::size_t D>
void code_bound_rows_portable(const CodeBoundJob& job) {
  const std::size_t words = (job.count + 31) / 32;
  for (std::size_t w = 0; w < words; ++w) {
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < 32 && 32 * w + i < job.count; ++i) {
      const std::uint8_t* row = job.tile + (32 * w + i) * D;
      std::int64_t sum = 0;
      for (std::size_t c = 0; c < D; ++c) sum += code_term(row[c], job.query[c]);
      if (sum <= job.limit) word |= 1u << i;
    }
    job.survivors[w] = word;
  }
}

}  // namespace

bool encode_query(const float* q, std::size_t d, std::uint8_t* out) {
  const std::size_t padded = code_groups(d) * kCodeGroup;
  const bool on = encode(q, d, out) == 0;
  for (std::size_t c = d; c < padded; ++c) out[c] = 0;
  return on;
}

namespace {

// Rows of exactly kGroups whole groups: the copies of a row unrolled, where
// the general loop spends more on its own counting than on the four bytes it
// moves per group (a bucket's static codes are packed for every block).
template <std::size_t kGroups>
void pack_whole_groups(const std::uint8_t* codes, const std::int64_t* ids, std::size_t count, std::size_t lanes,
                       std::uint8_t* tile) {
  constexpr std::size_t kD = kGroups * kCodeGroup;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t at = ids != nullptr ? static_cast<std::uint64_t>(ids[i]) : i;
    const std::uint8_t* row = codes + at * kD;
    std::uint8_t* out = tile + i * kCodeGroup;
    for (std::size_t g = 0; g < kGroups; ++g) std::memcpy(out + g * lanes * kCodeGroup, row + g * kCodeGroup, kCodeGroup);
  }
}

}  // namespace

void pack_code_tile(const std::uint8_t* codes, std::size_t d, const std::int64_t* ids, std::size_t count,
                    std::size_t lanes, std::uint8_t* tile) {
  switch (d) {
    case 8:
      return pack_whole_groups<2>(codes, ids, count, lanes, tile);
    case 16:
      return pack_whole_groups<4>(codes, ids, count, lanes, tile);
    case 24:
      return pack_whole_groups<6>(codes, ids, count, lanes, tile);
    case 32:
      return pack_whole_groups<8>(codes, ids, count, lanes, tile);
    default:
      break;
  }
  const std::size_t full = d / kCodeGroup;
  const std::size_t rest = d % kCodeGroup;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t at = ids != nullptr ? static_cast<std::uint64_t>(ids[i]) : i;
    const std::uint8_t* row = codes + at * d;
    for (std::size_t g = 0; g < full; ++g) std::memcpy(tile + (g * lanes + i) * kCodeGroup, row + g * kCodeGroup, kCodeGroup);
    if (rest != 0) {
      std::uint8_t last[kCodeGroup] = {};
      std::memcpy(last, row + full * kCodeGroup, rest);
      std::memcpy(tile + (full * lanes + i) * kCodeGroup, last, kCodeGroup);
    }
  }
}

// Why the limit needs no margin for rounding on the unit torus. Let w be a
// coordinate's wrapped code difference and b = max(w - 1, 0) / 256, a float.
// The true linear difference |q - x| lies in [b, 1 - b] (the circle distance
// is at least b and at most |q - x|), and b and 1 - b are floats, so the
// rounded a = fl(|q - x|) lies there too: rounding never crosses a float. Then
// 1 - a >= b exactly, so the kernels' term min(fl(1 - a), a) >= b, and its
// square >= b * b, a float as well (b * b is a multiple of 2^-16 below 2^-2).
// Every partial sum of the b (or b * b) is a float while the integer bound
// stays below 2^24 (kMaxCodeDims), and rounding is monotone, so the
// computed distance D' >= B / units in any summation order. A bound with
// B > floor(S * units) has B / units > S and so D' > S, strictly.
//
// With periods the unit term t >= b still holds, but the kernels then round
// fl(t * p) >= fl(b * p) >= b * p * (1 - u), u = 2^-24 (the periods keep every
// product in the normal range), for L2 once more in squaring, and the sum of
// d non-negative terms loses at most a factor (1 - u) per addition that is
// not exact. So on a cube of side p, D' >= (1 - (d + 1) u) * p * B / 256 (L1;
// p^2 and 65536 for L2). units = 256 / p * (1 + 2 (d + 3) u) is more than
// 256 / (p (1 - (d + 1) u)) with room for the double rounding of the
// division and of S * units, so B > floor(S * units) again gives D' > S.
//
// Unequal periods weigh the terms: with the longest period pmax and the
// largest weight wmax, axis c weighs w_c = floor(wmax * p_c / pmax), so that
// p_c >= w_c * pmax / wmax and D' >= (1 - (d + 1) u) * B * pmax / (256 wmax)
// (its square for L2, B summing (w t)^2). wmax keeps the kernels' sums exact:
// 2 * 127 * 127 in 16 bits for L1; for L2 127 wmax in 16 bits and d terms
// (127 wmax)^2 in 31 bits.
std::optional<CodeScale> code_scale(Metric metric, const float* periods, std::size_t d) {
  if (periods == nullptr) return unit_code_scale(metric);
  if (d == 0 || d > kMaxCodeDims) return std::nullopt;
  float low = periods[0], high = periods[0];
  for (std::size_t c = 1; c < d; ++c) {
    low = std::min(low, periods[c]);
    high = std::max(high, periods[c]);
  }
  const double slack = 1.0 + 2.0 * (static_cast<double>(d) + 3.0) * 0x1p-24;
  const bool l2 = metric == Metric::kL2;
  if (low == high) {
    const double p = low;
    return CodeScale{(l2 ? 65536.0 / (p * p) : 256.0 / p) * slack, {}};
  }
  const double wmax =
      l2 ? std::min(127.0, std::floor(46340.0 / (127.0 * std::sqrt(static_cast<double>(d))))) : 127.0;
  const double pmax = high;
  CodeScale scale;
  scale.weights.assign(code_groups(d) * kCodeGroup, 0);
  for (std::size_t c = 0; c < d; ++c) {
    const double p = periods[c];
    double w = std::floor(wmax * p / pmax);
    // Both products are exact in double (a float times a small integer), so
    // this undoes a quotient rounded up onto the next integer.
    if (w * pmax > wmax * p) w -= 1.0;
    if (w < kMinCodeWeight) return std::nullopt;
    scale.weights[c] = static_cast<std::uint8_t>(w);
  }
  const double per_unit = 256.0 * wmax / pmax;
  scale.units = (l2 ? per_unit * per_unit : per_unit) * slack;
  return scale;
}

std::int32_t code_limit(float summed, const CodeScale& scale) {
  if (std::isnan(summed) || std::isinf(summed)) return summed < 0 ? -1 : std::numeric_limits<std::int32_t>::max();
  if (summed < 0.0f) return -1;
  // Exact on the unit torus: a float times a power of two.
  const double limit = static_cast<double>(summed) * scale.units;
  if (!(limit < 2147483647.0)) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(limit);  // limit >= 0: truncation is the floor
}

std::uint32_t pair_bound(const std::uint8_t* a, const std::uint8_t* b, std::size_t d, Metric metric,
                         const std::uint8_t* weights) {
  std::uint32_t sum = 0;
  for (std::size_t c = 0; c < d; ++c) {
    const std::uint32_t w = weights != nullptr ? weights[c] : 1u;
    sum += metric == Metric::kL2 ? bound_term<Metric::kL2>(code_term(a[c], b[c]), w)
                                 : bound_term<Metric::kL1>(code_term(a[c], b[c]), w);
  }
  return sum;
}

CodeBoundKernel code_bound_kernel(CpuLevel level, Metric metric, std::size_t groups, bool weighted) {
#if defined(VB_HAVE_X86_KERNELS)
  // The byte operations at 512 bits need AVX-512 BW, which the AVX-512 level
  // does not promise; every AVX-512 CPU runs the AVX2 kernel.
  if (level >= CpuLevel::kAvx2) return code_bound_kernel_avx2(metric, groups, weighted);
#endif
  (void)level;
  (void)groups;
  if (metric == Metric::kL2) {
    return weighted ? code_bound_portable<Metric::kL2, true> : code_bound_portable<Metric::kL2, false>;
  }
  return weighted ? code_bound_portable<Metric::kL1, true> : code_bound_portable<Metric::kL1, false>;
}

CodeBoundKernel code_bound_rows_kernel(CpuLevel level, Metric metric, std::size_t d, bool weighted) {
  if (metric != Metric::kL1 || weighted) return nullptr;
#if defined(VB_HAVE_X86_KERNELS)
  // 512-bit byte operations need AVX-512 BW besides the level's F and DQ.
  // There a register pairs the two sums of a row of 16 codes cheaply, and
  // reading them in place beats packing them.
  if (level >= CpuLevel::kAvx512 && supports_avx512bw()) {
    if (d == 8) return code_bound_rows8_l1_avx512bw();
    if (d == 16) return code_bound_rows16_l1_avx512bw();
  }
#endif
  // A row of 8 codes fills one 64-bit sum of absolute differences. Rows of
  // 16 measured slower read in place than packed with 256-bit registers
  // (pairing the halves costs more than the packing it saves), so below
  // AVX-512 BW they keep the packed tile.
  if (d != 8) return nullptr;
#if defined(VB_HAVE_X86_KERNELS)
  if (level >= CpuLevel::kAvx2) return code_bound_rows8_l1_avx2();
#endif
  (void)level;
  return code_bound_rows_portable<8>;
}

CodeUpperKernel code_upper_kernel(CpuLevel level, Metric metric) {
  if (metric == Metric::kL2) return code_upper_portable<Metric::kL2>;
#if defined(VB_HAVE_X86_KERNELS)
  if (level >= CpuLevel::kAvx2) return code_upper_l1_avx2;
#endif
  (void)level;
  return code_upper_portable<Metric::kL1>;
}

}  // namespace vb::kernels
