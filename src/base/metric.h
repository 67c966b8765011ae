#pragma once

#include <cmath>
#include <cstddef>

// How a distance is formed from the per-coordinate terms of the torus.
//
// Points live on the unit torus; an axis of period P is stored divided by P.
// Per coordinate the kernels take the unit-torus term t = min(a, 1 - a) of
// a = |q - x|, scale it by the axis period (t * P, skipped for the unit
// torus, where it would multiply by 1), and add t (L1) or t * t (L2), every
// operation rounded to single precision on its own. L2 kernels thus yield the
// squared distance: its root is taken once per value handed to the caller,
// and radius bounds are squared before they are compared.
namespace vb {

enum class Metric { kL1, kL2 };

// A kernel's form at compile time: the metric and whether terms are scaled.
template <Metric M, bool kScaled>
struct Form {
  static constexpr Metric metric = M;
  static constexpr bool scaled = kScaled;
};

// Calls pick(Form<...>{}) for the run-time metric and scaling, so each kernel
// family is written once as a template and chosen once per call.
template <class Pick>
decltype(auto) with_form(Metric metric, bool scaled, Pick&& pick) {
  if (metric == Metric::kL2) return scaled ? pick(Form<Metric::kL2, true>{}) : pick(Form<Metric::kL2, false>{});
  return scaled ? pick(Form<Metric::kL1, true>{}) : pick(Form<Metric::kL1, false>{});
}

// One term of the sum from the unit-torus term t of an axis with period p.
// `mul` multiplies two values of T (a float or a vector of them).
template <class F, class T, class Mul>
inline __attribute__((always_inline)) T form_term(T t, T p, Mul mul) {
  if constexpr (F::scaled) t = mul(t, p);
  if constexpr (F::metric == Metric::kL2) t = mul(t, t);
  return t;
}

// The axis periods a metric's single-precision distances can hold: inside
// these bounds a box side's term (for L2 its square), and the sum of such terms
// over any realistic number of axes, stay well within the normal range of
// float, neither overflowing to infinity nor underflowing to zero. Outside
// them answers would be wrong, so periods there are refused.
struct PeriodRange {
  double low;
  double high;
};

inline PeriodRange period_range(Metric metric) {
  return metric == Metric::kL2 ? PeriodRange{1e-15, 1e15} : PeriodRange{1e-30, 1e30};
}

// The distance handed to the caller from a summed one: its root for L2.
inline float reported_distance(float summed, Metric metric) {
  return metric == Metric::kL2 ? std::sqrt(summed) : summed;
}

// The bound a radius puts on the summed form (squared for L2, in double),
// rounded to single precision once. A negative radius stays negative, so that
// squaring never turns it into a bound that admits points.
inline float summed_bound(double radius, Metric metric) {
  return static_cast<float>(metric == Metric::kL2 && radius >= 0.0 ? radius * radius : radius);
}

}  // namespace vb
