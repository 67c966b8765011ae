#pragma once

#include <cstddef>
#include <cstdint>

#include "base/metric.h"
#include "kernels/code_bound.h"
#include "kernels/cpu_level.h"
#include "kernels/digit_column.h"
#include "kernels/nearest_digit.h"
#include "kernels/row_bound.h"
#include "kernels/row_distance.h"
#include "kernels/tile_distance.h"

// Every kernel an index calls, chosen together once, when the index learns
// its dimension and form (at construction and at every build), so that no
// search or maintenance step looks the CPU level up again.
namespace vb::kernels {

// What the choice depends on besides the CPU level and the code filter.
struct KernelNeeds {
  std::size_t d = 0;            // coordinates per row (0 before the first build)
  Metric metric = Metric::kL1;
  bool scaled = false;          // per-axis periods
  std::int64_t b = 1;           // buckets per digit, which caps the hashing level
  const float* periods = nullptr;  // the d axis periods when scaled; without them no code bound is chosen
};

struct KernelTable {
  CpuLevel level = CpuLevel::kPortable;  // the level the distance kernels run at
  DigitColumnKernel digit_column = nullptr;
  DigitFracKernel digit_frac = nullptr;  // query rows' digits with their in-bucket positions
  NearestDigitKernel nearest_digit = nullptr;  // the digit a stretch of rows probes next
  RowDistance row = nullptr;             // one survivor's distance (n = d), in the tile kernels' order
  ListDistance list = nullptr;           // a gathered list of candidates
  TileKernel tile = nullptr;             // rows against a tile of panels
  TilePack pack = nullptr;               // lays rows into panels for `tile`
  // Byte-code bounds of a row against a code tile; null when the code
  // filter is off or rows are wider than the bounds are exact for.
  CodeBoundKernel code_bound = nullptr;
  CodeScale code_scale;                  // what a bound is worth, for code_limit
  // Upper bounds of a row against a code tile; set when code_bound is and
  // the form is the unit torus (no periods).
  CodeUpperKernel code_upper = nullptr;
  // code_bound for rows of codes in key order, unpacked; null where no
  // kernel reads such rows (code_bound_rows_kernel).
  CodeBoundKernel code_bound_rows = nullptr;
  // The same bounds for one row of codes at a time and for a run of rows
  // (a per-query search), unweighted: set when code_bound is and code_scale
  // has no weights.
  RowBoundKernels code_rows;
};

// The kernels for `needs` at cpu_level() (the test cap included), with the
// code bounds when code_filter_enabled() and code_scale finds weights that
// tell the periods of a scaled form apart. Every pointer but code_bound and
// those of code_rows is set. Thread safety: reads the process-wide level and
// filter switch.
KernelTable choose_kernels(const KernelNeeds& needs);

}  // namespace vb::kernels
