// EdgeStore::put_rows: the pending log's rows, added and deleted edges mixed,
// applied in their order as the single calls apply them, at a fraction of their
// cost in waiting. A single put waits for each of its misses in turn: the id
// index's buckets, the slots, the group's list, the target's reverse list. Here
// the rows are worked in two passes, so that each row asks early for what it
// will touch and the misses of consecutive rows overlap:
//
// 1. every id is interned, in row order (intern_rows). Interning all rows
//    first changes nothing: neither a put nor an erasure gives an id back, so
//    the numbers come out as the loop would give them;
// 2. every row goes through the one step (put_step), in order, while the
//    slots of a row a few rows on, and the lists of a nearer one, are on their
//    way (entries_ahead.h has the distances).
//
// The general twin is the single call's put_row below; tests/cpp/twins_test.cpp
// runs both over the same histories, below and past the in-cache threshold and
// through a re-key of the index.
//
// Failure: a row's put either completes or changes nothing, so the rows before
// it stay applied and the ids that only the rest named are given back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "diff/edge_store.h"
#include "diff/entries_ahead.h"
#include "diff/pending_edges.h"
#include "diff/raw_blocks.h"

namespace kovra {

void EdgeStore::put_row(const NodeId& from_id, const NodeId& to_id, float weight, bool deleting) {
  const NodeNumber from = intern(from_id).number;
  NodeNumber to = kNone;
  try {
    to = intern(to_id).number;
    put_step(from, to, weight, deleting);
  } catch (...) {
    // The row's own ids, latest first, as FreshIds gives a pass's back.
    if (to != kNone) release_if_unused(to);
    release_if_unused(from);
    throw;
  }
}

NodeNumber EdgeStore::intern_noting(const NodeId& id, FreshIds& fresh) {
  const IdProbe probe = index_.probe(id, slot_id());
  if (probe.found != kNone) return probe.found;
  const NodeNumber added = add_id(id, probe);
  fresh.note(added);
  return added;
}

void EdgeStore::intern_rows(std::span<const NodeId> from_ids, std::span<const NodeId> to_ids,
                            std::span<const std::uint8_t> refused, NodeNumber* ends,
                            FreshIds& fresh) {
  const std::size_t n = from_ids.size();
  std::uint64_t hashes[kRowsAhead][2];
  const auto hash_ahead = [&](std::size_t row) noexcept {
    std::uint64_t* hash = hashes[row % kRowsAhead];
    hash[0] = index_.hash_of(from_ids[row]);
    hash[1] = index_.hash_of(to_ids[row]);
    index_.prefetch_home(hash[0]);
    index_.prefetch_home(hash[1]);
  };
  for (std::size_t first = 0; first < n; first += kRowsPerCacheCheck) {
    const std::size_t last = std::min(n, first + kRowsPerCacheCheck);
    const bool ahead = !index_cached();
    // The hashes of rows before `exact_from` may predate a re-key of the index
    // (an id added may re-key it): those rows are looked up afresh.
    std::size_t exact_from = first;
    if (ahead) {
      for (std::size_t row = first; row < std::min(last, first + kRowsAhead); ++row) {
        hash_ahead(row);
      }
    }
    for (std::size_t row = first; row < last; ++row) {
      if (!refused.empty() && refused[row]) {
        ends[2 * row] = ends[2 * row + 1] = kNone;
      } else {
        for (std::size_t end = 0; end < 2; ++end) {
          const NodeId& id = end == 0 ? from_ids[row] : to_ids[row];
          if (!ahead) {
            // Most ids are interned already: the plain lookup is the cheaper one.
            const NodeNumber found = index_.find(id, slot_id());
            ends[2 * row + end] = found != kNone ? found : intern_noting(id, fresh);
            continue;
          }
          if (row < exact_from) [[unlikely]] {
            const std::size_t before = index_.size();
            ends[2 * row + end] = intern_noting(id, fresh);
            if (index_.size() == before) KOVRA_COUNT_FAST_PATH(kPassRekeyed);
            continue;
          }
          // The hash is exact here, so the lookup's probe serves the insertion
          // of an id that is new.
          const IdProbe probe = index_.probe_hashed(hashes[row % kRowsAhead][end], id, slot_id());
          if (probe.found != kNone) [[likely]] {
            ends[2 * row + end] = probe.found;
            continue;
          }
          const HashKey key = index_.hash_key();
          ends[2 * row + end] = add_id(id, probe);
          fresh.note(ends[2 * row + end]);
          if (index_.hash_key() != key) [[unlikely]]
            exact_from = row + kRowsAhead + 1;
        }
      }
      if (ahead && row + kRowsAhead < last) hash_ahead(row + kRowsAhead);
    }
  }
}

void EdgeStore::put_rows(std::span<const NodeId> from_ids, std::span<const NodeId> to_ids,
                         std::span<const float> weights, std::span<const std::uint32_t> deletions,
                         std::size_t& applied) {
  const std::size_t n = from_ids.size();
  applied = 0;
  FreshIds fresh(2 * n);
  const RawArray<NodeNumber> ends = raw_array<NodeNumber>(2 * n);  // per row, `from` then `to`
  // While the id index fits a core's cache, so do the slots it leads to, and
  // working ahead would cost more instructions than the misses it hides.
  const bool ahead = !index_cached();
  if (ahead) {
    KOVRA_COUNT_FAST_PATH(kLogAhead);
  } else {
    KOVRA_COUNT_FAST_PATH(kLogInCache);
  }
  try {
    intern_rows(from_ids, to_ids, {}, ends.get(), fresh);
  } catch (...) {
    fresh.give_back(*this);
    throw;
  }

  // Three stages ahead of the row being put: its slots, then the headers of
  // the groups they point at, then the lists it will search or append to.
  const auto slots_of = [&](std::size_t row) noexcept {
    __builtin_prefetch(&slots_[ends[2 * row]]);
    __builtin_prefetch(&slots_[ends[2 * row + 1]]);
  };
  const auto groups_of = [&](std::size_t row) noexcept {
    const Slot& from = slots_[ends[2 * row]];
    if (from.edge_group != kNone) __builtin_prefetch(&edge_groups_[from.edge_group]);
    if (from.deleted_group != kNone) __builtin_prefetch(&deleted_groups_[from.deleted_group]);
  };
  const auto lists_of = [&](std::size_t row, bool deleting) noexcept {
    const Slot& from = slots_[ends[2 * row]];
    if (from.edge_group != kNone) __builtin_prefetch(edge_groups_[from.edge_group].targets.begin());
    if (from.deleted_group != kNone) {
      __builtin_prefetch(deleted_groups_[from.deleted_group].targets.begin());
    }
    if (!deleting) __builtin_prefetch(slots_[ends[2 * row + 1]].incoming.end());
  };
  RowKinds kinds(deletions);
  RowKinds kinds_ahead(deletions);
  for (std::size_t row = 0; row < n; ++row) {
    if (ahead) {
      if (row + kRowsAhead < n) slots_of(row + kRowsAhead);
      if (row + kRowGroupsAhead < n) groups_of(row + kRowGroupsAhead);
      if (row + kRowListsAhead < n) {
        lists_of(row + kRowListsAhead, kinds_ahead.deletes(row + kRowListsAhead));
      }
    }
    try {
      put_step(ends[2 * row], ends[2 * row + 1], weights[row], kinds.deletes(row));
    } catch (...) {
      fresh.give_back(*this);
      throw;
    }
    applied = row + 1;
  }
}

}  // namespace kovra
