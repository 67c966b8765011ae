#include "index/build.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>

#include "base/checked_size.h"
#include "base/errors.h"
#include "index/hash_keys.h"
#include "index/key_ordered_codes.h"
#include "index/sort_tier.h"
#include "kernels/torus_codes.h"
#include "pool/pool.h"

namespace vb::index {

void validate_build(const Index& index, std::size_t n, std::size_t d, std::size_t n_static) {
  if (index.k == 0) throw ArgumentError("k must be at least 1");
  if (index.l == 0) throw ArgumentError("l must be at least 1");
  if (index.b < 1) throw ArgumentError("b must be at least 1, got " + std::to_string(index.b));
  std::int64_t power = 1;
  for (std::size_t j = 0; j < index.k; ++j) {
    if (__builtin_mul_overflow(power, index.b, &power)) {
      throw ArgumentError("b**k = " + std::to_string(index.b) + "**" + std::to_string(index.k) +
                          " does not fit in a signed 64-bit key");
    }
  }
  if (n_static > n) {
    throw ArgumentError("n_static (" + std::to_string(n_static) + ") is larger than the number of points (" +
                        std::to_string(n) + ")");
  }
  if (!index.scale.empty() && index.scale.size() != d) {
    throw ArgumentError("points have " + std::to_string(d) + " columns but the index has " +
                        std::to_string(index.scale.size()) + " periods");
  }
  for (std::size_t t = 0; t < index.l; ++t) {
    for (std::size_t j = 0; j < index.k; ++j) {
      const std::int64_t column = index.s[t * index.k + j];
      if (column < 0 || static_cast<std::uint64_t>(column) >= d) {
        throw ArgumentError("s[" + std::to_string(t) + ", " + std::to_string(j) + "] = " + std::to_string(column) +
                            " is not a column of points with " + std::to_string(d) + " columns");
      }
    }
  }
}

Buffer<float> to_f32(const double* points, std::size_t count) {
  Buffer<float> out(count);
  constexpr std::size_t kGrain = 1 << 16;
  pool::parallel_for(count, kGrain, [&](std::size_t i0, std::size_t i1) {
    for (std::size_t i = i0; i < i1; ++i) out[i] = static_cast<float>(points[i]);
  });
  return out;
}

std::size_t encode_points(const float* values, std::size_t count, std::uint8_t* out) {
  std::atomic<std::size_t> off{0};
  constexpr std::size_t kGrain = 1 << 16;
  pool::parallel_for(count, kGrain, [&](std::size_t i0, std::size_t i1) {
    off.fetch_add(kernels::encode(values + i0, i1 - i0, out + i0), std::memory_order_relaxed);
  });
  return off.load(std::memory_order_relaxed);
}

CandidateTier make_candidate_tier(const Index& index, kernels::DigitColumnKernel kernel, const double* points,
                                  std::size_t d, std::size_t first, std::size_t count) {
  CandidateTier tier;
  tier.keys = compute_keys(index, kernel, points, d, first, count);
  SortedTier sorted = sort_tier(index, tier.keys.data(), count, static_cast<std::int64_t>(first));
  tier.sorted_keys = std::move(sorted.keys);
  tier.sorted_ids = std::move(sorted.ids);
  tier.offsets = std::move(sorted.offsets);
  return tier;
}

namespace {

void install_candidate_tier(Index& index, CandidateTier&& tier) noexcept {
  index.cand_keys = std::move(tier.keys);
  index.cand_sorted_keys = std::move(tier.sorted_keys);
  index.cand_sorted_ids = std::move(tier.sorted_ids);
  index.cand_offsets = std::move(tier.offsets);
}

}  // namespace

void build_candidate_tier(Index& index) {
  install_candidate_tier(index, make_candidate_tier(index, index.kernels.digit_column, index.points.data(), index.d,
                                                    index.n_static, index.n_cand()));
}

void build(Index& index, Buffer<double> points, std::size_t n, std::size_t d, std::size_t n_static) {
  validate_build(index, n, d, n_static);
  VB_CHECK(points.size() == checked_mul(n, d), "build: points buffer does not hold n × d values");

  // Chosen before the work so that the keys are hashed by the kernels the
  // index keeps, and installed with the rest: a failed build leaves the
  // kernels of the old dimension in place.
  const kernels::KernelTable table = kernels::choose_kernels(kernel_needs(index, d));
  Buffer<float> points_f32 = to_f32(points.data(), points.size());
  Buffer<std::uint8_t> codes(points_f32.size());
  const std::size_t static_values = n_static * d;
  const std::size_t off_static = encode_points(points_f32.data(), static_values, codes.data());
  const std::size_t off_cand =
      encode_points(points_f32.data() + static_values, codes.size() - static_values, codes.data() + static_values);
  SortedTier static_tier;
  {
    Buffer<std::int64_t> keys = compute_keys(index, table.digit_column, points.data(), d, 0, n_static);
    static_tier = sort_tier(index, keys.data(), n_static, 0);
  }
  Buffer<std::uint8_t> static_codes = key_ordered_codes(index, static_tier.ids.data(), n_static, codes.data(), d, n);
  CandidateTier cand_tier = make_candidate_tier(index, table.digit_column, points.data(), d, n_static, n - n_static);

  const pool::CommitScope committing;
  index.points = std::move(points);
  index.points_f32 = std::move(points_f32);
  index.codes = std::move(codes);
  index.off_torus_static = off_static;
  index.off_torus_cand = off_cand;
  index.d = d;
  index.kernels = table;
  index.n_points = n;
  index.n_static = n_static;
  index.static_keys = std::move(static_tier.keys);
  index.static_ids = std::move(static_tier.ids);
  index.static_codes = std::move(static_codes);
  index.static_offsets = std::move(static_tier.offsets);
  install_candidate_tier(index, std::move(cand_tier));
  index.built = true;
}

}  // namespace vb::index
