#include "query/gather.h"

#include <algorithm>
#include <limits>
#include <string>

#include "base/errors.h"
#include "index/bucket_offsets.h"
#include "kernels/row_bound.h"
#include "kernels/torus_codes.h"
#include "query/clock.h"
#include "query/query_codes.h"
#include "query/refine.h"

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
  ++ws.listed;
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
//
// Where the runs are bounded, their first lines are read ahead by loads
// rather than hinted: measured on AMD EPYC (AVX2), the sweep still waited on
// every bucket's lines after hints, and no longer after loads, which
// overlap. Only the first kReadAhead bytes of a run: the hardware streams
// the rest of a long run, and the loads of a query's huge buckets would
// evict each other before use. At d = 16 (124 buckets a query, two runs
// each) four lines a run cost 5-9 % less than sixteen; no workload measured
// was slower for it.
constexpr std::size_t kMarkAhead = 16;
constexpr std::size_t kStage = 4096;
constexpr std::size_t kReadAhead = 256;

// Where a tier's code bounds come from: none (the candidates are measured
// in floats, so their rows are requested as they are listed); the bounds
// taken beside the ids from the codes in key order; or the row-major codes,
// by id.
enum class Bounds { kNone, kInOrder, kById };

// Marks those of the `total` ids of a run at `raw` that the gather has not
// met yet, counts them in ws.listed and appends them in order; with bounds,
// only those whose bound is at most `bar`, each bound beside its id (with
// kInOrder, the bound of raw[j] is run_bounds[j]).
template <Bounds kBounds>
void append_run(const index::Index& index, Ws& ws, const std::int64_t* raw, const std::uint32_t* run_bounds,
                std::size_t total, std::int64_t bar) {
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
  std::size_t met = 0;
  auto append_one = [&](std::size_t j) {
    const auto id = static_cast<std::uint64_t>(raw[j]);
    if (id >= rows) out_of_bounds(rows, raw[j]);
    out[kept] = id;
    const bool is_new = mark[id] != stamp;
    if constexpr (kBounds == Bounds::kNone) {
      kept += is_new;
    } else {
      std::uint32_t b = 0;
      if constexpr (kBounds == Bounds::kInOrder) b = run_bounds[j];
      if constexpr (kBounds == Bounds::kById) b = bound(query, codes + id * d, d);
      bound_out[kept] = b;
      met += is_new;
      kept += is_new & (b <= bar);
    }
    mark[id] = stamp;
    if constexpr (kBounds == Bounds::kNone) __builtin_prefetch(points + id * d);
  };
  std::size_t j = 0;
  for (; j + kMarkAhead < total; ++j) {
    look_ahead(raw[j + kMarkAhead]);
    append_one(j);
  }
  for (; j < total; ++j) append_one(j);
  ws.listed += kBounds == Bounds::kNone ? kept : met;
  ws.cand_ids.resize(listed + kept);
  if constexpr (kBounds != Bounds::kNone) ws.cand_bound.resize(listed + kept);
}

void prefetch_lines(const void* first, std::size_t bytes) {
  const char* at = static_cast<const char*>(first);
  for (std::size_t b = 0; b < bytes; b += 64) __builtin_prefetch(at + b);
}

// Loads a byte of every cache line of [first, first + bytes), the loads
// independent of each other, and returns their sum.
std::uint64_t read_lines(const void* first, std::size_t bytes) {
  if (bytes == 0) return 0;  // `first` may then be the end of its array
  const auto begin = reinterpret_cast<std::uintptr_t>(first);
  const std::uintptr_t end = begin + bytes;
  std::uint64_t sum = 0;
  for (std::uintptr_t line = begin & ~std::uintptr_t{63}; line < end; line += 64) {
    sum += *reinterpret_cast<const std::uint8_t*>(std::max(line, begin));
  }
  return sum;
}

// A gather that measures its candidates as it goes (gather_refine_query):
// the collector they are offered to, the id it never takes, and the time
// spent measuring.
struct Refining {
  TopK& topk;
  std::int64_t exclude;
  std::uint64_t refine_ns = 0;
};

// Measures and offers every candidate listed so far, then drops them from
// the list; returns the collector's bar.
std::int64_t refine_listed(const index::Index& index, Ws& ws, Refining& refining) {
  const std::uint64_t t0 = now_ns();
  refine_topk(index, ws, refining.topk, refining.exclude);
  ws.cand_ids.clear();
  ws.cand_bound.clear();
  refining.refine_ns += elapsed_ns(t0, now_ns());
  return refine_bar(index, refining.topk);
}

constexpr std::int64_t kNoBar = std::numeric_limits<std::int64_t>::max();

// `codes`: with kInOrder, the tier's key-ordered codes (l runs of tier.n
// rows of d bytes). With `refining` (and bounds), the candidates listed once
// the first table's keys are in are measured then, which sets a bar, and a
// later entry whose bound exceeds the bar is not listed: its distance lies
// strictly above an entry the collector keeps to the end. Measuring after
// every table instead cost more in calls than it saved in listing.
template <Bounds kBounds>
void gather_tier(const index::Index& index, const index::RunView& tier, Ws& ws, const std::uint8_t* codes,
                 Refining* refining) {
  find_ranges(tier, ws);
  const std::size_t count = ws.probe_keys.size();
  const std::size_t d = index.d;
  std::uint64_t read = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t table = ws.probe_keys[i].table;
    const std::int64_t* run = tier.at(table).ids + ws.ranges[i].first;
    const std::size_t entries = std::min(ws.ranges[i].second - ws.ranges[i].first, kStage);
    if constexpr (kBounds == Bounds::kNone) {
      prefetch_lines(run, entries * sizeof(std::int64_t));
    } else {
      read += read_lines(run, std::min(entries * sizeof(std::int64_t), kReadAhead));
    }
    if constexpr (kBounds == Bounds::kInOrder) {
      read += read_lines(codes + (table * tier.n + ws.ranges[i].first) * d, std::min(entries * d, kReadAhead));
    }
  }
  // Keeps the loads above, whose values nothing needs.
  asm volatile("" : : "r"(read));
  std::int64_t bar = refining != nullptr ? refine_bar(index, refining->topk) : kNoBar;
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
      append_run<kBounds>(index, ws, run + p, ws.run_bounds.data(), take, bar);
      p += take;
    }
    const bool first_table_in = table == 0 && (i + 1 == count || ws.probe_keys[i + 1].table != 0);
    if (refining != nullptr && first_table_in) bar = refine_listed(index, ws, *refining);
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

namespace {

void gather_tiers(const index::Index& index, Ws& ws, const double* q, std::size_t dq, Refining* refining) {
  ws.begin_gather();
  list_keys(index, ws, q, dq);
  if (ws.probe_keys.empty()) return;
  ws.bounded = bounds_apply(index, ws, q, dq);
  // Candidates without bounds are all measured once the gather is done.
  if (!ws.bounded) refining = nullptr;
  if (index.n_static > 0) {
    const index::RunView tier = index::static_runs(index);
    const std::uint8_t* in_order = static_codes_in_order(index);
    if (!ws.bounded) {
      gather_tier<Bounds::kNone>(index, tier, ws, nullptr, nullptr);
    } else if (in_order != nullptr) {
      gather_tier<Bounds::kInOrder>(index, tier, ws, in_order, refining);
    } else {
      gather_tier<Bounds::kById>(index, tier, ws, nullptr, refining);
    }
  }
  if (index.n_cand() > 0) {
    const index::RunView tier = index::cand_runs(index);
    if (ws.bounded) {
      gather_tier<Bounds::kById>(index, tier, ws, nullptr, refining);
    } else {
      gather_tier<Bounds::kNone>(index, tier, ws, nullptr, nullptr);
    }
  }
}

}  // namespace

void gather_query(const index::Index& index, Ws& ws, const double* q, std::size_t dq) {
  gather_tiers(index, ws, q, dq, nullptr);
}

std::uint64_t gather_refine_query(const index::Index& index, Ws& ws, TopK& topk, const double* q, std::size_t dq,
                                  std::int64_t exclude) {
  Refining refining{topk, exclude};
  gather_tiers(index, ws, q, dq, &refining);
  refine_listed(index, ws, refining);
  return refining.refine_ns;
}

void gather_range(const index::Index& index, Ws& ws, std::size_t t, std::int64_t lo, std::int64_t width) {
  for (const index::RunView& run : {index::static_run(index, t), index::cand_run(index, t)}) {
    if (run.n > 0) append_range(ws, run.ids, index::run_range(run, lo, width));
  }
}

}  // namespace vb::query
