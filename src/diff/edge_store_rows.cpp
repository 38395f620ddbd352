// EdgeStore::put_rows: the pending log's rows, added and deleted edges mixed,
// applied in their order as the single puts apply them, at a fraction of their
// cost in waiting. A single put waits for each of its misses in turn: the id
// index's buckets, the slots, the group's list, the target's reverse list. Here
// the rows are worked in two passes, so that each row asks early for what it
// will touch and the misses of consecutive rows overlap:
//
// 1. every id is interned, in row order, the buckets of a row a few rows on
//    asked for first. Interning all rows first changes nothing: neither a put
//    nor an erasure gives an id back, so the numbers come out as the loop
//    would give them;
// 2. every row is put, in order, with its twin erased, as GraphDiff's single
//    step does, while the slots of a row a few rows on, and the lists of a
//    nearer one, are on their way.
//
// The general twin is the single step, put_row() below, which the single calls
// and short logs take; tests/cpp/graph_diff_batch_test.cpp runs both over the
// same random mixed rows and compares the groups they leave, and the Python
// property tests compare every grouping of the same operations by their bytes.
//
// Failure: a row's put either completes or changes nothing, so the rows before
// it stay applied and the ids that only the rest named are given back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "diff/edge_store.h"
#include "diff/raw_blocks.h"

namespace kovra {

namespace {
// Rows between asking for an id's buckets and looking it up, and between
// asking for a row's slots and putting it (its lists are asked for halfway).
constexpr std::size_t kRowsAhead = 8;
}  // namespace

void EdgeStore::put_row(const NodeId& from_id, const NodeId& to_id, float weight, bool deleting) {
  const NodeNumber from = intern(from_id).number;
  NodeNumber to = kNone;
  try {
    to = intern(to_id).number;
    if (deleting) {
      static_cast<void>(put_deleted_edge(from, to));
    } else {
      static_cast<void>(put_edge(from, to, weight));
    }
  } catch (...) {
    if (to != kNone) release_if_unused(to);
    release_if_unused(from);
    throw;
  }
  if (deleting) {
    erase_edge(from, to);
  } else if (has_deleted_group(from)) {
    erase_deleted_edge(from, to);
  }
}

// An id that a lookup with an early hash missed: looked up again under the
// present key (an insert may have re-keyed the index since), then added.
NodeNumber EdgeStore::add_missed(const NodeId& id, std::vector<NodeNumber>& fresh) {
  const IdProbe probe = index_.probe(id, slot_id());
  if (probe.found != kNone) {
    KOVRA_COUNT_FAST_PATH(kRowsRekeyed);
    return probe.found;
  }
  const NodeNumber added = add_id(id, probe);
  fresh.push_back(added);  // reserved: cannot fail
  return added;
}

void EdgeStore::put_rows(std::span<const NodeId> from_ids, std::span<const NodeId> to_ids,
                         std::span<const float> weights, std::span<const std::uint32_t> deletions,
                         std::size_t& applied) {
  const std::size_t n = from_ids.size();
  applied = 0;
  std::vector<NodeNumber> fresh;
  fresh.reserve(2 * n);
  const RawArray<NodeNumber> ends = raw_array<NodeNumber>(2 * n);  // per row, `from` then `to`
  const auto give_back = [&]() noexcept {
    // Latest first; an id that a row already put names stays.
    for (std::size_t i = fresh.size(); i-- > 0;) release_if_unused(fresh[i]);
  };
  // While the id index fits a core's cache, so do the slots it leads to, and
  // working ahead would cost more instructions than the misses it hides.
  const bool ahead = !index_cached();
  if (ahead) {
    KOVRA_COUNT_FAST_PATH(kRowsAhead);
  } else {
    KOVRA_COUNT_FAST_PATH(kRowsInCache);
  }
  try {
    std::uint64_t hashes[kRowsAhead][2];
    const auto hash_ahead = [&](std::size_t row) noexcept {
      std::uint64_t* hash = hashes[row % kRowsAhead];
      hash[0] = index_.hash_of(from_ids[row]);
      hash[1] = index_.hash_of(to_ids[row]);
      index_.prefetch_home(hash[0]);
      index_.prefetch_home(hash[1]);
    };
    if (ahead) {
      for (std::size_t row = 0; row < std::min(n, kRowsAhead); ++row) hash_ahead(row);
    }
    for (std::size_t row = 0; row < n; ++row) {
      for (std::size_t end = 0; end < 2; ++end) {
        const NodeId& id = end == 0 ? from_ids[row] : to_ids[row];
        const NodeNumber found =
            ahead ? index_.find_hashed(hashes[row % kRowsAhead][end], id, slot_id())
                  : index_.find(id, slot_id());
        ends[2 * row + end] = found != kNone ? found : add_missed(id, fresh);
      }
      if (ahead && row + kRowsAhead < n) hash_ahead(row + kRowsAhead);
    }
  } catch (...) {
    give_back();
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
  constexpr std::size_t kGroupsAhead = kRowsAhead / 2 + 1;
  constexpr std::size_t kListsAhead = 2;
  std::size_t d = 0;        // the next deletion row's place in `deletions`
  std::size_t d_ahead = 0;  // the same for the row kListsAhead on
  for (std::size_t row = 0; row < n; ++row) {
    if (ahead) {
      if (row + kRowsAhead < n) slots_of(row + kRowsAhead);
      if (row + kGroupsAhead < n) groups_of(row + kGroupsAhead);
      if (row + kListsAhead < n) {
        const std::size_t later = row + kListsAhead;
        while (d_ahead < deletions.size() && deletions[d_ahead] < later) ++d_ahead;
        lists_of(later, d_ahead < deletions.size() && deletions[d_ahead] == later);
      }
    }
    const NodeNumber from = ends[2 * row];
    const NodeNumber to = ends[2 * row + 1];
    const bool deleting = d < deletions.size() && deletions[d] == row;
    try {
      if (deleting) {
        static_cast<void>(put_deleted_edge(from, to));
      } else {
        static_cast<void>(put_edge(from, to, weights[row]));
      }
    } catch (...) {
      give_back();
      throw;
    }
    if (deleting) {
      erase_edge(from, to);
      ++d;
    } else if (has_deleted_group(from)) {
      erase_deleted_edge(from, to);
    }
    applied = row + 1;
  }
}

}  // namespace kovra
