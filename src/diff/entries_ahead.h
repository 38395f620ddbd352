// EntriesAhead: a second walk over the target entries of a run of groups, a
// fixed number of entries ahead of the walk that reads them, for prefetching;
// and the distances at which every walk and pass asks for what it will touch.
#pragma once

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

namespace kovra {

// The distances of every walk over a diff's groups and their entries, and of
// every pass over edge rows, in one place; prefetch_group in group_prefetch.h
// beside this uses kGroupsAhead.
// A walk asks for what an entry names (a slot, an id) kEntriesAhead entries
// ahead.
inline constexpr std::size_t kEntriesAhead = 8;
// A walk that also needs a second thing the first one names (a slot's reverse
// list, an id's text) asks for the second kEntriesAhead ahead, once the first
// has arrived, and so for the first from this farther.
inline constexpr std::size_t kFarEntriesAhead = 2 * kEntriesAhead;
// A group's own line and its target array are asked for this many groups ahead.
inline constexpr std::size_t kGroupsAhead = 2;
// A pass over a run of edge rows (the pending log, the batches) asks for the id
// index's buckets of the row kRowsAhead on while it interns a row, and for
// that row's slots while it puts one; for the group headers the slots point
// at kRowGroupsAhead rows on, once the slots have arrived; and for the lists
// the headers point at kRowListsAhead rows on.
inline constexpr std::size_t kRowsAhead = 8;
inline constexpr std::size_t kRowGroupsAhead = kRowsAhead / 2 + 1;
inline constexpr std::size_t kRowListsAhead = 2;
// New ids grow the index in the middle of a pass, which looks again at
// whether it still fits the cache after this many rows.
inline constexpr std::size_t kRowsPerCacheCheck = 4096;

// Walks across group boundaries: most target lists are shorter than the distance,
// so a lookahead within each list would never reach their first entries. Targets
// name interned ids by number, and their slots (or whatever a walk keeps per
// interned id) sit in random places of a large table: asking for them early
// hides most of that latency. Group is anything with a `targets` list.
template <class Group>
class EntriesAhead {
 public:
  using Entry = std::remove_pointer_t<decltype(std::declval<const Group&>().targets.begin())>;

  EntriesAhead(std::span<const Group> groups, std::size_t distance) noexcept
      : next_group_(groups.data()), groups_end_(groups.data() + groups.size()) {
    for (std::size_t i = 0; i < distance; ++i) static_cast<void>(next());
  }

  // The next entry of the walk, or null past the last one.
  const Entry* next() noexcept {
    while (entry_ == end_) {
      if (next_group_ == groups_end_) return nullptr;
      entry_ = next_group_->targets.begin();
      end_ = next_group_->targets.end();
      ++next_group_;
    }
    return entry_++;
  }

 private:
  const Group* next_group_;
  const Group* groups_end_;
  const Entry* entry_ = nullptr;
  const Entry* end_ = nullptr;
};

}  // namespace kovra
