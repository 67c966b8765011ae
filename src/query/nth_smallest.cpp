#include "query/nth_smallest.h"

#include <algorithm>
#include <bit>

#include "base/errors.h"

namespace vb::query {

namespace {
constexpr unsigned kBinBits = 6;
// Below this many values a comparison select is as quick as a round of bins.
constexpr std::size_t kFewValues = 16;
}  // namespace

std::uint32_t nth_smallest(std::uint32_t* values, std::size_t n, std::size_t nth) {
  VB_CHECK(nth < n, "the order statistic lies beyond the values");
  // The kept values share their bits above `shift` with every earlier round's
  // bin; those bits are taken off into `base`, so each round sees fewer bits.
  std::uint32_t base = 0;
  for (;;) {
    if (n <= kFewValues) {
      std::nth_element(values, values + nth, values + n);
      return base + values[nth];
    }
    std::uint32_t any = 0;
    for (std::size_t i = 0; i < n; ++i) any |= values[i];
    const unsigned width = static_cast<unsigned>(std::bit_width(any));
    const unsigned shift = width > kBinBits ? width - kBinBits : 0;
    std::uint32_t count[std::size_t{1} << kBinBits] = {};
    for (std::size_t i = 0; i < n; ++i) ++count[values[i] >> shift];
    std::size_t below = 0;
    std::uint32_t bin = 0;
    while (below + count[bin] <= nth) below += count[bin++];
    if (shift == 0) return base + bin;  // the bin is a single value
    // The bin's values move to the front, less their bin's bits; a slot is
    // rewritten only after it was read (m <= i).
    const std::uint32_t low = (std::uint32_t{1} << shift) - 1;
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t v = values[i];
      values[m] = v & low;
      m += static_cast<std::size_t>((v >> shift) == bin);
    }
    base += bin << shift;
    n = m;
    nth -= below;
  }
}

}  // namespace vb::query
