// Prefetching for the walks over a diff's edge groups that the document writer and
// the views make, at the distances of entries_ahead.h.
#pragma once

#include <cstddef>
#include <span>

#include "diff/entries_ahead.h"
#include "diff/graph_diff.h"

namespace kovra {

// Groups are small and each lives apart from its `from` id: fetch both early.
template <class Group>
void prefetch_group(const GraphDiff& diff, std::span<const Group> groups, std::size_t g) noexcept {
  if (g + kGroupsAhead < groups.size()) {
    const Group& later = groups[g + kGroupsAhead];
    __builtin_prefetch(&diff.id_of(later.from));
    __builtin_prefetch(later.targets.begin());
  }
}

}  // namespace kovra
