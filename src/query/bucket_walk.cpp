#include "query/bucket_walk.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <tuple>

#include "base/errors.h"
#include "query/prefetch.h"
#include "query/query_codes.h"

namespace vb::query {

using kernels::kPanelWidth;

namespace {

constexpr std::size_t kLineFloats = 64 / sizeof(float);
constexpr std::size_t kIdsPerLine = 64 / sizeof(std::int64_t);

void prefetch_row(const float* row, std::size_t d) {
  for (std::size_t c = 0; c < d; c += kLineFloats) prefetch_read(row + c);
  // A row that straddles one more line; an aligned row (d = 16 from a
  // 64-byte boundary) does not, and a request too many costs a miss slot.
  const auto line = [](const float* p) { return reinterpret_cast<std::uintptr_t>(p) / 64; };
  if (line(row + d - 1) != line(row + (d - 1) / kLineFloats * kLineFloats)) prefetch_read(row + d - 1);
}

void prefetch_ids(const std::int64_t* ids, std::size_t lo, std::size_t hi) {
  for (std::size_t p = lo; p < hi; p += kIdsPerLine) prefetch_read(ids + p);
}

void check_tile_ids(const index::Index& index, const std::int64_t* ids, std::size_t count) {
  // Every tile passes: one branch-free sweep, and only a failing tile looks
  // for its first bad id (the message names it).
  std::uint64_t largest = 0;
  for (std::size_t i = 0; i < count; ++i) largest = std::max(largest, static_cast<std::uint64_t>(ids[i]));
  if (count == 0 || largest < index.n_points) return;
  for (std::size_t i = 0; i < count; ++i) {
    VB_CHECK(static_cast<std::uint64_t>(ids[i]) < index.n_points, "index out of bounds: the len is " +
                                                                       std::to_string(index.n_points) +
                                                                       " but the index is " + std::to_string(ids[i]));
  }
}

}  // namespace

void sort_row_keys(std::vector<RowKey>& keys, std::vector<RowKey>& scratch) {
  constexpr unsigned kMaxDigitBits = 12;
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
  const unsigned passes = (bits + kMaxDigitBits - 1) / kMaxDigitBits;
  const unsigned digit_bits = passes == 0 ? 0 : (bits + passes - 1) / passes;
  const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
  std::uint32_t start[(std::size_t{1} << kMaxDigitBits) + 1];
  for (unsigned shift = 0; shift < bits; shift += digit_bits) {
    const std::size_t digits = std::size_t{1} << digit_bits;
    std::fill(start, start + digits + 1, 0u);
    for (const RowKey& e : keys) ++start[((static_cast<std::uint64_t>(e.key) >> shift) & mask) + 1];
    for (std::size_t v = 0; v < digits; ++v) start[v + 1] += start[v];
    for (const RowKey& e : keys) scratch[start[(static_cast<std::uint64_t>(e.key) >> shift) & mask]++] = e;
    keys.swap(scratch);
  }
}

void prepare_walk(const index::Index& index, BWs& ws, const double* queries, std::size_t rows, std::size_t dq,
                  const std::int64_t* exclude) {
  const std::size_t d = index.d;
  ws.query_f32.resize(rows * d);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < d; ++c) ws.query_f32[r * d + c] = static_cast<float>(queries[r * dq + c]);
  }
  ws.exclude.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) ws.exclude[r] = exclude != nullptr ? exclude[r] : -1;
  ws.block_codes.set_rows(queries, rows, dq);
  // Room to start the panels on a 64-byte boundary (vector allocations are aligned to at least 4 bytes).
  ws.tile_store.resize(kTileRows * d + 64 / sizeof(float));
  ws.tile_ids.resize(std::max(kTileRows, kCodeTileRows));
  ws.group_rows.resize(kGroupRows);
  ws.group_bound.resize(kGroupRows);
  ws.group_dist.resize(kGroupRows * kTileRows);
  ws.group_admit.resize(kGroupRows * (kTileRows / kPanelWidth));
  ws.rows_in_order = false;
  ws.codes_first = index.kernels.code_bound != nullptr && index.codes_bound();
  if (!ws.codes_first) return;
  const std::size_t code_row = kernels::code_groups(d) * kernels::kCodeGroup;
  ws.query_codes.resize(rows * code_row);
  for (std::size_t r = 0; r < rows && ws.codes_first; ++r) {
    ws.codes_first = kernels::encode_query(ws.query_f32.data() + r * d, d, ws.query_codes.data() + r * code_row);
  }
  ws.code_tile.resize(kCodeTileRows * code_row);
  ws.survivors.resize(kCodeTileRows / 32);
}

void list_row_keys(const index::Index& index, BWs& ws, std::size_t rows, std::size_t dq, std::size_t t) {
  const std::size_t per_row = 1 + probe_count(index);
  BlockCodes& block = ws.block_codes;
  VB_CHECK(block.rows == rows && block.columns.size() == rows * dq, "row keys listed for rows the walk was not prepared for");
  ws.row_keys.resize(rows * per_row);
  RowKey* out = ws.row_keys.data();
  for (std::size_t first = 0; first < rows; first += kHashStretch) {
    const std::size_t count = std::min(kHashStretch, rows - first);
    block_codes(index, block, dq, t, first, count);
    block_probe_keys(index, block, count);
    for (std::size_t i = 0; i < count; ++i) {
      const auto row = static_cast<std::uint32_t>(first + i);
      *out++ = {block.base[i], row};
      for (std::size_t p = 0; p + 1 < per_row; ++p) *out++ = {block.probes[p * count + i], row};
    }
  }
  sort_row_keys(ws.row_keys, ws.row_keys_scratch);
}

void drop_repeated_row_keys(std::vector<RowKey>& keys) {
  keys.erase(std::unique(keys.begin(), keys.end(),
                         [](const RowKey& a, const RowKey& b) { return a.key == b.key && a.row == b.row; }),
             keys.end());
}

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

void prefetch_tile(const index::Index& index, const std::int64_t* ids, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto id = static_cast<std::uint64_t>(ids[i]);
    if (id < index.n_points) prefetch_row(index.points_f32.data() + id * index.d, index.d);
  }
}

const std::uint8_t* static_codes_of(const index::Index& index, std::size_t t) {
  const std::size_t run_bytes = index.n_static * index.d;
  if (index.static_codes.size() != index.l * run_bytes) return nullptr;
  return index.static_codes.data() + t * run_bytes;
}

void list_survivors(const index::Index& index, BWs& ws, std::size_t count) {
  const float* points = index.points_f32.data();
  const std::size_t words = (count + 31) / 32;
  for (std::size_t w = 0; w < words; ++w) {
    for (std::uint32_t lanes = ws.survivors[w]; lanes != 0; lanes &= lanes - 1) {
      const std::size_t lane = w * 32 + static_cast<std::size_t>(std::countr_zero(lanes));
      ws.survivor_lanes.push_back(static_cast<std::uint16_t>(lane));
      const auto id = static_cast<std::uint64_t>(ws.code_ids[lane]);
      // A tile read in place had its ids checked by nobody: only the survivors' are ever dereferenced.
      if (id >= index.n_points) check_tile_ids(index, ws.code_ids + lane, 1);
      prefetch_row(points + id * index.d, index.d);
    }
  }
  ws.survivor_ends.push_back(static_cast<std::uint32_t>(ws.survivor_lanes.size()));
}

// First the ids, later the point rows those ids name (the id lines by then in
// cache). A bucket measured by codes reads its static rows only for the
// survivors, so its code lines are requested instead.
void TableView::prefetch_ids_of(const BucketRun& run) const {
  const bool codes_in_order = static_codes != nullptr && by_codes(ws, run, true);
  const std::size_t static_ahead = codes_in_order ? kCodeTileRows : kTileRows;
  prefetch_ids(static_ids, run.static_lo, std::min(run.static_hi, run.static_lo + static_ahead));
  prefetch_ids(cand_ids, run.cand_lo, std::min(run.cand_hi, run.cand_lo + kTileRows));
  if (codes_in_order) {
    const std::size_t d = index.d;
    const std::uint8_t* first = static_codes + run.static_lo * d;
    const std::size_t bytes = (std::min(run.static_hi, run.static_lo + kCodeTileRows) - run.static_lo) * d;
    for (std::size_t b = 0; b < bytes; b += 64) prefetch_read(first + b);
  }
}

void TableView::prefetch_rows_of(const BucketRun& run) const {
  if (!(static_codes != nullptr && by_codes(ws, run, true))) {
    prefetch_tile(index, static_ids + run.static_lo,
                  std::min(run.static_hi, run.static_lo + kTileRows) - run.static_lo);
  }
  prefetch_tile(index, cand_ids + run.cand_lo, std::min(run.cand_hi, run.cand_lo + kTileRows) - run.cand_lo);
}

// Only a walk that keeps collectors in the workspace (the nearest-neighbour
// search; the radius search keeps none there) has row state to request: a
// row's bar and codes for the bounds, its exclusion and query for its
// survivors. Its slots are read only when a survivor is offered.
void TableView::prefetch_row_states_of(const BucketRun& run) const {
  const std::size_t rows = ws.bars.size();
  if (ws.cap == 0 || ws.counts.size() != rows || ws.exclude.size() < rows) return;
  const std::size_t d = index.d;
  const bool codes = ws.codes_first;
  const std::size_t code_row = kernels::code_groups(d) * kernels::kCodeGroup;
  for (std::size_t e = run.first; e < run.first + run.g; ++e) {
    const std::size_t r = ws.row_keys[e].row;
    if (r >= rows) continue;
    prefetch_read(ws.bars.data() + r);
    prefetch_read(ws.exclude.data() + r);
    prefetch_read(ws.query_f32.data() + r * d);
    if (codes) prefetch_read(ws.query_codes.data() + r * code_row);
  }
}

// Lanes past count are zeroed: their distances are ignored, and zeros keep
// them ordinary numbers.
std::size_t load_tile(const index::Index& index, BWs& ws, kernels::TilePack pack, const std::int64_t* ids,
                      std::size_t count) {
  check_tile_ids(index, ids, count);
  pack(index.points_f32.data(), index.d, ids, count, ws.tile());
  std::copy_n(ids, count, ws.tile_ids.data());
  return (count + kPanelWidth - 1) / kPanelWidth;
}

void load_code_tile(const index::Index& index, BWs& ws, const std::int64_t* ids, const std::uint8_t* codes,
                    std::size_t count) {
  // Codes read in place are measured without their ids; list_survivors checks
  // the ids of the few that survive, and skipping the sweep here spares a
  // miss on every id line of the bucket.
  if (codes != nullptr && ws.rows_in_order) {
    ws.code_rows = codes;
    ws.code_ids = ids;
    ws.code_tile_packed = false;
    return;
  }
  check_tile_ids(index, ids, count);
  ws.code_rows = nullptr;
  if (codes != nullptr) {
    kernels::pack_code_tile(codes, index.d, nullptr, count, kCodeTileRows, ws.code_tile.data());
  } else {
    kernels::pack_code_tile(index.codes.data(), index.d, ids, count, kCodeTileRows, ws.code_tile.data());
  }
  std::copy_n(ids, count, ws.tile_ids.data());
  ws.code_ids = ws.tile_ids.data();
  ws.code_tile_packed = true;
}

}  // namespace vb::query
