#include "query/gather.h"

#include <algorithm>
#include <string>

#include "base/errors.h"
#include "index/bucket_offsets.h"
#include "kernels/row_bound.h"
#include "kernels/torus_codes.h"
#include "query/query_codes.h"

namespace vb::query {

namespace {

[[noreturn]] void out_of_bounds(std::size_t len, std::int64_t index) {
  throw_internal(__FILE__, __LINE__,
                 "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                     std::to_string(index));
}

// De-duplicating append: a point is listed when its mark carries the stamp.
// Returns whether the id was new.
inline bool append(Ws& ws, std::int64_t id) {
  const std::uint64_t slot = static_cast<std::uint64_t>(id);
  if (slot >= ws.mark.size()) out_of_bounds(ws.mark.size(), id);
  if (ws.mark[slot] == ws.stamp) return false;
  ws.mark[slot] = ws.stamp;
  ws.cand_ids.push_back(slot);
  return true;
}

// Per listed key, the positions [p, q) of its entries in its table's run.
// With offsets a key must lie in [0, stride - 1), where stride >= 1.
void find_ranges(const index::RunView& tier, Ws& ws) {
  const std::size_t count = ws.probe_keys.size();
  ws.ranges.resize(count);
  const ListedKey* listed = ws.probe_keys.data();
  if (tier.offsets != nullptr) {
    // Touch every offset first, so that their cache misses overlap.
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t key = static_cast<std::uint64_t>(listed[i].key);
      if (key < tier.stride - 1) __builtin_prefetch(tier.at(listed[i].table).offsets + key);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t key = static_cast<std::uint64_t>(listed[i].key);
      if (key >= tier.stride - 1) out_of_bounds(tier.stride, listed[i].key);
      const std::uint32_t* bucket = tier.at(listed[i].table).offsets + key;
      ws.ranges[i] = {bucket[0], bucket[1]};
    }
    return;
  }
  // Lower bounds of all keys at once, one halving step for every key before
  // the next, so that the loads of different searches overlap instead of each
  // search waiting on its own chain of loads.
  const std::size_t n = tier.n;
  ws.search_pos.assign(count, 0);
  std::uint64_t* pos = ws.search_pos.data();
  for (std::size_t size = n; size > 1;) {
    const std::size_t half = size / 2;
    for (std::size_t i = 0; i < count; ++i) {
      const std::int64_t* run = tier.at(listed[i].table).keys;
      if (run[pos[i] + half - 1] < listed[i].key) pos[i] += half;
    }
    size -= half;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t* run = tier.at(listed[i].table).keys;
    std::size_t p = pos[i] + (run[pos[i]] < listed[i].key ? 1 : 0);
    std::size_t q = p;
    while (q < n && run[q] == listed[i].key) ++q;
    ws.ranges[i] = {p, q};
  }
}

// A gather is a chain of dependent cache misses: offsets, then ids, then each
// id's mark, then (in refinement) each new candidate's row. Each stage is
// looked up ahead: the offsets of all listed keys and the lines of all id runs
// first, the marks kMarkAhead ids ahead of the append, and the row of every new
// candidate as soon as it is listed, so that the misses of one stage overlap.
// Ids are appended straight from their run, at most kStage at a time, so that
// the bounds of a huge bucket take bounded scratch.
constexpr std::size_t kMarkAhead = 16;
constexpr std::size_t kStage = 4096;
constexpr std::size_t kIdsPerLine = 64 / sizeof(std::int64_t);

// Where a tier's code bounds come from: none (the candidates are measured
// in floats, so their rows are requested as they are listed); the bounds
// taken beside the ids from the codes in key order; or the row-major codes,
// by id.
enum class Bounds { kNone, kInOrder, kById };

// Appends, in order, those of the `total` ids of a run at `raw` that the
// gather has not listed yet; with bounds, each kept id's bound goes beside
// it (with kInOrder, the bound of raw[j] is run_bounds[j]).
template <Bounds kBounds>
void append_run(const index::Index& index, Ws& ws, const std::int64_t* raw, const std::uint32_t* run_bounds,
                std::size_t total) {
  const std::uint64_t rows = ws.mark.size();
  const std::size_t d = index.d;
  const float* points = index.points_f32.data();
  const std::uint8_t* codes = index.codes.data();
  // Every id is written to the next free slot and the slot is kept only when
  // the id was not marked yet: whether an id is new is unpredictable, and a
  // branch on it would be mispredicted about as often as it is taken. So a
  // bound is also taken of every id by id, repeats included: a repeat's codes
  // are in cache from its first listing.
  const std::size_t listed = ws.cand_ids.size();
  ws.cand_ids.resize(listed + total);
  std::uint64_t* out = ws.cand_ids.data() + listed;
  std::uint32_t* bound_out = nullptr;
  if constexpr (kBounds != Bounds::kNone) {
    ws.cand_bound.resize(listed + total);
    bound_out = ws.cand_bound.data() + listed;
  }
  const kernels::RowBound bound = index.kernels.code_rows.row;
  const std::uint8_t* query = ws.query_codes.data();
  Ws::Stamp* mark = ws.mark.data();
  const Ws::Stamp stamp = ws.stamp;
  if (rows == 0 && total > 0) out_of_bounds(rows, raw[0]);
  // An id past the marks is only looked up ahead, at the last mark, before
  // its own turn throws: cheaper than a branch for every id.
  auto look_ahead = [&](std::int64_t raw_id) {
    const std::uint64_t ahead = std::min(static_cast<std::uint64_t>(raw_id), rows - 1);
    __builtin_prefetch(mark + ahead);
    if constexpr (kBounds == Bounds::kById) __builtin_prefetch(codes + ahead * d);
  };
  std::size_t kept = 0;
  auto append_one = [&](std::size_t j) {
    const auto id = static_cast<std::uint64_t>(raw[j]);
    if (id >= rows) out_of_bounds(rows, raw[j]);
    out[kept] = id;
    if constexpr (kBounds == Bounds::kInOrder) bound_out[kept] = run_bounds[j];
    if constexpr (kBounds == Bounds::kById) bound_out[kept] = bound(query, codes + id * d, d);
    kept += mark[id] != stamp;
    mark[id] = stamp;
    if constexpr (kBounds == Bounds::kNone) __builtin_prefetch(points + id * d);
  };
  std::size_t j = 0;
  for (; j + kMarkAhead < total; ++j) {
    look_ahead(raw[j + kMarkAhead]);
    append_one(j);
  }
  for (; j < total; ++j) append_one(j);
  ws.cand_ids.resize(listed + kept);
  if constexpr (kBounds != Bounds::kNone) ws.cand_bound.resize(listed + kept);
}

void prefetch_lines(const void* first, std::size_t bytes) {
  const char* at = static_cast<const char*>(first);
  for (std::size_t b = 0; b < bytes; b += 64) __builtin_prefetch(at + b);
}

// `codes`: with kInOrder, the tier's key-ordered codes (l runs of tier.n
// rows of d bytes).
template <Bounds kBounds>
void gather_tier(const index::Index& index, const index::RunView& tier, Ws& ws, const std::uint8_t* codes) {
  find_ranges(tier, ws);
  const std::size_t count = ws.probe_keys.size();
  const std::size_t d = index.d;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t table = ws.probe_keys[i].table;
    const std::int64_t* run = tier.at(table).ids;
    const std::size_t end = std::min(ws.ranges[i].second, ws.ranges[i].first + kStage);
    for (std::size_t p = ws.ranges[i].first; p < end; p += kIdsPerLine) __builtin_prefetch(run + p);
    if constexpr (kBounds == Bounds::kInOrder) {
      prefetch_lines(codes + (table * tier.n + ws.ranges[i].first) * d, (end - ws.ranges[i].first) * d);
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t table = ws.probe_keys[i].table;
    const std::int64_t* run = tier.at(table).ids;
    for (std::size_t p = ws.ranges[i].first; p < ws.ranges[i].second;) {
      const std::size_t take = std::min(ws.ranges[i].second - p, kStage);
      if constexpr (kBounds == Bounds::kInOrder) {
        // The bucket's codes are one stretch: bounded in one sweep, before
        // the repeats are known.
        ws.run_bounds.resize(take);
        index.kernels.code_rows.run(ws.query_codes.data(), codes + (table * tier.n + p) * d, d, take,
                                    ws.run_bounds.data());
      }
      append_run<kBounds>(index, ws, run + p, ws.run_bounds.data(), take);
      p += take;
    }
  }
}

// Whether the candidates of query q get code bounds, and if so its codes in
// ws.query_codes: the index's kernels have unweighted row bounds (the filter
// was on when they were chosen, and the box is the unit torus or a cube), its
// codes bound every distance, the query has the index's dimension and every
// coordinate on the torus. The codes are those of the
// single-precision query the distances are taken from.
bool bounds_apply(const index::Index& index, Ws& ws, const double* q, std::size_t dq) {
  if (index.kernels.code_rows.row == nullptr || !index.codes_bound() || dq != index.d) return false;
  ws.query_codes.assign(kernels::row_bound_width(dq), 0);
  for (std::size_t c = 0; c < dq; ++c) {
    const float x = static_cast<float>(q[c]);
    if (!kernels::on_torus(x)) return false;
    ws.query_codes[c] = kernels::torus_code(x);
  }
  return true;
}

// The static tier's codes in key order, or null when the index holds none
// of the tier's size.
const std::uint8_t* static_codes_in_order(const index::Index& index) {
  return index.static_codes.size() == index.l * index.n_static * index.d ? index.static_codes.data() : nullptr;
}

void list_keys(const index::Index& index, Ws& ws, const double* q, std::size_t dq) {
  ws.probe_keys.clear();
  const std::size_t n_probe = probe_count(index);
  for (std::size_t t = 0; t < index.l; ++t) {
    const auto table = static_cast<std::uint32_t>(t);
    const std::int64_t base = query_codes(index, q, dq, t, ws.codes.data(), ws.frac.data());
    ws.probe_keys.push_back({table, base});
    probe_keys(index, base, ws.codes.data(), ws.frac.data(), ws.margin.data(), ws.probe_scratch.data());
    for (std::size_t p = 0; p < n_probe; ++p) ws.probe_keys.push_back({table, ws.probe_scratch[p]});
  }
}

void append_range(Ws& ws, const std::int64_t* ids, std::pair<std::size_t, std::size_t> range) {
  for (std::size_t p = range.first; p < range.second; ++p) append(ws, ids[p]);
}

}  // namespace

void gather_query(const index::Index& index, Ws& ws, const double* q, std::size_t dq) {
  ws.begin_gather();
  list_keys(index, ws, q, dq);
  if (ws.probe_keys.empty()) return;
  ws.bounded = bounds_apply(index, ws, q, dq);
  if (index.n_static > 0) {
    const index::RunView tier = index::static_runs(index);
    const std::uint8_t* in_order = static_codes_in_order(index);
    if (!ws.bounded) {
      gather_tier<Bounds::kNone>(index, tier, ws, nullptr);
    } else if (in_order != nullptr) {
      gather_tier<Bounds::kInOrder>(index, tier, ws, in_order);
    } else {
      gather_tier<Bounds::kById>(index, tier, ws, nullptr);
    }
  }
  if (index.n_cand() > 0) {
    const index::RunView tier = index::cand_runs(index);
    if (ws.bounded) {
      gather_tier<Bounds::kById>(index, tier, ws, nullptr);
    } else {
      gather_tier<Bounds::kNone>(index, tier, ws, nullptr);
    }
  }
}

void gather_range(const index::Index& index, Ws& ws, std::size_t t, std::int64_t lo, std::int64_t width) {
  for (const index::RunView& run : {index::static_run(index, t), index::cand_run(index, t)}) {
    if (run.n > 0) append_range(ws, run.ids, index::run_range(run, lo, width));
  }
}

}  // namespace vb::query
