// Batch mutations, built on the single ones. A batch that runs out of memory
// partway is rolled back from a copy of the diff taken before it starts, when
// that copy costs no more than the batch itself; otherwise the elements already
// applied stay applied (each single call is itself all or nothing).
#include <cassert>
#include <cstddef>
#include <optional>
#include <utility>

#include "diff/graph_diff.h"

namespace kovra {

namespace {

// A copy is taken when the diff holds at most this many entries per batch
// element, plus kSnapshotFloor: copying an entry costs about a quarter of applying
// one, so the copy adds at most about a quarter to the batch.
constexpr std::size_t kSnapshotPerElement = 1;
constexpr std::size_t kSnapshotFloor = 4096;

// Entries a copy of `diff` would hold, counted only until `budget` is passed.
std::size_t copy_cost(const GraphDiff& diff, std::size_t budget) noexcept {
  std::size_t cost = diff.nodes().size() + diff.deleted_nodes().size();
  for (const EdgeGroup& group : diff.edge_groups()) {
    if (cost > budget) return cost;
    cost += 1 + group.targets.size();
  }
  for (const DeletedGroup& group : diff.deleted_groups()) {
    if (cost > budget) return cost;
    cost += 1 + group.targets.size();
  }
  return cost;
}

// The same content through the loading interface; groups keep their order and
// emptied groups stay, so counts and views are unchanged.
GraphDiff copy_of(const GraphDiff& diff) {
  GraphDiff copy;
  copy.reserve_nodes(diff.nodes().size());
  for (const auto& [id, update] : diff.nodes()) copy.load_node(id, NodeUpdate(update));
  copy.reserve_deleted_nodes(diff.deleted_nodes().size());
  for (const NodeId& id : diff.deleted_nodes()) copy.load_deleted_node(id);
  copy.reserve_edge_groups(diff.edge_groups().size());
  for (const EdgeGroup& group : diff.edge_groups()) {
    const std::uint32_t g = copy.load_edge_group(diff.id_of(group.from), group.targets.size());
    for (const auto& entry : group.targets) copy.load_edge(g, diff.id_of(entry.key), entry.value);
  }
  copy.reserve_deleted_groups(diff.deleted_groups().size());
  for (const DeletedGroup& group : diff.deleted_groups()) {
    const std::uint32_t g = copy.load_deleted_group(diff.id_of(group.from), group.targets.size());
    for (const auto& entry : group.targets) copy.load_deleted_edge(g, diff.id_of(entry.key));
  }
  copy.finish_loading();
  return copy;
}

template <class Apply>
void all_or_nothing(GraphDiff& diff, std::size_t count, Apply apply) {
  // A batch of one is a single call, which needs no copy.
  std::optional<GraphDiff> before;
  const std::size_t budget = kSnapshotPerElement * count + kSnapshotFloor;
  if (count > 1 && copy_cost(diff, budget) <= budget) before.emplace(copy_of(diff));
  try {
    for (std::size_t i = 0; i < count; ++i) apply(i);
  } catch (const std::bad_alloc&) {
    if (before) diff = std::move(*before);
    throw;
  }
}

}  // namespace

void GraphDiff::add_edges(std::span<const NodeId> from, std::span<const NodeId> to,
                          std::span<const float> weights) {
  assert(from.size() == to.size() && from.size() == weights.size());
  all_or_nothing(*this, from.size(), [&](std::size_t i) {
    // An edge touching a node marked deleted is refused silently, as a single call is.
    static_cast<void>(add_edge(from[i], to[i], weights[i]));
  });
}

void GraphDiff::delete_edges(std::span<const NodeId> from, std::span<const NodeId> to) {
  assert(from.size() == to.size());
  all_or_nothing(*this, from.size(), [&](std::size_t i) { delete_edge(from[i], to[i]); });
}

void GraphDiff::delete_nodes(std::span<const NodeId> ids) {
  all_or_nothing(*this, ids.size(), [&](std::size_t i) { delete_node(ids[i]); });
}

void GraphDiff::add_nodes(std::span<const NodeId> ids, std::span<NodeUpdate> updates) {
  assert(ids.size() == updates.size());
  all_or_nothing(*this, ids.size(),
                 [&](std::size_t i) { add_node(ids[i], std::move(updates[i])); });
}

}  // namespace kovra
