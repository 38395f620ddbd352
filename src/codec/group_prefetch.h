// Prefetching for the walks over a diff's edge groups that the document writer and
// the views make.
#pragma once

#include <cstddef>
#include <span>

#include "diff/graph_diff.h"

namespace kovra {

// How many entries of a target list ahead a walk asks for what an entry names.
inline constexpr std::ptrdiff_t kTargetLookahead = 6;

// Targets are interned indexes whose ids sit in random places of a large table;
// asking for an id a few entries early hides most of that latency.
template <class Entry>
void prefetch_target(const GraphDiff& diff, const Entry* entry, const Entry* end) noexcept {
  if (end - entry > kTargetLookahead) __builtin_prefetch(&diff.id_of(entry[kTargetLookahead].key));
}

// Groups are small and each lives apart from its `from` id: fetch both early.
template <class Group>
void prefetch_group(const GraphDiff& diff, std::span<const Group> groups, std::size_t g) noexcept {
  constexpr std::size_t kAhead = 2;
  if (g + kAhead < groups.size()) {
    const Group& later = groups[g + kAhead];
    __builtin_prefetch(&diff.id_of(later.from));
    __builtin_prefetch(later.targets.begin());
  }
}

}  // namespace kovra
