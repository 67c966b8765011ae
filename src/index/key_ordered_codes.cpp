#include "index/key_ordered_codes.h"

#include <cstring>
#include <string>

#include "base/checked_size.h"
#include "base/errors.h"
#include "pool/pool.h"

namespace vb::index {

Buffer<std::uint8_t> key_ordered_codes(const Index& index, const std::int64_t* ids, std::size_t n,
                                       const std::uint8_t* codes, std::size_t d, std::size_t n_rows) {
  const std::size_t run_bytes = checked_mul(n, d);
  Buffer<std::uint8_t> out(checked_mul(index.l, run_bytes));
  pool::parallel_for(index.l, 1, [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) {
      pool::cancellation_point();
      for (std::size_t p = t * n; p < (t + 1) * n; ++p) {
        VB_CHECK(static_cast<std::uint64_t>(ids[p]) < n_rows, "index out of bounds: the len is " +
                                                                   std::to_string(n_rows) + " but the index is " +
                                                                   std::to_string(ids[p]));
      }
      refresh_key_ordered_run(ids + t * n, n, codes, d, out.data() + t * run_bytes);
    }
  });
  return out;
}

void refresh_key_ordered_run(const std::int64_t* run_ids, std::size_t n, const std::uint8_t* codes, std::size_t d,
                             std::uint8_t* run_codes) noexcept {
  for (std::size_t p = 0; p < n; ++p) {
    std::memcpy(run_codes + p * d, codes + static_cast<std::uint64_t>(run_ids[p]) * d, d);
  }
}

}  // namespace vb::index
