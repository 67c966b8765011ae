#include "kernels/row_bound.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kernels/code_bound.h"

namespace vb::kernels {
namespace {

// Rows of codes drawn from the bytes where the wrapped difference turns
// (0, 1, 127, 128, 129, 255) and from everywhere, against pair_bound: one
// row at a time, and runs of every length up to 7 rows (pairs of rows and a
// row left over), for the kernels of every width class and the plain ones.
// The rows end their buffer, so a kernel reading past them would read
// beyond the allocation (visible under the address sanitizer).
TEST(RowBound, EqualsThePairBoundForEveryWidthAndMetric) {
  const std::uint8_t edges[] = {0, 1, 2, 126, 127, 128, 129, 130, 254, 255};
  std::mt19937_64 rng(11);
  for (std::size_t d : {std::size_t{1}, 2ul, 3ul, 5ul, 7ul, 8ul, 9ul, 15ul, 16ul, 17ul, 23ul, 24ul, 25ul, 31ul, 32ul,
                        33ul, 48ul, 100ul, kMaxCodeDims}) {
    for (Metric metric : {Metric::kL1, Metric::kL2}) {
      for (const RowBoundKernels& kernels : {row_bound_kernel(metric, d), portable_row_bound(metric)}) {
        for (std::size_t count = 1; count <= 7; ++count) {
          std::vector<std::uint8_t> q(row_bound_width(d), 0);
          std::vector<std::uint8_t> rows(count * d);
          for (std::size_t c = 0; c < d; ++c) q[c] = count % 2 == 0 ? edges[rng() % 10] : static_cast<std::uint8_t>(rng());
          for (auto& x : rows) x = count % 3 == 0 ? edges[rng() % 10] : static_cast<std::uint8_t>(rng());
          std::vector<std::uint32_t> got(count + 1, 7);
          kernels.run(q.data(), rows.data(), d, count, got.data());
          for (std::size_t r = 0; r < count; ++r) {
            const std::uint32_t want = pair_bound(q.data(), rows.data() + r * d, d, metric);
            ASSERT_EQ(got[r], want) << "d " << d << " L2 " << (metric == Metric::kL2) << " row " << r << " of " << count;
            ASSERT_EQ(kernels.row(q.data(), rows.data() + r * d, d), want) << "d " << d << " row " << r;
          }
          EXPECT_EQ(got[count], 7u) << "written past the run";
        }
      }
    }
  }
}

// Half the circle apart in every coordinate is the largest bound: 127 per
// coordinate (128 - 1), squared for L2; equal rows bound 0.
TEST(RowBound, OppositeCodesGiveTheLargestBoundAndEqualOnesZero) {
  for (std::size_t d : {1, 16, 33}) {
    std::vector<std::uint8_t> q(row_bound_width(d), 0), x(d, 128), same(d, 0);
    EXPECT_EQ(row_bound_kernel(Metric::kL1, d).row(q.data(), x.data(), d), 127u * d);
    EXPECT_EQ(row_bound_kernel(Metric::kL2, d).row(q.data(), x.data(), d), 127u * 127u * d);
    EXPECT_EQ(row_bound_kernel(Metric::kL1, d).row(q.data(), same.data(), d), 0u);
  }
}

}  // namespace
}  // namespace vb::kernels
