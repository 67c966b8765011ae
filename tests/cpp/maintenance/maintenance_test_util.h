#pragma once

#include <cstdint>
#include <vector>

#include "base/buffer.h"
#include "index/index.h"

namespace vb::maintenance::testing {

template <class T>
std::vector<T> values(const Buffer<T>& buffer) {
  return std::vector<T>(buffer.begin(), buffer.end());
}

// Every field that update and promote may change, for before/after comparisons.
struct Snapshot {
  std::vector<double> points;
  std::vector<float> points_f32;
  std::vector<std::uint8_t> codes;
  std::vector<std::int64_t> static_keys, static_ids, cand_keys, cand_sorted_keys, cand_sorted_ids;
  std::vector<std::uint32_t> static_offsets, cand_offsets;
  std::size_t d, n_points, n_static, off_torus_static, off_torus_cand;

  explicit Snapshot(const index::Index& ix)
      : points(values(ix.points)),
        points_f32(values(ix.points_f32)),
        codes(values(ix.codes)),
        static_keys(values(ix.static_keys)),
        static_ids(values(ix.static_ids)),
        cand_keys(values(ix.cand_keys)),
        cand_sorted_keys(values(ix.cand_sorted_keys)),
        cand_sorted_ids(values(ix.cand_sorted_ids)),
        static_offsets(values(ix.static_offsets)),
        cand_offsets(values(ix.cand_offsets)),
        d(ix.d),
        n_points(ix.n_points),
        n_static(ix.n_static),
        off_torus_static(ix.off_torus_static),
        off_torus_cand(ix.off_torus_cand) {}

  bool operator==(const Snapshot&) const = default;
};

}  // namespace vb::maintenance::testing
