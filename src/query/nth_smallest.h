#pragma once

#include <cstddef>
#include <cstdint>

// Selection of one order statistic among a few hundred small integers.
namespace vb::query {

// The nth smallest (counting from 0) of values[0 .. n), nth < n. A radix
// select: the values are counted into 64 bins by their highest bits, the bin
// holding the nth is kept and the rest dropped, and the kept values go round
// again by their next bits until few are left. Each round is a handful of
// branch-free passes; a comparison select mispredicts about half its
// comparisons on values in no order, which cost more than all of it.
// The order of values[0 .. n) afterwards is unspecified (they are rewritten).
std::uint32_t nth_smallest(std::uint32_t* values, std::size_t n, std::size_t nth);

}  // namespace vb::query
