// GraphDiff: the four collections of pending changes and the rules that combine
// a later change with earlier ones. Nodes and deleted nodes are id tables; the
// edges and deleted edges live in an EdgeStore, which keeps their invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "diff/edge_store.h"
#include "diff/id_table.h"
#include "diff/node_id.h"
#include "diff/node_update.h"

namespace kovra {

using NodeMap = IdTable<std::pair<NodeId, NodeUpdate>>;
using NodeSet = IdTable<NodeId>;

// The one refusal of the model: an edge that touches a node marked deleted is not
// recorded. Callers that refuse silently say so with a cast.
enum class [[nodiscard]] AddEdgeStatus { kAdded, kEndpointDeleted };

class GraphDiff {
 public:
  GraphDiff() noexcept = default;
  GraphDiff(GraphDiff&& other) noexcept;
  GraphDiff& operator=(GraphDiff&& other) noexcept;
  GraphDiff(const GraphDiff&) = delete;
  GraphDiff& operator=(const GraphDiff&) = delete;

  // Mutations. Each either completes or, on std::bad_alloc, leaves the diff as it was.
  void add_node(const NodeId& id, NodeUpdate&& update);
  void delete_node(const NodeId& id);
  inline AddEdgeStatus add_edge(const NodeId& from, const NodeId& to, float weight);
  void delete_edge(const NodeId& from, const NodeId& to);
  void clear() noexcept;

  // Whole-batch mutations: the effect of the single calls in order (silent refusals
  // included), all or nothing: on std::bad_alloc the diff is left as it was.
  void add_edges(std::span<const NodeId> from, std::span<const NodeId> to,
                 std::span<const float> weights);
  void delete_edges(std::span<const NodeId> from, std::span<const NodeId> to);
  void delete_nodes(std::span<const NodeId> ids);
  void add_nodes(std::span<const NodeId> ids, std::span<NodeUpdate> updates);

  std::size_t num_nodes() const noexcept { return nodes_.size() + deleted_nodes_.size(); }
  std::size_t num_edges() const noexcept {
    return edges_.edge_groups().size() + edges_.deleted_groups().size();
  }

  // Read access, each in its collection's deterministic iteration order.
  const NodeMap& nodes() const noexcept { return nodes_; }
  const NodeSet& deleted_nodes() const noexcept { return deleted_nodes_; }
  std::span<const EdgeGroup> edge_groups() const noexcept { return edges_.edge_groups(); }
  std::span<const DeletedGroup> deleted_groups() const noexcept { return edges_.deleted_groups(); }
  const NodeId& id_of(NodeIndex index) const noexcept { return edges_.id_of(index); }
  // Every interned index in use is below this.
  std::size_t index_bound() const noexcept { return edges_.index_bound(); }

  // Loading from a document: entries go in as they stand, no rule is replayed.
  // A later node entry replaces an earlier one; a later group for the same `from`
  // replaces the earlier group's contents.
  void reserve_nodes(std::size_t count);
  void reserve_deleted_nodes(std::size_t count);
  void reserve_edge_groups(std::size_t count) { edges_.reserve_edge_groups(count); }
  void reserve_deleted_groups(std::size_t count) { edges_.reserve_deleted_groups(count); }
  void load_node(const NodeId& id, NodeUpdate&& update);
  void load_deleted_node(const NodeId& id);
  std::uint32_t load_edge_group(const NodeId& from, std::size_t reserve) {
    return edges_.load_edge_group(from, reserve);
  }
  [[gnu::always_inline]] void load_edge(std::uint32_t group, const NodeId& to, float weight) {
    edges_.load_edge(group, to, weight);
  }
  std::uint32_t load_deleted_group(const NodeId& from, std::size_t reserve) {
    return edges_.load_deleted_group(from, reserve);
  }
  void load_deleted_edge(std::uint32_t group, const NodeId& to) {
    edges_.load_deleted_edge(group, to);
  }
  // Builds the reverse lists once all edges are in; required before any other use.
  void finish_loading() { edges_.finish_loading(); }

  // The memory the diff holds beyond its own object, by capacity (what
  // sys.getsizeof reports, together with the instance).
  std::size_t heap_bytes() const noexcept;

  // Checks the internal indexes against each other; for tests and fuzzing.
  bool consistent() const { return edges_.consistent(); }
  // Interned ids currently in use; for tests.
  std::size_t live_slots() const noexcept { return edges_.live_slots(); }

 private:
  NodeMap nodes_;
  NodeSet deleted_nodes_;
  EdgeStore edges_;
};

// Inline, so that a caller's own frame serves the call.
[[gnu::always_inline]] inline AddEdgeStatus GraphDiff::add_edge(const NodeId& from_id,
                                                                const NodeId& to_id, float weight) {
  if (!deleted_nodes_.empty() &&
      (deleted_nodes_.contains(from_id) || deleted_nodes_.contains(to_id))) {
    return AddEdgeStatus::kEndpointDeleted;
  }
  const NodeIndex from = edges_.intern(from_id).index;
  NodeIndex to = kNone;
  try {
    to = edges_.intern(to_id).index;
    static_cast<void>(edges_.put_edge(from, to, weight));
  } catch (...) {
    if (to != kNone) edges_.release_if_unused(to);
    edges_.release_if_unused(from);
    throw;
  }
  if (edges_.has_deleted_group(from)) edges_.erase_deleted_edge(from, to);
  return AddEdgeStatus::kAdded;
}

}  // namespace kovra
