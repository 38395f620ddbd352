// The steps of add_edge that add_edges repeats for every row, inline in both:
// they are most of what each row costs.
#pragma once

#include "diff/graph_diff.h"
#include "diff/reserve_more.h"

namespace kovra {

inline void GraphDiff::reserve_incoming(NodeIndex to) {
  const TargetList<NoValue, false>& incoming = slots_[to].incoming;
  if (incoming.size() == incoming.capacity()) make_room_incoming(to);
}

// Counts and lists the reverse entry of an edge just added, after reserve_incoming.
inline void GraphDiff::link_new_edge(NodeIndex from, NodeIndex to) noexcept {
  ++slots_[to].refs;
  slots_[to].incoming.push_reserved(from, NoValue{});
}

[[gnu::always_inline]] inline GraphDiff::Change GraphDiff::put_edge(NodeIndex from, NodeIndex to,
                                                                    float weight) {
  const std::uint32_t group = slots_[from].edge_group;
  if (group != kNone) {
    TargetList<float>& targets = edge_groups_[group].targets;
    const std::uint32_t pos = targets.find(to);
    if (pos != kNone) {
      const float old = targets.at(pos).value;
      targets.at(pos).value = weight;
      return {Change::Kind::kOverwrite, group, pos, old};
    }
    reserve_incoming(to);
    targets.push(to, weight, arena_);
    link_new_edge(from, to);
    return {Change::Kind::kAppend, group};
  }
  TargetList<float> targets;
  try {
    reserve_more(edge_groups_, 1);
    reserve_incoming(to);
    targets.push(to, weight, arena_);
  } catch (...) {
    targets.release(arena_);
    throw;
  }
  const auto added = static_cast<std::uint32_t>(edge_groups_.size());
  slots_[from].edge_group = added;
  edge_groups_.push_back(EdgeGroup{from, std::move(targets)});
  link_new_edge(from, to);
  return {Change::Kind::kNewGroup, added};
}

}  // namespace kovra
