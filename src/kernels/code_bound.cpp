#include "kernels/code_bound.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kernels/torus_codes.h"

namespace vb::kernels {

#if defined(VB_HAVE_X86_KERNELS)
CodeBoundKernel code_bound_kernel_avx2(Metric metric, std::size_t groups);
#endif

namespace {

// max(w - 1, 0) for the wrapped difference w of two codes.
inline std::uint32_t code_term(std::uint8_t a, std::uint8_t b) {
  const int wrapped = std::abs(static_cast<int>(static_cast<std::int8_t>(static_cast<std::uint8_t>(a - b))));
  return wrapped > 0 ? static_cast<std::uint32_t>(wrapped - 1) : 0;
}

template <Metric M>
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
          sum += M == Metric::kL2 ? t * t : t;
        }
      }
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

void pack_code_tile(const std::uint8_t* codes, std::size_t d, const std::int64_t* ids, std::size_t count,
                    std::size_t lanes, std::uint8_t* tile) {
  const std::size_t full = d / kCodeGroup;
  const std::size_t rest = d % kCodeGroup;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* row = codes + static_cast<std::uint64_t>(ids[i]) * d;
    for (std::size_t g = 0; g < full; ++g) std::memcpy(tile + (g * lanes + i) * kCodeGroup, row + g * kCodeGroup, kCodeGroup);
    if (rest != 0) {
      std::uint8_t last[kCodeGroup] = {};
      std::memcpy(last, row + full * kCodeGroup, rest);
      std::memcpy(tile + (full * lanes + i) * kCodeGroup, last, kCodeGroup);
    }
  }
}

// A computed distance D' of a pair with bound B satisfies, for d terms each
// rounded a few times in single precision (unit roundoff u = 2^-24):
//   - a term min(a, 1 - a) of a = |q - x| is at least the true term times
//     (1 - u) less 2^-25: a carries a relative error of u, and 1 - a, taken
//     where a >= 1/2, is exact (Sterbenz) but inherits a's absolute error
//     of at most 2^-25;
//   - squaring (L2) and the d - 1 additions lose at most a factor (1 - u)
//     each.
// So D' >= (1 - (d + 3) u) (B / units - d 2^-24) for L1 and L2 alike (the
// L2 square of the absolute error is folded in with the true term <= 1/2).
// B > limit = floor((S (1 + (d + 8) 2^-22) + d 2^-24) units) then gives
// D' > S; the relative margin is more than twice what the proof needs, which
// also covers the rounding of this double-precision computation.
std::int32_t code_limit(float summed, Metric metric, std::size_t d) {
  if (std::isnan(summed) || std::isinf(summed)) return summed < 0 ? -1 : std::numeric_limits<std::int32_t>::max();
  if (summed < 0.0f) return -1;
  const double units = metric == Metric::kL2 ? 65536.0 : 256.0;
  const double dims = static_cast<double>(d);
  const double limit = (static_cast<double>(summed) * (1.0 + (dims + 8.0) * 0x1p-22) + dims * 0x1p-24) * units;
  if (!(limit < 2147483647.0)) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(limit);  // limit >= 0: truncation is the floor
}

std::uint32_t pair_bound(const std::uint8_t* a, const std::uint8_t* b, std::size_t d, Metric metric) {
  std::uint32_t sum = 0;
  for (std::size_t c = 0; c < d; ++c) {
    const std::uint32_t t = code_term(a[c], b[c]);
    sum += metric == Metric::kL2 ? t * t : t;
  }
  return sum;
}

CodeBoundKernel code_bound_kernel(CpuLevel level, Metric metric, std::size_t groups) {
#if defined(VB_HAVE_X86_KERNELS)
  // The byte operations at 512 bits need AVX-512 BW, which the AVX-512 level
  // does not promise; every AVX-512 CPU runs the AVX2 kernel.
  if (level >= CpuLevel::kAvx2) return code_bound_kernel_avx2(metric, groups);
#endif
  (void)level;
  (void)groups;
  return metric == Metric::kL2 ? code_bound_portable<Metric::kL2> : code_bound_portable<Metric::kL1>;
}

}  // namespace vb::kernels
