#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "index/index.h"

// The query profile as one worker task sees it.
namespace vb::query {

// Counters of one task of a k-nearest-neighbour call. The task adds to these
// plain fields and adds them to the index's atomic counters once, when it is
// done, so that concurrent tasks do not contend for the counters' cache line
// on every query. `pairs` grows with `cands` on the per-query path.
struct Profile {
  std::uint64_t gather_ns = 0;
  std::uint64_t refine_ns = 0;
  std::uint64_t relax_ns = 0;
  std::uint64_t queries = 0;
  std::uint64_t cands = 0;
  std::uint64_t pairs = 0;
  std::uint64_t relaxed = 0;

  // Adds every field to the matching counter of the index (relaxed atomic
  // additions, no order between counters). Thread safe.
  void add_to(const index::Index& index) const {
    // The counters are the one part of an index that readers change; the
    // index object itself is never const.
    auto& ix = const_cast<index::Index&>(index);
    ix.gather_ns.fetch_add(gather_ns, std::memory_order_relaxed);
    ix.refine_ns.fetch_add(refine_ns, std::memory_order_relaxed);
    ix.relax_ns.fetch_add(relax_ns, std::memory_order_relaxed);
    ix.queries.fetch_add(queries, std::memory_order_relaxed);
    ix.cands.fetch_add(cands, std::memory_order_relaxed);
    ix.pairs.fetch_add(pairs, std::memory_order_relaxed);
    ix.relaxed.fetch_add(relaxed, std::memory_order_relaxed);
  }
};

// Stores 0 into each of the seven counters, one after the other. Thread safe,
// but not atomic as a group.
inline void reset_profile(index::Index& index) {
  for (std::atomic<std::uint64_t>* counter : {&index.gather_ns, &index.refine_ns, &index.relax_ns, &index.queries,
                                              &index.cands, &index.pairs, &index.relaxed}) {
    counter->store(0, std::memory_order_relaxed);
  }
}

}  // namespace vb::query
