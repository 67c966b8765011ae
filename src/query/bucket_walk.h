#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/bucket_offsets.h"
#include "index/index.h"
#include "kernels/code_bound.h"
#include "kernels/tile_distance.h"
#include "pool/cancel.h"
#include "query/blocked.h"

// The bucket-major walk of a block, shared by the blocked k-nearest-neighbour
// search and the blocked radius search: per table the keys of all rows are
// sorted, each distinct key is looked up once, and its candidates are packed
// into tiles that a caller measures every row hashed there against.
namespace vb::query {

// Sizes the workspace for a block of `rows` query rows (dq values each,
// rows apart by dq): ws.query_f32 holds the first index.d values of each row in
// single precision, ws.exclude the rows' excluded ids (-1 for every row when
// exclude is null), and the key scratch, tile and group buffers their sizes.
// ws.codes_first is set when the index's kernels have code bounds (the filter
// was on when they were chosen) and codes bound every distance of the block
// (the index's and the rows' coordinates on the torus, no axis periods);
// ws.query_codes then holds the rows' codes.
void prepare_walk(const index::Index& index, BWs& ws, const double* queries, std::size_t rows, std::size_t dq,
                  const std::int64_t* exclude);

// Fills ws.row_keys with the base key and the probe keys of every row in
// table t, sorted by (key, row). A row lists a key once per key it computes,
// so a key it reaches twice appears twice.
// Requires: prepare_walk for these rows (it keeps them for hashing).
void list_row_keys(const index::Index& index, BWs& ws, std::size_t rows, std::size_t dq, std::size_t t);

// Sorts row keys listed in ascending row order into (key, row) order. A
// stable least-significant-digit radix sort on the key alone keeps equal keys
// in row order; it is linear, where a comparison sort of a block's thousands
// of keys per table would cost more than measuring their buckets. The keys'
// bits are cut into as few passes as digits of at most 12 bits allow, each
// pass a read and a scattered write of every key: a table of up to 4096
// buckets (b^k) sorts in one pass. Negative keys (only from a corrupted
// index) fall back to the comparison sort. `scratch` is the second buffer.
void sort_row_keys(std::vector<RowKey>& keys, std::vector<RowKey>& scratch);

// Removes repeats of a (key, row) pair from sorted row keys, so that a row
// meets each bucket of a table once (with one cell, every probe key is the
// base key).
void drop_repeated_row_keys(std::vector<RowKey>& keys);

// Fills ws.runs with the distinct keys of ws.row_keys that hold entries in
// either tier, with their ranges in both.
void find_runs(BWs& ws, const index::RunView& stat, const index::RunView& cand);

// Entries of both tiers in a run.
inline std::size_t run_size(const BucketRun& run) {
  return (run.static_hi - run.static_lo) + (run.cand_hi - run.cand_lo);
}

// Whether a bucket's tiles are measured by codes first: the block may, and
// enough of its rows share the bucket to pay for packing the code tiles
// (fewer when its codes lie in key order, read in one stretch).
inline bool by_codes(const BWs& ws, const BucketRun& run, bool in_order) {
  return ws.codes_first && run.g >= (in_order ? kCodeFirstRowsInOrder : kCodeFirstRows);
}

// Table t's run of key-ordered static codes, or null when the index holds
// none of that size (then codes are read by point id).
const std::uint8_t* static_codes_of(const index::Index& index, std::size_t t);

// Requests the id lines and point rows (or, for buckets measured by codes,
// the code lines) of the buckets a fixed number of buckets ahead of the one
// being measured (a block reads them in key order), and the state of the
// rows hashed there: the rows sharing a bucket are scattered over the block,
// whose collectors (rows × cap slots) outgrow the cache in a large block, so
// each row's worst entry would otherwise be a miss at every bucket it meets.
struct TableView {
  const index::Index& index;
  const BWs& ws;
  const std::int64_t* static_ids;
  const std::int64_t* cand_ids;
  const std::uint8_t* static_codes;  // the table's key-ordered static codes, or null

  void prefetch_ids_of(const BucketRun& run) const;
  void prefetch_rows_of(const BucketRun& run) const;
  void prefetch_row_states_of(const BucketRun& run) const;
};

// Buckets ahead of the measured one whose id lines, and whose point rows,
// are requested.
inline constexpr std::size_t kIdRunsAhead = 24;
inline constexpr std::size_t kRowRunsAhead = 10;

// Buckets between two cancellation points of the walk (besides those within
// a large bucket): a few microseconds of work.
inline constexpr std::size_t kRunsPerPoll = 32;

// Appends the lanes of ws.survivors (a code tile of count candidates) to
// ws.survivor_lanes, requesting each one's point row, and closes the row's
// list in ws.survivor_ends. Throws InternalError for a survivor's id beyond
// the points (a corrupted index).
void list_survivors(const index::Index& index, BWs& ws, std::size_t count);

// Requests the point rows of ids[0 .. count) that name points.
void prefetch_tile(const index::Index& index, const std::int64_t* ids, std::size_t count);

// Packs the rows of ids[0 .. count) (count <= kTileRows) into ws.tile() and
// their ids into ws.tile_ids; returns the panel count. Throws InternalError
// for an id beyond the points (a corrupted index).
std::size_t load_tile(const index::Index& index, BWs& ws, kernels::TilePack pack, const std::int64_t* ids,
                      std::size_t count);

// Packs the codes of ids[0 .. count) (count <= kCodeTileRows) into ws.code_tile
// and the ids into ws.tile_ids: from `codes`, their count consecutive rows in
// key order, or when it is null from the index's codes by id. With codes in
// key order and ws.rows_in_order, nothing is copied: ws.code_rows points at
// them (else null). ws.code_ids names the tile's ids either way. Throws
// InternalError for an id beyond the points (a corrupted index), except for
// codes read in place, whose ids list_survivors checks as it reads them.
void load_code_tile(const index::Index& index, BWs& ws, const std::int64_t* ids, const std::uint8_t* codes,
                    std::size_t count);

// Walks one block: for every table, every distinct key of the rows' keys,
// every tile of its bucket (static tier first, kTileRows candidates at a
// time), calls on_tile(run, panels, count) with the tile loaded in ws (run
// names the rows hashed there: ws.row_keys[run.first .. run.first + run.g)).
// When ws.codes_first and at least kCodeFirstRows rows share the bucket, its
// tiles are code tiles of kCodeTileRows candidates instead, and
// on_code_tile(run, count) is called.
// once_per_row drops a row's repeated keys within a table first. Returns
// the number of distances the calls stand for (bucket size × rows, summed).
// A cancellation point every kRunsPerPoll buckets and every 64 tiles (16
// code tiles) within one.
// Requires: prepare_walk for this block.
template <class OnTile, class OnCodeTile>
std::uint64_t walk_buckets(const index::Index& index, BWs& ws, kernels::TilePack pack, std::size_t rows,
                           std::size_t dq, bool once_per_row, OnTile&& on_tile,
                           OnCodeTile&& on_code_tile) {
  std::uint64_t pairs = 0;
  // `codes` is the bucket's run of key-ordered codes, or null when the tier
  // keeps its codes by point id only.
  auto tiles_of = [&](const BucketRun& run, const std::int64_t* ids, const std::uint8_t* codes, std::size_t count) {
    if (by_codes(ws, run, codes != nullptr)) {
      for (std::size_t start = 0; start < count; start += kCodeTileRows) {
        if (start > 0 && start % (16 * kCodeTileRows) == 0) pool::cancellation_point();  // a bucket can hold every point
        const std::size_t tile = std::min(kCodeTileRows, count - start);
        load_code_tile(index, ws, ids + start, codes != nullptr ? codes + start * index.d : nullptr, tile);
        on_code_tile(run, tile);
      }
      return;
    }
    for (std::size_t start = 0; start < count; start += kTileRows) {
      if (start > 0 && start % (64 * kTileRows) == 0) pool::cancellation_point();  // a bucket can hold every point
      const std::size_t tile = std::min(kTileRows, count - start);
      const std::size_t panels = load_tile(index, ws, pack, ids + start, tile);
      if (start + tile < count) prefetch_tile(index, ids + start + tile, std::min(kTileRows, count - start - tile));
      on_tile(run, panels, tile);
    }
  };
  for (std::size_t t = 0; t < index.l; ++t) {
    list_row_keys(index, ws, rows, dq, t);
    if (once_per_row) drop_repeated_row_keys(ws.row_keys);
    const index::RunView stat = index::static_run(index, t);
    const index::RunView cand = index::cand_run(index, t);
    find_runs(ws, stat, cand);
    const TableView table{index, ws, stat.ids, cand.ids, static_codes_of(index, t)};
    const std::size_t n_runs = ws.runs.size();
    // A fixed-distance pipeline over the buckets, in key order: id lines are
    // requested kIdRunsAhead buckets ahead, rows and the row states kRowRunsAhead ahead (their ids
    // by then in cache), so the misses of many buckets overlap.
    for (std::size_t j = 0; j < std::min(n_runs, kIdRunsAhead); ++j) table.prefetch_ids_of(ws.runs[j]);
    for (std::size_t j = 0; j < std::min(n_runs, kRowRunsAhead); ++j) {
      table.prefetch_rows_of(ws.runs[j]);
      table.prefetch_row_states_of(ws.runs[j]);
    }
    for (std::size_t j = 0; j < n_runs; ++j) {
      // A clock read at every bucket cost more than a small bucket's bounds.
      if (j % kRunsPerPoll == 0) pool::cancellation_point();
      if (j + kIdRunsAhead < n_runs) table.prefetch_ids_of(ws.runs[j + kIdRunsAhead]);
      if (j + kRowRunsAhead < n_runs) {
        table.prefetch_rows_of(ws.runs[j + kRowRunsAhead]);
        table.prefetch_row_states_of(ws.runs[j + kRowRunsAhead]);
      }
      const BucketRun& run = ws.runs[j];
      pairs += static_cast<std::uint64_t>(run_size(run)) * run.g;
      tiles_of(run, table.static_ids + run.static_lo,
               table.static_codes != nullptr ? table.static_codes + run.static_lo * index.d : nullptr,
               run.static_hi - run.static_lo);
      tiles_of(run, table.cand_ids + run.cand_lo, nullptr, run.cand_hi - run.cand_lo);
    }
  }
  return pairs;
}

}  // namespace vb::query
