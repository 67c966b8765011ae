#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"
#include "index/index.h"

// Selective refresh of the candidate tier: new coordinates for every
// candidate, and in each table only the entries whose key changed move.
namespace vb::maintenance {

// Stores `coords` (n_cand × d values, read as rows of d) as the candidates'
// coordinates, rehashes them, and in every table deletes the entries whose key
// changed and merges them back in at their new key. Within a group of equal
// keys the re-placed entries come first, by ascending id, then the entries
// that kept their key in their previous order. cand_keys gets the new keys and
// the bucket offsets of every changed run are brought up to date (those of an
// unchanged run already are); the static tier is not touched.
//
// A coords size other than n_cand × d throws InternalError naming both
// lengths. On any exception (also std::bad_alloc) the index is unchanged:
// every allocation happens before the first field is written.
// Tables run in parallel; the result does not depend on the thread count.
// Requires: exclusive access to the index.
void update(index::Index& index, const Buffer<double>& coords);

// One (key, id) entry of a run.
struct Entry {
  std::int64_t key;
  std::int64_t id;
};

// What changed in one table: the re-placed entries and which candidates they are.
struct TableChanges {
  Buffer<Entry> entries;            // (new key, id) of each changed candidate, sorted by (key, id)
  Buffer<std::uint64_t> changed;    // bit j (word j / 64) set when candidate j's key changed
  Buffer<std::int64_t> old_keys;    // room for their old keys, which replace_changed fills in key order
};

// The changes of one table, from the n new and old keys of its candidates in
// candidate order (`fresh`, `stale`); candidate j has id id_base + j. A table
// with no changed key costs one comparison pass and returns empty buffers
// without allocating.
TableChanges table_changes(const std::int64_t* fresh, const std::int64_t* stale, std::size_t n,
                           std::int64_t id_base);

// Re-places the changed entries of one run in place: drops every entry of the
// run (keys, ids; n entries, non-decreasing keys) whose candidate changed,
// then merges the changed entries in, each before the kept entries of an
// equal key. Kept entries keep their order. The dropped entries' keys are
// collected, in key order, into changes.old_keys. Allocates nothing.
// Requires: `changes` came from table_changes for this run's candidates, and
// the run holds each id of id_base .. id_base + n - 1 once, with its old key.
void replace_changed(std::int64_t* keys, std::int64_t* ids, std::size_t n, std::int64_t id_base,
                     TableChanges& changes) noexcept;

// Moves one run's bucket offsets (out[0 .. nb]) from the old keys to the new:
// entry v gains the changed entries whose new key is below v and loses those
// whose old key was. Touches only the stretches where the two counts differ.
// Requires: replace_changed has run on `changes`; the offsets matched the run
// before the change.
void shift_offsets(std::uint32_t* offsets, std::size_t nb, const TableChanges& changes) noexcept;

}  // namespace vb::maintenance
