// EdgeStore::RowsAhead: works ahead of a run of rows of edges about to be put,
// so that what each row reads is on its way when the row comes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "diff/edge_store.h"

namespace kovra {

// In stages kStage rows apart: the ids' index buckets, then their slots, then
// the `from` node's group and the `to` node's reverse list, then the group's
// targets. A row whose ids were all found this way needs no lookup of its own;
// ids absent or placed away from their home bucket are interned as usual.
class EdgeStore::RowsAhead {
 public:
  RowsAhead(const EdgeStore& store, std::span<const NodeId> from,
            std::span<const NodeId> to) noexcept
      : s_(store), ids_{from, to} {
    for (std::size_t r = 0; r < kStages * kStage; ++r) advance_to(r);
  }

  // Call for rows 0, 1, 2, ... in order before reading that row's slots.
  void advance(std::size_t row) noexcept {
    const std::size_t ahead = row + kStages * kStage;
    if (ahead >= ids_[0].size()) return advance_to(ahead);
    find_buckets(ahead);
    find_slots(ahead - kStage);
    check_slots(ahead - 2 * kStage);
    find_targets(ahead - 3 * kStage);
  }

  // The slot of the row's from (end 0) or to (end 1) id, or kNone if not found ahead.
  NodeIndex slot(std::size_t row, int end) const noexcept { return ring_[row % kRing].slot[end]; }

 private:
  static constexpr std::size_t kStage = 4;
  static constexpr std::size_t kStages = 4;
  static constexpr std::size_t kRing = 32;
  static_assert(kRing > kStages * kStage);
  struct Row {
    std::uint64_t hash[2];
    NodeIndex slot[2];
  };

  // Stage s of row - (s - 1) * kStage, for s = 1 .. kStages.
  void advance_to(std::size_t row) noexcept {
    const std::size_t n = ids_[0].size();
    if (row < n) find_buckets(row);
    if (row >= kStage && row - kStage < n) find_slots(row - kStage);
    if (row >= 2 * kStage && row - 2 * kStage < n) check_slots(row - 2 * kStage);
    if (row >= 3 * kStage && row - 3 * kStage < n) find_targets(row - 3 * kStage);
  }

  void find_buckets(std::size_t row) noexcept {
    Row& r = ring_[row % kRing];
    for (int end = 0; end < 2; ++end) {
      r.hash[end] = s_.index_.hash_of(ids_[end][row]);
      s_.index_.prefetch_home(r.hash[end]);
    }
  }
  void find_slots(std::size_t row) noexcept {
    Row& r = ring_[row % kRing];
    for (int end = 0; end < 2; ++end) {
      r.slot[end] = s_.index_.hint(r.hash[end], ids_[end][row]);
      if (r.slot[end] != kNone) __builtin_prefetch(&s_.slots_[r.slot[end]]);
    }
  }
  void check_slots(std::size_t row) noexcept {
    Row& r = ring_[row % kRing];
    for (int end = 0; end < 2; ++end) {
      if (r.slot[end] != kNone && !(s_.slots_[r.slot[end]].id == ids_[end][row])) {
        r.slot[end] = kNone;
      }
    }
    if (r.slot[0] != kNone) {
      const std::uint32_t group = s_.slots_[r.slot[0]].edge_group;
      if (group != kNone) __builtin_prefetch(&s_.edge_groups_[group]);
    }
    if (r.slot[1] != kNone) __builtin_prefetch(s_.slots_[r.slot[1]].incoming.end(), 1);
  }
  void find_targets(std::size_t row) noexcept {
    const Row& r = ring_[row % kRing];
    if (r.slot[0] == kNone) return;
    const std::uint32_t group = s_.slots_[r.slot[0]].edge_group;
    if (group != kNone) __builtin_prefetch(s_.edge_groups_[group].targets.begin(), 1);
  }

  const EdgeStore& s_;
  std::span<const NodeId> ids_[2];
  Row ring_[kRing] = {};
};

}  // namespace kovra
