#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <tuple>

#include "pool/cancel.h"
#include "index/bucket_offsets.h"
#include "base/errors.h"
#include "query/block_distance.h"
#include "query/blocked.h"
#include "query/prefetch.h"
#include "query/query_codes.h"

namespace vb::query {

namespace {

// How many buckets ahead of the one being measured the id lines and the point
// rows are requested: a block reads buckets in key order, so both can be
// requested long before they are used.
constexpr std::size_t kIdRunsAhead = 24;
constexpr std::size_t kRowRunsAhead = 10;
constexpr std::size_t kLineFloats = 64 / sizeof(float);
constexpr std::size_t kIdsPerLine = 64 / sizeof(std::int64_t);

void prefetch_row(const float* row, std::size_t d) {
  for (std::size_t c = 0; c < d; c += kLineFloats) prefetch_read(row + c);
  prefetch_read(row + d - 1);
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
  // Room to start the panels on a 64-byte boundary (vector allocations are aligned to at least 4 bytes).
  ws.tile_store.resize(kTileRows * d + 64 / sizeof(float));
  ws.tile_ids.resize(kTileRows);
  ws.group_rows.resize(kGroupRows);
  ws.group_bound.resize(kGroupRows);
  ws.group_dist.resize(kGroupRows * kTileRows);
  ws.group_admit.resize(kGroupRows * (kTileRows / kPanelWidth));
}

// Sorts row keys listed in ascending row order into (key, row) order. A
// stable least-significant-digit radix sort on the key alone keeps equal keys
// in row order; it is linear, where a comparison sort of a block's thousands
// of keys per table would cost more than measuring their buckets. Negative
// keys (only from a corrupted index) fall back to the comparison sort.
void sort_row_keys(std::vector<RowKey>& keys, std::vector<RowKey>& scratch) {
  constexpr unsigned kDigitBits = 8;
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  std::uint64_t any_bits = 0;
  bool negative = false;
  for (const RowKey& e : keys) {
    negative |= e.key < 0;
    any_bits |= static_cast<std::uint64_t>(e.key);
  }
  if (negative || keys.size() < 64) {
    std::sort(keys.begin(), keys.end(),
              [](const RowKey& a, const RowKey& b) { return a.key < b.key || (a.key == b.key && a.row < b.row); });
    return;
  }
  scratch.resize(keys.size());
  const unsigned bits = static_cast<unsigned>(std::bit_width(any_bits));
  for (unsigned shift = 0; shift < bits; shift += kDigitBits) {
    std::uint32_t start[kDigits + 1] = {};
    for (const RowKey& e : keys) ++start[((static_cast<std::uint64_t>(e.key) >> shift) & (kDigits - 1)) + 1];
    for (std::size_t v = 0; v < kDigits; ++v) start[v + 1] += start[v];
    for (const RowKey& e : keys) scratch[start[(static_cast<std::uint64_t>(e.key) >> shift) & (kDigits - 1)]++] = e;
    keys.swap(scratch);
  }
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
  sort_row_keys(ws.row_keys, ws.row_keys_scratch);
}

// The distinct keys of the sorted row keys with their ranges in both tiers.
// The offsets of all keys are touched first, so that their misses overlap.
void find_runs(BWs& ws, const index::RunView& stat, const index::RunView& cand) {
  const bool has_static = stat.n > 0;
  const bool has_cand = cand.n > 0;
  const std::size_t count = ws.row_keys.size();
  for (const index::RunView* run : {&stat, &cand}) {
    if (run->offsets == nullptr || run->n == 0) continue;
    for (std::size_t i = 0; i < count; ++i) {
      const auto key = static_cast<std::uint64_t>(ws.row_keys[i].key);
      if (key < run->stride) prefetch_read(run->offsets + key);
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
  for (std::size_t p = lo; p < hi; p += kIdsPerLine) prefetch_read(ids + p);
}

// The block's kernels, chosen once for the block.
struct Kernels {
  TileKernel measure;
  TilePack pack;
};

// Requests the rows of ids[0 .. count) that name points.
void prefetch_tile(const index::Index& index, const std::int64_t* ids, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto id = static_cast<std::uint64_t>(ids[i]);
    if (id < index.n_points) prefetch_row(index.points_f32.data() + id * index.d, index.d);
  }
}

// Requests the lines a bucket will need, a fixed number of buckets ahead of
// its measuring: first its ids, later the point rows those ids name (the id
// lines by then in cache).
struct TableView {
  const index::Index& index;
  const std::int64_t* static_ids;
  const std::int64_t* cand_ids;

  void prefetch_ids_of(const BucketRun& run) const {
    prefetch_ids(static_ids, run.static_lo, std::min(run.static_hi, run.static_lo + kTileRows));
    prefetch_ids(cand_ids, run.cand_lo, std::min(run.cand_hi, run.cand_lo + kTileRows));
  }
  void prefetch_rows_of(const BucketRun& run) const {
    prefetch_rows(static_ids, run.static_lo, run.static_hi);
    prefetch_rows(cand_ids, run.cand_lo, run.cand_hi);
  }
  void prefetch_rows(const std::int64_t* ids, std::size_t lo, std::size_t hi) const {
    prefetch_tile(index, ids + lo, std::min(hi, lo + kTileRows) - lo);
  }
};

// Copies the rows of ids[0 .. count) into the tile's panels, lanes past
// count zeroed (their distances are ignored; zeros keep them ordinary
// numbers).
std::size_t load_tile(const index::Index& index, BWs& ws, TilePack pack, const std::int64_t* ids,
                      std::size_t count) {
  const std::size_t d = index.d;
  const float* points = index.points_f32.data();
  for (std::size_t i = 0; i < count; ++i) {
    VB_CHECK(static_cast<std::uint64_t>(ids[i]) < index.n_points, "index out of bounds: the len is " +
                                                                       std::to_string(index.n_points) +
                                                                       " but the index is " + std::to_string(ids[i]));
  }
  pack(points, d, ids, count, ws.tile());
  std::copy_n(ids, count, ws.tile_ids.data());
  return (count + kPanelWidth - 1) / kPanelWidth;
}

// Offers row r the tile candidates its kernel call admitted (group slot g),
// each checked again against the row's current worst kept entry: the kernel
// compared against the bound before the call, which later offers of the same
// row only tighten.
void admit_row(BWs& ws, std::uint32_t r, std::size_t g, std::size_t panels, std::size_t count) {
  Entry* slots = ws.heaps.data() + r * ws.cap;
  const std::size_t cap = ws.cap;
  std::size_t n = ws.counts[r];
  const std::int64_t excluded = ws.exclude[r];
  std::uint32_t bound_bits = n == cap ? slots[0].dist_bits : 0xffffffffu;
  const std::uint16_t* admit = ws.group_admit.data() + g * panels;
  const float* dist = ws.group_dist.data() + g * panels * kPanelWidth;
  for (std::size_t p = 0; p < panels; ++p) {
    // A full row admits few lanes: four panels' words are tested at once.
    if (p % 4 == 0 && p + 4 <= panels) {
      std::uint64_t four = 0;
      std::memcpy(&four, admit + p, sizeof four);
      if (four == 0) {
        p += 3;
        continue;
      }
    }
    unsigned lanes = admit[p];
    if (lanes == 0) continue;
    // Lanes past the tile's last candidate hold no candidate.
    if ((p + 1) * kPanelWidth > count) lanes &= (1u << (count - p * kPanelWidth)) - 1u;
    while (lanes != 0) {
      const std::size_t i = p * kPanelWidth + static_cast<std::size_t>(std::countr_zero(lanes));
      lanes &= lanes - 1;
      const std::uint32_t bits = to_bits(dist[i]);
      if (bits > bound_bits) continue;
      const std::int64_t id = ws.tile_ids[i];
      if (id == excluded || (n == cap && !nearer(Entry{bits, id}, slots[0]))) continue;
      heap_offer(slots, cap, n, bits, id);
      if (n == cap) bound_bits = slots[0].dist_bits;
    }
  }
  ws.counts[r] = static_cast<std::uint32_t>(n);
}

// Every row of a run against the bucket's candidates ids[0 .. count), loaded
// into the tile kTileRows at a time: each tile is loaded once for all the
// rows, which are measured against it kGroupRows per kernel call. The first
// tile's rows were requested buckets ahead; each later tile's rows are
// requested while the tile before it is measured.
void gather_and_refine(const index::Index& index, BWs& ws, const Kernels& kernels, const BucketRun& run,
                       const std::int64_t* ids, std::size_t count) {
  const std::size_t d = index.d;
  for (std::size_t start = 0; start < count; start += kTileRows) {
    if (start % (64 * kTileRows) == 0) pool::cancellation_point();  // a bucket can hold every point
    const std::size_t tile = std::min(kTileRows, count - start);
    const std::size_t panels = load_tile(index, ws, kernels.pack, ids + start, tile);
    if (start + tile < count) prefetch_tile(index, ids + start + tile, std::min(kTileRows, count - start - tile));
    for (std::size_t e = run.first; e < run.first + run.g; e += kGroupRows) {
      const std::size_t rows = std::min(kGroupRows, run.first + run.g - e);
      for (std::size_t g = 0; g < rows; ++g) {
        const std::uint32_t r = ws.row_keys[e + g].row;
        ws.group_rows[g] = ws.query_f32.data() + r * d;
        ws.group_bound[g] = ws.counts[r] == ws.cap ? ws.heaps[r * ws.cap].dist_bits : 0xffffffffu;
      }
      kernels.measure(TileJob{ws.group_rows.data(), rows, d, ws.tile(), panels, ws.group_bound.data(), ws.group_dist.data(),
                     ws.group_admit.data(), index.scale_or_null()});
      for (std::size_t g = 0; g < rows; ++g) admit_row(ws, ws.row_keys[e + g].row, g, panels, tile);
    }
  }
}

}  // namespace

std::uint64_t query_block(const index::Index& index, BWs& ws, const KnnRows& block) {
  const double* queries = block.queries;
  const std::size_t rows = block.m;
  const std::size_t dq = block.dq;
  prepare(index, ws, queries, rows, dq, block.k, block.exclude);
  if (index.l == 0 || ws.cap == 0) return 0;
  const std::size_t d = index.d;
  // One kernel for the whole block.
  const Kernels kernels{tile_kernel(cpu_level(), d, index.metric, !index.scale.empty()), tile_pack(cpu_level(), d)};
  std::uint64_t pairs = 0;
  for (std::size_t t = 0; t < index.l; ++t) {
    list_row_keys(index, ws, queries, rows, dq, t);
    const index::RunView stat = index::static_run(index, t);
    const index::RunView cand = index::cand_run(index, t);
    find_runs(ws, stat, cand);
    const TableView table{index, stat.ids, cand.ids};
    const std::size_t n_runs = ws.runs.size();
    // A fixed-distance pipeline over the buckets, in key order: id lines are
    // requested kIdRunsAhead buckets ahead, rows kRowRunsAhead ahead (their ids
    // by then in cache), so the misses of many buckets overlap.
    for (std::size_t j = 0; j < std::min(n_runs, kIdRunsAhead); ++j) table.prefetch_ids_of(ws.runs[j]);
    for (std::size_t j = 0; j < std::min(n_runs, kRowRunsAhead); ++j) table.prefetch_rows_of(ws.runs[j]);
    for (std::size_t j = 0; j < n_runs; ++j) {
      if (j + kIdRunsAhead < n_runs) table.prefetch_ids_of(ws.runs[j + kIdRunsAhead]);
      if (j + kRowRunsAhead < n_runs) table.prefetch_rows_of(ws.runs[j + kRowRunsAhead]);
      const BucketRun& run = ws.runs[j];
      pairs += static_cast<std::uint64_t>(run_size(run)) * run.g;
      gather_and_refine(index, ws, kernels, run, table.static_ids + run.static_lo, run.static_hi - run.static_lo);
      gather_and_refine(index, ws, kernels, run, table.cand_ids + run.cand_lo, run.cand_hi - run.cand_lo);
    }
  }
  return pairs;
}

}  // namespace vb::query
