#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

#include "index/bucket_offsets.h"
#include "index/errors.h"
#include "query/block_distance.h"
#include "query/blocked.h"
#include "query/query_codes.h"

namespace vb::query {

namespace {

// Candidate rows kept in flight ahead of the bucket being measured, and how
// many buckets ahead of that the id runs are touched: a block reads buckets in
// key order, so their ids and rows can be requested long before they are used.
constexpr std::size_t kRowsAhead = 48;
constexpr std::size_t kIdRunsAhead = 4;
constexpr std::size_t kLineFloats = 64 / sizeof(float);
constexpr std::size_t kIdsPerLine = 64 / sizeof(std::int64_t);

void prefetch_row(const float* row, std::size_t d) {
  for (std::size_t c = 0; c < d; c += kLineFloats) __builtin_prefetch(row + c, 0, 3);
  __builtin_prefetch(row + d - 1, 0, 3);
}

void prepare(const index::Index& index, BWs& ws, const double* queries, std::size_t rows, std::size_t dq,
             std::size_t k, const std::int64_t* exclude) {
  const std::size_t d = index.d;
  ws.query_f32.resize(rows * d);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < d; ++c) ws.query_f32[r * d + c] = static_cast<float>(queries[r * dq + c]);
  }
  ws.exclude.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) ws.exclude[r] = exclude != nullptr ? exclude[r] : -1;
  // A row never holds more distinct points than the index has.
  ws.cap = std::min(k, index.n_points);
  ws.heaps.resize(rows * ws.cap);
  ws.counts.assign(rows, 0);
  ws.codes.resize(index.k);
  ws.frac.resize(index.k);
  ws.margin.resize(index.k);
  ws.probe_scratch.resize(index.k);
  ws.tile.resize(kTileRows * d);
  ws.tile_ids.resize(kTileRows);
  ws.tile_dist.resize(kTileRows);
}

void list_row_keys(const index::Index& index, BWs& ws, const double* queries, std::size_t rows, std::size_t dq,
                   std::size_t t) {
  const std::size_t n_probe = probe_count(index);
  ws.row_keys.clear();
  for (std::size_t r = 0; r < rows; ++r) {
    const auto row = static_cast<std::uint32_t>(r);
    const double* q = queries + r * dq;
    const std::int64_t base = query_codes(index, q, dq, t, ws.codes.data(), ws.frac.data());
    ws.row_keys.push_back({base, row});
    probe_keys(index, base, ws.codes.data(), ws.frac.data(), ws.margin.data(), ws.probe_scratch.data());
    for (std::size_t p = 0; p < n_probe; ++p) ws.row_keys.push_back({ws.probe_scratch[p], row});
  }
  std::sort(ws.row_keys.begin(), ws.row_keys.end(),
            [](const RowKey& a, const RowKey& b) { return a.key < b.key || (a.key == b.key && a.row < b.row); });
}

// The distinct keys of the sorted row keys with their ranges in both tiers.
// The offsets of all keys are touched first, so that their misses overlap.
void find_runs(const index::Index& index, BWs& ws, std::size_t t) {
  const index::RunView stat = index::static_run(index, t);
  const index::RunView cand = index::cand_run(index, t);
  const bool has_static = index.n_static > 0;
  const bool has_cand = index.n_cand() > 0;
  const std::size_t count = ws.row_keys.size();
  for (const index::RunView* run : {&stat, &cand}) {
    if (run->offsets == nullptr || run->n == 0) continue;
    for (std::size_t i = 0; i < count; ++i) {
      const auto key = static_cast<std::uint64_t>(ws.row_keys[i].key);
      if (key < run->stride) __builtin_prefetch(run->offsets + key);
    }
  }
  ws.runs.clear();
  for (std::size_t i = 0; i < count;) {
    const std::int64_t key = ws.row_keys[i].key;
    std::size_t j = i + 1;
    while (j < count && ws.row_keys[j].key == key) ++j;
    BucketRun run{i, j - i, 0, 0, 0, 0};
    if (has_static) std::tie(run.static_lo, run.static_hi) = index::run_range(stat, key, 1);
    if (has_cand) std::tie(run.cand_lo, run.cand_hi) = index::run_range(cand, key, 1);
    if (run.static_hi > run.static_lo || run.cand_hi > run.cand_lo) ws.runs.push_back(run);
    i = j;
  }
}

std::size_t run_size(const BucketRun& run) { return (run.static_hi - run.static_lo) + (run.cand_hi - run.cand_lo); }

void prefetch_ids(const std::int64_t* ids, std::size_t lo, std::size_t hi) {
  for (std::size_t p = lo; p < hi; p += kIdsPerLine) __builtin_prefetch(ids + p);
}

// Requests the id lines of a bucket, or the point rows of its ids.
struct Lookahead {
  const index::Index& index;
  const std::int64_t* static_ids;
  const std::int64_t* cand_ids;

  void ids(const BucketRun& run) const {
    prefetch_ids(static_ids, run.static_lo, std::min(run.static_hi, run.static_lo + kTileRows));
    prefetch_ids(cand_ids, run.cand_lo, std::min(run.cand_hi, run.cand_lo + kTileRows));
  }
  void rows(const BucketRun& run) const {
    const std::size_t n = index.n_points;
    const float* points = index.points_f32.data();
    for (std::size_t p = run.static_lo; p < std::min(run.static_hi, run.static_lo + kTileRows); ++p) {
      const auto id = static_cast<std::uint64_t>(static_ids[p]);
      if (id < n) prefetch_row(points + id * index.d, index.d);
    }
    for (std::size_t p = run.cand_lo; p < std::min(run.cand_hi, run.cand_lo + kTileRows); ++p) {
      const auto id = static_cast<std::uint64_t>(cand_ids[p]);
      if (id < n) prefetch_row(points + id * index.d, index.d);
    }
  }
};

void collect_bucket(BWs& ws, const BucketRun& run, const std::int64_t* static_ids, const std::int64_t* cand_ids) {
  ws.bucket_ids.clear();
  for (std::size_t p = run.static_lo; p < run.static_hi; ++p) ws.bucket_ids.push_back(static_cast<std::uint64_t>(static_ids[p]));
  for (std::size_t p = run.cand_lo; p < run.cand_hi; ++p) ws.bucket_ids.push_back(static_cast<std::uint64_t>(cand_ids[p]));
}

// Copies the rows of bucket_ids[start .. start + count) into the tile.
void load_tile(const index::Index& index, BWs& ws, std::size_t start, std::size_t count) {
  const std::size_t d = index.d;
  const float* points = index.points_f32.data();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t id = ws.bucket_ids[start + i];
    VB_CHECK(id < index.n_points, "index out of bounds: the len is " + std::to_string(index.n_points) +
                                      " but the index is " + std::to_string(id));
    prefetch_row(points + id * d, d);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t id = ws.bucket_ids[start + i];
    std::memcpy(ws.tile.data() + i * d, points + id * d, d * sizeof(float));
    ws.tile_ids[i] = static_cast<std::int64_t>(id);
  }
}

// Measures row r against the tile and offers the candidates that pass its
// admission bound: the worst kept entry when the row is full, else anything.
void refine_row(BWs& ws, TileDistance kernel, std::size_t d, std::uint32_t r, std::size_t count) {
  kernel(ws.query_f32.data() + r * d, ws.tile.data(), d, count, ws.tile_dist.data());
  Entry* slots = ws.heaps.data() + r * ws.cap;
  const std::size_t cap = ws.cap;
  std::size_t n = ws.counts[r];
  const std::int64_t excluded = ws.exclude[r];
  constexpr Entry kOpen{0xffffffffu, INT64_MAX};
  Entry bound = n == cap ? slots[0] : kOpen;
  for (std::size_t i = 0; i < count; ++i) {
    const Entry e{to_bits(ws.tile_dist[i]), ws.tile_ids[i]};
    if (e.id == excluded || !nearer(e, bound)) continue;
    heap_offer(slots, cap, n, e.dist_bits, e.id);
    if (n == cap) bound = slots[0];
  }
  ws.counts[r] = static_cast<std::uint32_t>(n);
}

}  // namespace

std::uint64_t query_block(const index::Index& index, BWs& ws, const double* queries, std::size_t rows,
                          std::size_t dq, std::size_t k, const std::int64_t* exclude) {
  prepare(index, ws, queries, rows, dq, k, exclude);
  if (index.l == 0 || ws.cap == 0) return 0;
  const std::size_t d = index.d;
  // One kernel for the whole block.
  const TileDistance kernel = tile_distance(block_level(), d);
  std::uint64_t pairs = 0;
  for (std::size_t t = 0; t < index.l; ++t) {
    list_row_keys(index, ws, queries, rows, dq, t);
    find_runs(index, ws, t);
    const std::int64_t* static_ids = index.static_ids.data() + t * index.n_static;
    const std::int64_t* cand_ids = index.cand_sorted_ids.data() + t * index.n_cand();
    const Lookahead ahead{index, static_ids, cand_ids};
    const std::size_t n_runs = ws.runs.size();
    for (std::size_t j = 0; j < std::min(n_runs, kIdRunsAhead); ++j) ahead.ids(ws.runs[j]);
    std::size_t next_rows = 0;  // first bucket whose rows have not been requested
    std::size_t in_flight = 0;  // candidates requested beyond the current bucket
    for (std::size_t j = 0; j < n_runs; ++j) {
      const BucketRun& run = ws.runs[j];
      const std::size_t size = run_size(run);
      while (next_rows < n_runs && (next_rows <= j || in_flight < kRowsAhead)) {
        if (next_rows + kIdRunsAhead < n_runs) ahead.ids(ws.runs[next_rows + kIdRunsAhead]);
        ahead.rows(ws.runs[next_rows]);
        if (next_rows > j) in_flight += std::min(run_size(ws.runs[next_rows]), kTileRows);
        ++next_rows;
      }
      collect_bucket(ws, run, static_ids, cand_ids);
      pairs += static_cast<std::uint64_t>(size) * run.g;
      for (std::size_t start = 0; start < size; start += kTileRows) {
        const std::size_t count = std::min(kTileRows, size - start);
        load_tile(index, ws, start, count);
        for (std::size_t e = run.first; e < run.first + run.g; ++e) refine_row(ws, kernel, d, ws.row_keys[e].row, count);
      }
      if (next_rows > j + 1) in_flight -= std::min(run_size(ws.runs[j + 1]), kTileRows);
    }
  }
  return pairs;
}

}  // namespace vb::query
