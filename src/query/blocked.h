#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/index.h"
#include "query/knn_request.h"
#include "query/profile.h"
#include "query/query_codes.h"
#include "query/topk.h"

// The blocked k-nearest-neighbour path: large batches answered block by
// block, bucket by bucket. For each table the keys of all rows of a block
// (base and probe keys) are sorted, every distinct key is looked up once, and
// the bucket's candidates are copied once into a tile of coordinate-major
// panels that every row hashed there is measured against, a few rows per pass.
namespace vb::query {

// Candidates per tile, a multiple of the panel width.
inline constexpr std::size_t kTileRows = 128;

// Query rows per tile kernel call; their distances to a tile stay in L1.
inline constexpr std::size_t kGroupRows = 8;

// Candidates per code tile: a row's bound against a code tile costs a few
// cycles of set-up besides its lanes, which a larger tile spreads thinner;
// the tile stays in L1 up to d = 48.
inline constexpr std::size_t kCodeTileRows = 512;

// Rows sharing a bucket from which its tiles are measured by byte codes
// first: the code tile is packed once for all of them, so with few rows
// the packing would cost more than the float distances it saves.
inline constexpr std::size_t kCodeFirstRows = 16;
inline constexpr std::size_t kCodeFirstRowsInOrder = 1;

// A key listed by one row of a block.
struct RowKey {
  std::int64_t key;
  std::uint32_t row;
};

// One distinct key of a table's sorted row keys: row_keys[first .. first + g)
// share it; its entries are at [static_lo, static_hi) of the static run and
// [cand_lo, cand_hi) of the candidate run.
struct BucketRun {
  std::size_t first;
  std::size_t g;
  std::size_t static_lo, static_hi;
  std::size_t cand_lo, cand_hi;
};

// What a row's candidates are measured against, beside its collector slots:
// the rows sharing a bucket lie scattered over a block whose collectors
// outgrow the cache, and the bucket loop reads only these 12 bytes of a row
// that none of the bucket's candidates gets close to.
struct RowBar {
  std::uint32_t worst_bits;  // the worst kept entry's distance bits when the row is full, else kOpenRow
  std::uint32_t limit_bits;  // the worst_bits the code limit was made from
  std::int32_t limit;        // that code limit (rows measured by codes only)
};

// worst_bits of a row not yet full: above every distance's bits.
inline constexpr std::uint32_t kOpenRow = 0xffffffffu;

// The per-task block workspace, reused for every block of the task; its
// storage keeps its largest size until the task ends. Never shared.
struct BWs {
  std::vector<float> query_f32;       // rows × d, the block's queries in single precision
  std::vector<std::int64_t> exclude;  // rows: excluded id per row, -1 for none
  std::vector<Entry> heaps;           // rows × cap collector slots (row r from r × cap)
  std::vector<std::uint32_t> counts;  // rows: filled slots per row
  std::vector<RowBar> bars;           // rows: each row's bar, kept with its slots
  std::size_t cap = 0;                // slots per row
  BlockCodes block_codes;             // the block's rows hashed a table at a time
  std::vector<RowKey> row_keys;       // keys of every row in the current table
  std::vector<RowKey> row_keys_scratch;  // the radix sort's second buffer
  std::vector<BucketRun> runs;        // its distinct keys, in key order
  std::vector<float> tile_store;      // kTileRows × d candidates in panels, from the first 64-byte boundary
  std::vector<std::int64_t> tile_ids; // their ids (kCodeTileRows slots, for either tile)
  std::vector<const float*> group_rows;  // kGroupRows: the queries of one kernel call
  std::vector<std::uint32_t> group_bound;  // kGroupRows: their admission bounds
  std::vector<float> group_dist;      // kGroupRows × kTileRows distances
  std::vector<std::uint16_t> group_admit;  // kGroupRows × panels: admitted lanes
  bool codes_first = false;           // this block measures large buckets by codes first
  std::vector<std::uint8_t> query_codes;  // rows × groups × 4: the rows' byte codes
  std::vector<std::uint8_t> code_tile;    // groups × kCodeTileRows × 4: the tile's codes
  std::vector<std::uint32_t> survivors;   // kCodeTileRows / 32: lanes a row's bound lets through
  std::vector<std::uint16_t> survivor_lanes;  // the survivors of a run's rows, row after row
  std::vector<std::uint32_t> survivor_ends;   // per row of the run: the end of its survivor lanes
  std::vector<std::uint32_t> upper;       // kCodeTileRows: the upper bounds of a code tile against one row
  bool rows_in_order = false;             // a code tile of key-ordered codes is read in place, unpacked
  const std::uint8_t* code_rows = nullptr;  // those codes (row-major), or null when the tile is packed
  bool code_tile_packed = false;          // code_tile holds the current tile's codes
  const std::int64_t* code_ids = nullptr;   // the current code tile's ids, lane by lane

  float* tile() {
    const auto address = reinterpret_cast<std::uintptr_t>(tile_store.data());
    return tile_store.data() + ((64 - address % 64) % 64) / sizeof(float);
  }
};

// Rows per block for a batch of m rows on `threads` workers: c = max(1,
// ceil(m / threads)), capped at `block` when block > 0. So a batch smaller
// than threads × block is still spread over every thread.
std::size_t rows_per_block(std::size_t m, std::size_t block, std::size_t threads);

// The order in which rows are cut into blocks: by their base key in table 0,
// ties by row. Rows that are near one another tend to share that key, and
// then their buckets in the other tables too, so a block of neighbouring rows
// looks up each bucket once for all of them. Every row's answer is the same
// in any order; only the work shared within a block changes.
// Requires: index.l >= 1 and dq covers every digit's coordinate.
std::vector<std::size_t> locality_order(const index::Index& index, const double* queries, std::size_t m,
                                        std::size_t dq);

// The rows of one block: positions row0 .. row0 + count of the batch, which
// are its rows themselves, or with a locality order the rows order[row0 ..
// row0 + count), copied here in block order.
struct BlockRows {
  const double* rows = nullptr;           // count × dq values
  const std::int64_t* exclude = nullptr;  // count excluded ids, or null when the batch excludes nothing

  // Points rows and exclude at the block's rows of the batch `all` (dq values
  // a row; all_exclude null or one id a row), copying them when `order` (a
  // permutation of the batch rows, or empty) is not empty. The pointers stay
  // valid until the next select or the batch's end.
  void select(const double* all, const std::int64_t* all_exclude, std::size_t dq, const std::vector<std::size_t>& order,
              std::size_t row0, std::size_t count);

  // The batch row of the block's row r.
  static std::size_t batch_row(const std::vector<std::size_t>& order, std::size_t row0, std::size_t r) {
    return order.empty() ? row0 + r : order[row0 + r];
  }

 private:
  std::vector<double> copied_rows_;
  std::vector<std::int64_t> copied_exclude_;
};

// Answers one block of query rows (block.m >= 1, block.k >= 1): on return row
// r's counts[r] slots of ws.heaps (from r × ws.cap, cap = min(k, n_points))
// hold its best entries among every candidate of every table and probe, its
// excluded id left out, unsorted. Returns the number of distances computed
// (repeats included).
// Requires: block.dq == index.d, index.n_points >= 1.
// Throws InternalError on a corrupted index. Reads the index only.
std::uint64_t query_block(const index::Index& index, BWs& ws, const KnnRows& block);

// The blocked path: the m rows, taken in the order of their table-0 base key
// (so that neighbouring rows share a block), cut into blocks of
// rows_per_block rows, the blocks run on the pool, short rows relaxed through
// the per-query machinery. Each row's answer goes to its own output row. Same contract and rows as knn_per_query (distances computed in
// the same summation order); moves refine_ns, relax_ns, pairs, queries and
// relaxed, never gather_ns or cands.
void knn_blocked(const index::Index& index, Counters& counters, const KnnRequest& request);

}  // namespace vb::query
