#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

// The query profile: the cumulative counters of one index, and the share of
// one worker task.
namespace vb::query {

// The seven cumulative counters of an index's queries. They live beside the
// index, not in it: queries read the index under a shared borrow and only
// these counters change. Relaxed atomic additions from any worker.
struct Counters {
  std::atomic<std::uint64_t> gather_ns{0};
  std::atomic<std::uint64_t> refine_ns{0};
  std::atomic<std::uint64_t> relax_ns{0};
  std::atomic<std::uint64_t> queries{0};
  std::atomic<std::uint64_t> cands{0};
  std::atomic<std::uint64_t> pairs{0};
  std::atomic<std::uint64_t> relaxed{0};

  // Stores 0 into each counter, one after the other. Thread safe, but not
  // atomic as a group.
  void reset() {
    for (std::atomic<std::uint64_t>* counter : {&gather_ns, &refine_ns, &relax_ns, &queries, &cands, &pairs, &relaxed}) {
      counter->store(0, std::memory_order_relaxed);
    }
  }
};

// Counters of one task of a k-nearest-neighbour call. The task adds to these
// plain fields and adds them to the shared counters once, when it is done, so
// that concurrent tasks do not contend for the counters' cache line on every
// query. `pairs` grows with `cands` on the per-query path.
struct Profile {
  std::uint64_t gather_ns = 0;
  std::uint64_t refine_ns = 0;
  std::uint64_t relax_ns = 0;
  std::uint64_t queries = 0;
  std::uint64_t cands = 0;
  std::uint64_t pairs = 0;
  std::uint64_t relaxed = 0;

  // Adds every field to the matching counter (relaxed atomic additions, no
  // order between counters). Thread safe.
  void add_to(Counters& counters) const {
    counters.gather_ns.fetch_add(gather_ns, std::memory_order_relaxed);
    counters.refine_ns.fetch_add(refine_ns, std::memory_order_relaxed);
    counters.relax_ns.fetch_add(relax_ns, std::memory_order_relaxed);
    counters.queries.fetch_add(queries, std::memory_order_relaxed);
    counters.cands.fetch_add(cands, std::memory_order_relaxed);
    counters.pairs.fetch_add(pairs, std::memory_order_relaxed);
    counters.relaxed.fetch_add(relaxed, std::memory_order_relaxed);
  }
};

}  // namespace vb::query
