// EntriesAhead: a second walk over the target entries of a run of groups, a
// fixed number of entries ahead of the walk that reads them, for prefetching.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kovra {

// Walks across group boundaries: most target lists are shorter than the distance,
// so a lookahead within each list would never reach their first entries. Targets
// are interned indexes whose ids (or whatever a walk keeps per index) sit in
// random places of a large table, and asking for them early hides most of that
// latency. Group is anything with a `targets` list.
template <class Group>
class EntriesAhead {
 public:
  EntriesAhead(std::span<const Group> groups, std::size_t distance) noexcept : groups_(groups) {
    for (std::size_t i = 0; i < distance; ++i) static_cast<void>(next());
  }

  // The next entry of the walk, or null past the last one.
  const auto* next() noexcept {
    while (group_ < groups_.size() && entry_ >= groups_[group_].targets.size()) {
      ++group_;
      entry_ = 0;
    }
    return group_ < groups_.size() ? &groups_[group_].targets.at(entry_++) : nullptr;
  }

 private:
  std::span<const Group> groups_;
  std::size_t group_ = 0;
  std::uint32_t entry_ = 0;
};

}  // namespace kovra
