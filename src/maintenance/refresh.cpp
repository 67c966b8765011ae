#include "maintenance/refresh.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "index/bucket_offsets.h"
#include "index/build.h"
#include "index/errors.h"
#include "index/hash_keys.h"
#include "maintenance/commit_loop.h"
#include "pool/pool.h"

namespace vb::maintenance {

Buffer<Entry> changed_entries(const std::int64_t* fresh, const std::int64_t* stale, std::size_t n,
                              std::int64_t id_base) {
  Buffer<Entry> changed;
  std::size_t first = 0;
  while (first < n && fresh[first] == stale[first]) ++first;
  if (first == n) return changed;

  std::size_t count = 0;
  for (std::size_t j = first; j < n; ++j) count += fresh[j] != stale[j];
  changed.resize(count);
  std::size_t c = 0;
  for (std::size_t j = first; j < n; ++j) {
    if (fresh[j] != stale[j]) changed[c++] = {fresh[j], id_base + static_cast<std::int64_t>(j)};
  }
  // Ids are unique, so ordering by the pair leaves no ties for the sort to break.
  std::sort(changed.begin(), changed.end(),
            [](const Entry& a, const Entry& b) { return a.key < b.key || (a.key == b.key && a.id < b.id); });
  return changed;
}

void replace_changed(std::int64_t* keys, std::int64_t* ids, std::size_t n, std::int64_t id_base,
                     const std::int64_t* fresh, const std::int64_t* stale, const Buffer<Entry>& changed) noexcept {
  // Delete: slide the kept entries, in run order, to the end of the run. The
  // write position never drops below the read position, so nothing unread is
  // overwritten.
  std::size_t kept = n;
  for (std::size_t p = n; p-- > 0;) {
    const auto j = static_cast<std::size_t>(ids[p] - id_base);
    if (fresh[j] == stale[j]) {
      --kept;
      keys[kept] = keys[p];
      ids[kept] = ids[p];
    }
  }
  // Merge from the front. Output position o = (changed taken) + (kept taken)
  // stays at or below the next kept entry, so the merge can write in place;
  // once the changed entries are used up the rest is already where it belongs.
  const std::size_t c = changed.size();
  std::size_t i = 0;
  for (std::size_t o = 0; i < c && o < n; ++o) {
    if (kept == n || changed[i].key <= keys[kept]) {
      keys[o] = changed[i].key;
      ids[o] = changed[i].id;
      ++i;
    } else {
      keys[o] = keys[kept];
      ids[o] = ids[kept];
      ++kept;
    }
  }
}

namespace {

[[noreturn]] void wrong_length(std::size_t given, std::size_t needed) {
  throw InternalError("update: coords holds " + std::to_string(given) + " values but the candidate tier needs " +
                      std::to_string(needed) + " (n_candidates x d)");
}

}  // namespace

void update(index::Index& index, const Buffer<double>& coords) {
  const std::size_t n = index.n_cand();
  const std::size_t d = index.d;
  const std::size_t l = index.l;
  // n × d values are already held in `points`, so the product cannot overflow.
  if (coords.size() != n * d) wrong_length(coords.size(), n * d);

  // Everything that can fail comes first: the new keys, the f32 rows, the
  // changed entries of every table and the commit's own bookkeeping.
  Buffer<std::int64_t> fresh = index::compute_keys(index, coords.data(), d, 0, n);
  Buffer<float> coords_f32 = index::to_f32(coords.data(), coords.size());
  const std::int64_t id_base = static_cast<std::int64_t>(index.n_static);
  const std::int64_t* stale = index.cand_keys.data();
  std::vector<Buffer<Entry>> changed(l);
  pool::parallel_for(l, 1, [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) changed[t] = changed_entries(fresh.data() + t * n, stale + t * n, n, id_base);
  });
  std::size_t stride = 0;  // offset entries per table, 0 without offsets
  if (!index.cand_offsets.empty()) {
    stride = index.cand_offsets.size() / l;
    VB_CHECK(stride >= 1 && stride * l == index.cand_offsets.size(), "update: candidate offsets of a broken size");
  }
  CommitLoop commit(l);

  // Commit: from here on nothing allocates and nothing can fail.
  if (!coords.empty()) {
    const std::size_t first = index.n_static * d;
    std::memcpy(index.points.data() + first, coords.data(), coords.size() * sizeof(double));
    std::memcpy(index.points_f32.data() + first, coords_f32.data(), coords_f32.size() * sizeof(float));
  }
  commit.run([&](std::size_t t) {
    if (changed[t].empty()) return;  // no key of this table moved: run and offsets stay
    std::int64_t* keys = index.cand_sorted_keys.data() + t * n;
    replace_changed(keys, index.cand_sorted_ids.data() + t * n, n, id_base, fresh.data() + t * n, stale + t * n,
                    changed[t]);
    if (stride != 0) index::fill_run_offsets(keys, n, stride - 1, index.cand_offsets.data() + t * stride);
  });
  index.cand_keys = std::move(fresh);
}

}  // namespace vb::maintenance
