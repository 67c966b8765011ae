#pragma once

#include <cstddef>

#include "kernels/tile_distance.h"

// The micro-tile every vector width's tile kernel is made of, written once:
// kRows query rows against the lanes of one register of a panel. Each
// coordinate vector loaded serves every row, and the rows' sums are
// independent chains.
//
// The partial sums are not kept as eight accumulators: partial sum j is summed
// on its own (its first term needs no addition, as 0 + t == t) and folded into
// the combination tree as soon as it is complete, in the tree's order, so a
// row needs at most four live registers. Partial sums of j >= d are zero and
// their additions are left out, which changes no bit.
//
// V is the vector width, defined by the ISA file that includes this header:
//   Reg                       a register of floats
//   load(p), splat(v), zero() an aligned load, a broadcast, zeros
//   add(a, b)                 lane-wise a + b
//   term<F>(q, x, period)     the width's metric_term (torus_term_*.h)
// Internal linkage, as torus_term.h explains.
namespace vb::kernels {
namespace {

#define VB_INLINE inline __attribute__((always_inline))

template <class V, class F, std::size_t kRows>
struct Micro {
  using Reg = typename V::Reg;

  const float* q[kRows];
  const float* panel;
  const float* scale;  // the axis periods; unread on the unit torus

  // The period of coordinate c in every lane.
  VB_INLINE Reg period(std::size_t c) const {
    if constexpr (F::scaled) return V::splat(scale[c]);
    return V::zero();
  }

  // out[r] = partial sum j of row r: the terms of coordinates j, j + 8, ...
  template <std::size_t kDim>
  VB_INLINE void partial(std::size_t d, std::size_t j, Reg (&out)[kRows]) const {
    const Reg first = V::load(panel + j * kPanelWidth);
    const Reg first_period = period(j);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kRows; ++r) out[r] = V::template term<F>(V::splat(q[r][j]), first, first_period);
    for (std::size_t c = j + 8; c < (kDim != 0 ? kDim : d); c += 8) {
      const Reg x = V::load(panel + c * kPanelWidth);
      const Reg x_period = period(c);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) {
        out[r] = V::add(out[r], V::template term<F>(V::splat(q[r][c]), x, x_period));
      }
    }
  }

  // out = s_a + s_b (s_b left out when b >= d). Requires: a < d.
  template <std::size_t kDim>
  VB_INLINE void pair(std::size_t d, std::size_t a, std::size_t b, Reg (&out)[kRows], Reg (&scratch)[kRows]) const {
    partial<kDim>(d, a, out);
    if (b < (kDim != 0 ? kDim : d)) {
      partial<kDim>(d, b, scratch);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) out[r] = V::add(out[r], scratch[r]);
    }
  }

  template <std::size_t kDim>
  VB_INLINE void distances(std::size_t d, Reg (&total)[kRows]) const {
    const std::size_t dim = kDim != 0 ? kDim : d;
    Reg left[kRows], right[kRows], scratch[kRows];
    pair<kDim>(d, 0, 4, total, scratch);
    if (2 < dim) {
      pair<kDim>(d, 2, 6, left, scratch);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) total[r] = V::add(total[r], left[r]);
    }
    if (1 < dim) {
      pair<kDim>(d, 1, 5, left, scratch);
      if (3 < dim) {
        pair<kDim>(d, 3, 7, right, scratch);
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kRows; ++r) left[r] = V::add(left[r], right[r]);
      }
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) total[r] = V::add(total[r], left[r]);
    }
  }
};

// The kernel of a dimension: the fixed-width instances for the common d, the
// general one (kDim = 0) otherwise. Kernel<F, kDim>::run is the width's tile
// kernel.
template <template <class, std::size_t> class Kernel, class F>
TileKernel kernel_of_dimension(std::size_t d) {
  switch (d) {
    case 1:
      return Kernel<F, 1>::run;
    case 2:
      return Kernel<F, 2>::run;
    case 3:
      return Kernel<F, 3>::run;
    case 4:
      return Kernel<F, 4>::run;
    case 5:
      return Kernel<F, 5>::run;
    case 6:
      return Kernel<F, 6>::run;
    case 7:
      return Kernel<F, 7>::run;
    case 8:
      return Kernel<F, 8>::run;
    case 16:
      return Kernel<F, 16>::run;
    case 24:
      return Kernel<F, 24>::run;
    default:
      return Kernel<F, 0>::run;
  }
}

}  // namespace
}  // namespace vb::kernels
