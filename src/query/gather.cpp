#include "query/gather.h"

#include <algorithm>
#include <string>

#include "base/errors.h"
#include "index/bucket_offsets.h"
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
// Ids are staged at most kStage at a time, which bounds the scratch for huge
// buckets.
constexpr std::size_t kMarkAhead = 16;
constexpr std::size_t kStage = 4096;
constexpr std::size_t kIdsPerLine = 64 / sizeof(std::int64_t);

// Appends the staged ids in order and empties the stage.
void append_staged(const index::Index& index, Ws& ws) {
  const std::size_t total = ws.raw_ids.size();
  const std::int64_t* raw = ws.raw_ids.data();
  const std::uint64_t rows = ws.mark.size();
  const float* points = index.points_f32.data();
  // Every id is written to the next free slot and the slot is kept only when
  // the id was not marked yet: whether an id is new is unpredictable, and a
  // branch on it would be mispredicted about as often as it is taken.
  const std::size_t listed = ws.cand_ids.size();
  ws.cand_ids.resize(listed + total);
  std::uint64_t* out = ws.cand_ids.data() + listed;
  std::uint32_t* mark = ws.mark.data();
  const std::uint32_t stamp = ws.stamp;
  std::size_t kept = 0;
  for (std::size_t j = 0; j < total; ++j) {
    if (j + kMarkAhead < total) {
      const auto ahead = static_cast<std::uint64_t>(raw[j + kMarkAhead]);
      if (ahead < rows) __builtin_prefetch(mark + ahead);
    }
    const auto id = static_cast<std::uint64_t>(raw[j]);
    if (id >= rows) out_of_bounds(rows, raw[j]);
    out[kept] = id;
    kept += mark[id] != stamp;
    mark[id] = stamp;
    __builtin_prefetch(points + id * index.d);
  }
  ws.cand_ids.resize(listed + kept);
  ws.raw_ids.clear();
}

void gather_tier(const index::Index& index, const index::RunView& tier, Ws& ws) {
  find_ranges(tier, ws);
  const std::size_t count = ws.probe_keys.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t* run = tier.at(ws.probe_keys[i].table).ids;
    const std::size_t end = std::min(ws.ranges[i].second, ws.ranges[i].first + kStage);
    for (std::size_t p = ws.ranges[i].first; p < end; p += kIdsPerLine) __builtin_prefetch(run + p);
  }
  ws.raw_ids.clear();
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t* run = tier.at(ws.probe_keys[i].table).ids;
    for (std::size_t p = ws.ranges[i].first; p < ws.ranges[i].second;) {
      const std::size_t take = std::min(ws.ranges[i].second - p, kStage - ws.raw_ids.size());
      ws.raw_ids.insert(ws.raw_ids.end(), run + p, run + p + take);
      p += take;
      if (ws.raw_ids.size() == kStage) append_staged(index, ws);
    }
  }
  append_staged(index, ws);
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
  if (index.n_static > 0) gather_tier(index, index::static_runs(index), ws);
  if (index.n_cand() > 0) gather_tier(index, index::cand_runs(index), ws);
}

void gather_range(const index::Index& index, Ws& ws, std::size_t t, std::int64_t lo, std::int64_t width) {
  for (const index::RunView& run : {index::static_run(index, t), index::cand_run(index, t)}) {
    if (run.n > 0) append_range(ws, run.ids, index::run_range(run, lo, width));
  }
}

}  // namespace vb::query
