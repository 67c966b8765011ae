#include "kernels/kernel_table.h"

#include <gtest/gtest.h>

#include "base/code_filter.h"
#include "kernels_test_inputs.h"

namespace vb::kernels {
namespace {

// The table follows the level cap and the filter switch of the moment it is
// chosen, and drops what a form cannot use.
TEST(KernelTable, FollowsTheLevelTheFilterAndTheForm) {
  for (CpuLevel level : levels_of_this_cpu()) {
    cap_cpu_level(level);
    const KernelTable table = choose_kernels({16, Metric::kL2, false, 4});
    EXPECT_EQ(table.level, level);
    EXPECT_EQ(table.tile, tile_kernel(level, 16, Metric::kL2, false)) << cpu_level_name(level);
    EXPECT_EQ(table.digit_column, digit_column_kernel(level)) << cpu_level_name(level);
    EXPECT_EQ(table.code_bound, code_bound_kernel(level, Metric::kL2, code_groups(16))) << cpu_level_name(level);
    // Rows of 8 codes are bounded in place, by the level's own kernel: the
    // byte kernel at 512 bits where the CPU has the byte operations.
    const KernelTable rows8 = choose_kernels({8, Metric::kL1, false, 1});
    EXPECT_EQ(rows8.code_bound_rows, code_bound_rows_kernel(level, Metric::kL1, 8, false)) << cpu_level_name(level);
    if (level == CpuLevel::kAvx512 && supports_avx512bw()) {
      EXPECT_NE(rows8.code_bound_rows, code_bound_rows_kernel(CpuLevel::kAvx2, Metric::kL1, 8, false));
    }
    // A radix past the 32-bit conversion hashes on the portable kernel.
    EXPECT_EQ(choose_kernels({16, Metric::kL1, false, std::int64_t{1} << 31}).digit_column,
              level == CpuLevel::kAvx2 ? digit_column_scalar : digit_column_kernel(level));
  }
  cap_cpu_level(CpuLevel::kAvx512);
  EXPECT_EQ(choose_kernels({kMaxCodeDims + 1, Metric::kL1, false, 4}).code_bound, nullptr);
  set_code_filter(false);
  const KernelTable off = choose_kernels({16, Metric::kL1, false, 4});
  set_code_filter(true);
  EXPECT_EQ(off.code_bound, nullptr);
  EXPECT_NE(off.tile, nullptr);
  EXPECT_NE(off.row, nullptr);
  EXPECT_NE(off.list, nullptr);
  EXPECT_NE(off.pack, nullptr);
}

}  // namespace
}  // namespace vb::kernels
