#include "maintenance/refresh.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "index/bucket_offsets.h"
#include "index/hash_keys.h"
#include "kernels/torus_codes.h"
#include "maintenance/commit_loop.h"
#include "pool/pool.h"

namespace vb::maintenance {

namespace {

// Coordinates copied per commit item.
constexpr std::size_t kCopySlice = std::size_t{1} << 16;

[[noreturn]] void wrong_length(std::size_t given, std::size_t needed) {
  throw InternalError("update: coords holds " + std::to_string(given) + " values but the candidate tier needs " +
                      std::to_string(needed) + " (n_candidates x d)");
}

// First offset entry that counts `key` (entry v counts the keys below v),
// clamped to the nb + 1 entries: keys below 0 count everywhere, keys at or
// past nb nowhere.
std::size_t first_counting(std::int64_t key, std::size_t nb) {
  if (key < 0) return 0;
  return static_cast<std::uint64_t>(key) < nb ? static_cast<std::size_t>(key) + 1 : nb + 1;
}

}  // namespace

TableChanges table_changes(const std::int64_t* fresh, const std::int64_t* stale, std::size_t n,
                           std::int64_t id_base) {
  TableChanges changes;
  std::size_t first = 0;
  while (first < n && fresh[first] == stale[first]) ++first;
  if (first == n) return changes;

  const std::size_t words = (n + 63) / 64;
  changes.changed.resize(words);
  std::uint64_t* bits = changes.changed.data();
  std::fill(bits, bits + first / 64, std::uint64_t{0});
  std::size_t count = 0;
  for (std::size_t w = first / 64; w < words; ++w) {
    // A whole word at a time, so the comparisons vectorise.
    const std::size_t j0 = w * 64;
    const std::size_t j1 = std::min(j0 + 64, n);
    std::uint64_t word = 0;
    for (std::size_t j = std::max(j0, first); j < j1; ++j) {
      word |= static_cast<std::uint64_t>(fresh[j] != stale[j]) << (j - j0);
    }
    bits[w] = word;
    count += static_cast<std::size_t>(__builtin_popcountll(word));
  }
  changes.entries.resize(count);
  changes.old_keys.resize(count);
  Entry* out = changes.entries.data();
  for (std::size_t w = first / 64; w < words; ++w) {
    for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
      const std::size_t j = w * 64 + static_cast<std::size_t>(__builtin_ctzll(word));
      *out++ = {fresh[j], id_base + static_cast<std::int64_t>(j)};
    }
  }
  // Ids are unique, so ordering by the pair leaves no ties for the sort to break.
  std::sort(changes.entries.begin(), changes.entries.end(),
            [](const Entry& a, const Entry& b) { return a.key < b.key || (a.key == b.key && a.id < b.id); });
  return changes;
}

void replace_changed(std::int64_t* keys, std::int64_t* ids, std::size_t n, std::int64_t id_base,
                     TableChanges& changes) noexcept {
  if (changes.entries.empty()) return;
  const std::uint64_t* bits = changes.changed.data();
  // Delete: slide the kept entries, in run order, to the end of the run. The
  // write position never drops below the read position, so nothing unread is
  // overwritten. The dropped keys come last to first, so filling old_keys from
  // its end leaves them in key order.
  std::int64_t* dropped = changes.old_keys.data() + changes.old_keys.size();
  std::size_t kept = n;
  for (std::size_t p = n; p-- > 0;) {
    const auto j = static_cast<std::size_t>(ids[p] - id_base);
    if (((bits[j / 64] >> (j % 64)) & 1) == 0) {
      --kept;
      keys[kept] = keys[p];
      ids[kept] = ids[p];
    } else {
      *--dropped = keys[p];
    }
  }
  // Merge from the front. Output position o = (changed taken) + (kept taken)
  // stays at or below the next kept entry, so the merge can write in place;
  // once the changed entries are used up the rest is already where it belongs.
  const Entry* changed = changes.entries.data();
  const std::size_t c = changes.entries.size();
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

void shift_offsets(std::uint32_t* offsets, std::size_t nb, const TableChanges& changes) noexcept {
  // delta(v) = (new keys below v) - (old keys below v) steps by +1 at each new
  // key and by -1 at each old key; sweep both sorted lists together and add
  // delta to the stretch up to the next step.
  const Entry* fresh = changes.entries.data();
  const std::int64_t* stale = changes.old_keys.data();
  const std::size_t c = changes.entries.size();
  std::size_t a = 0;
  std::size_t b = 0;
  std::int64_t delta = 0;
  std::size_t v = 0;
  while (a < c || b < c) {
    const std::size_t next_fresh = a < c ? first_counting(fresh[a].key, nb) : nb + 1;
    const std::size_t next_stale = b < c ? first_counting(stale[b], nb) : nb + 1;
    const std::size_t step = std::min(next_fresh, next_stale);
    if (delta != 0) {
      const auto add = static_cast<std::uint32_t>(delta);  // wraps back for a negative delta
      for (; v < step; ++v) offsets[v] += add;
    }
    v = step;
    if (step > nb) break;
    if (next_fresh == step) {
      ++delta;
      ++a;
    } else {
      --delta;
      ++b;
    }
  }
}

void update(index::Index& index, const Buffer<double>& coords) {
  const std::size_t n = index.n_cand();
  const std::size_t d = index.d;
  const std::size_t l = index.l;
  // n × d values are already held in `points`, so the product cannot overflow.
  if (coords.size() != n * d) wrong_length(coords.size(), n * d);

  // Everything that can fail comes first: the new keys, the changes of every
  // table and the commit's own bookkeeping.
  Buffer<std::int64_t> fresh = index::compute_keys(index, coords.data(), d, 0, n);
  const std::int64_t id_base = static_cast<std::int64_t>(index.n_static);
  const std::int64_t* stale = index.cand_keys.data();
  std::vector<TableChanges> changes(l);
  pool::parallel_for(l, 1, [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) {
      pool::cancellation_point();
      changes[t] = table_changes(fresh.data() + t * n, stale + t * n, n, id_base);
    }
  });
  const index::WritableRunView runs = index::writable_cand_runs(index);
  if (runs.offsets != nullptr) {
    VB_CHECK(runs.stride >= 1 && runs.stride * l == index.cand_offsets.size(),
             "update: candidate offsets of a broken size");
  }
  // The coordinates off the torus, counted as the codes will see them.
  std::size_t off_torus = 0;
  for (const double value : coords) off_torus += kernels::on_torus(static_cast<float>(value)) ? 0 : 1;
  // Commit items: the l tables, then the coordinates (and their codes) in slices.
  const std::size_t slices = (coords.size() + kCopySlice - 1) / kCopySlice;
  CommitLoop commit(l + slices);

  // Commit: from here on nothing allocates and nothing can fail.
  const pool::CommitScope committing;
  double* rows = index.points.data() + index.n_static * d;
  float* rows_f32 = index.points_f32.data() + index.n_static * d;
  std::uint8_t* rows_codes = index.codes.data() + index.n_static * d;
  commit.run([&](std::size_t item) {
    if (item >= l) {
      const std::size_t begin = (item - l) * kCopySlice;
      const std::size_t end = std::min(begin + kCopySlice, coords.size());
      std::memcpy(rows + begin, coords.data() + begin, (end - begin) * sizeof(double));
      for (std::size_t i = begin; i < end; ++i) rows_f32[i] = static_cast<float>(coords[i]);
      kernels::encode(rows_f32 + begin, end - begin, rows_codes + begin);
      return;
    }
    const std::size_t t = item;
    if (changes[t].entries.empty()) return;  // no key of this table moved: run and offsets stay
    const index::WritableRunView run = runs.at(t);
    replace_changed(run.keys, run.ids, n, id_base, changes[t]);
    if (run.offsets != nullptr) shift_offsets(run.offsets, run.stride - 1, changes[t]);
  });
  index.cand_keys = std::move(fresh);
  index.off_torus_cand = off_torus;
}

}  // namespace vb::maintenance
