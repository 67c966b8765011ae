#include "kernels/kernel_table.h"

#include <optional>
#include <utility>

#include "base/code_filter.h"

namespace vb::kernels {

KernelTable choose_kernels(const KernelNeeds& needs) {
  KernelTable table;
  table.level = cpu_level();
  table.digit_column = digit_column_kernel(hash_level_for(needs.b));
  table.digit_frac = digit_frac_kernel(table.level, needs.b);
  table.nearest_digit = nearest_digit_kernel(table.level);
  const DistanceKernel& distance = distance_kernel(table.level, needs.metric, needs.scaled);
  // Every survivor's distance spans all d coordinates.
  table.row = row_distance_for(table.level, needs.metric, needs.scaled, needs.d);
  table.list = distance.list;
  table.tile = tile_kernel(table.level, needs.d, needs.metric, needs.scaled);
  table.pack = tile_pack(table.level, needs.d);
  if (!code_filter_enabled() || needs.d > kMaxCodeDims || (needs.scaled && needs.periods == nullptr)) return table;
  std::optional<CodeScale> scale = code_scale(needs.metric, needs.scaled ? needs.periods : nullptr, needs.d);
  if (scale) {
    table.code_bound = code_bound_kernel(table.level, needs.metric, code_groups(needs.d), !scale->weights.empty());
    // Rows bounded one at a time (the per-query search) go without weights.
    if (scale->weights.empty()) table.code_rows = row_bound_kernel(needs.metric, needs.d);
    if (!needs.scaled) table.code_upper = code_upper_kernel(table.level, needs.metric);
    table.code_bound_rows = code_bound_rows_kernel(table.level, needs.metric, needs.d, !scale->weights.empty());
    table.code_scale = *std::move(scale);
  }
  return table;
}

}  // namespace vb::kernels
