#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/buffer.h"

// The per-task query workspace.
namespace vb::query {

// A key looked up by a gather: table and key.
struct ListedKey {
  std::uint32_t table;
  std::int64_t key;
};

// Everything one query needs beyond the index, owned by one worker task and
// reused for every query of that task, and by later tasks of the same thread
// (lent_workspace.h): nothing is allocated per query once the lists have
// grown to their working size. Never shared between threads.
struct Ws {
  // Capacity of cand_ids when the workspace is made.
  static constexpr std::size_t kInitialCandidates = 4096;

  // A gather's generation. One byte, so that the marks of a large index
  // (one a point) stay within a core's own cache and cost little to make
  // for every task of every call; it wraps every 255 gathers, when the marks
  // are cleared.
  using Stamp = std::uint8_t;

  // Per point id: the stamp of the last gather that listed it (0 = never).
  // An index-sized array, so it takes the large-block allocation.
  Buffer<Stamp> mark;
  // Candidates of the current query, each id once, in gather order. Left
  // uninitialised as they grow: a gather writes every slot it keeps.
  Buffer<std::uint64_t> cand_ids;
  // Distinct points the current gather has met, listed in cand_ids or not.
  std::size_t listed = 0;
  // Single-precision distance of each candidate (refinement scratch).
  Buffer<float> cand_dist;
  // When `bounded`: per candidate of cand_ids, at the same position, its code
  // bound against the query (kernels/code_bound.h), which never exceeds its
  // distance; the gather sets it when the index's codes bound every distance
  // to the query, and every new gather starts without.
  Buffer<std::uint32_t> cand_bound;
  bool bounded = false;
  // The query's codes, padded for the row bound kernel.
  std::vector<std::uint8_t> query_codes;
  // Refinement scratch: the ids picked to measure.
  std::vector<std::uint64_t> picked;
  // The current query rounded to single precision (dq values).
  std::vector<float> query_f32;
  // Digit codes, in-cell positions and probe scratch of the current table.
  std::vector<std::int64_t> codes;
  std::vector<double> frac;
  std::vector<double> margin;
  // Probe keys of the current table, before they are listed.
  std::vector<std::int64_t> probe_scratch;
  // Keys of the current gather: per table the base key, then its probes.
  std::vector<ListedKey> probe_keys;
  // Per listed key: running position of the batched binary search.
  std::vector<std::uint64_t> search_pos;
  // When bounding a tier whose codes lie in key order: the code bound of
  // each entry of the stretch of a bucket being appended.
  Buffer<std::uint32_t> run_bounds;
  // Per listed key: the position range of its entries in the tier at hand.
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  // Relaxation: the query's base key in every table.
  std::vector<std::int64_t> base_keys;
  // Generation of the current gather; a point is listed iff mark[id] == stamp.
  Stamp stamp = 0;

  // A workspace for queries of dq columns against n_points points whose keys
  // have `digits` digits.
  Ws(std::size_t n_points, std::size_t dq, std::size_t digits)
      : mark(n_points, 0), query_f32(dq, 0.0f), codes(digits), frac(digits), margin(digits), probe_scratch(digits) {
    cand_ids.reserve(kInitialCandidates);
    cand_dist.reserve(kInitialCandidates);
    cand_bound.reserve(kInitialCandidates);
  }

  // Starts a new gather: a new stamp and an empty candidate list. When the
  // stamp wraps to 0 the marks are cleared, since marks written 256 gathers
  // ago would otherwise read as current.
  void begin_gather() {
    if (++stamp == 0) {
      std::fill(mark.begin(), mark.end(), Stamp{0});
      stamp = 1;
    }
    cand_ids.clear();
    cand_bound.clear();
    listed = 0;
    bounded = false;
  }

  // Rounds a query row of query_f32.size() values to single precision.
  void set_query(const double* q) {
    for (std::size_t c = 0; c < query_f32.size(); ++c) query_f32[c] = static_cast<float>(q[c]);
  }
};

}  // namespace vb::query
