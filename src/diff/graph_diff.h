// GraphDiff: the four collections of pending changes and the rules that combine
// a later change with earlier ones.
//
// Edge endpoints are interned: each node id seen by an edge operation gets a
// 32-bit index, so an edge costs 8 bytes forward plus 4 in the reverse index
// that lets delete_node find its incoming edges without walking every group.
// Interned ids live until clear(); they are invisible from outside.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "diff/node_id.h"
#include "diff/node_update.h"
#include "diff/target_list.h"

namespace kovra {

using NodeMap = boost::unordered_flat_map<NodeId, NodeUpdate, NodeIdHash>;
using NodeSet = boost::unordered_flat_set<NodeId, NodeIdHash>;

struct EdgeGroup {
  NodeIndex from;
  TargetList<float> targets;
};

struct DeletedGroup {
  NodeIndex from;
  TargetList<NoValue> targets;
};

enum class AddEdgeStatus { kAdded, kEndpointDeleted };
inline constexpr char kEndpointDeletedMessage[] =
    "Either from or to nodes are marked to be deleted";

class GraphDiff {
 public:
  GraphDiff() noexcept = default;
  GraphDiff(GraphDiff&&) noexcept = default;
  GraphDiff& operator=(GraphDiff&&) noexcept = default;
  GraphDiff(const GraphDiff&) = delete;
  GraphDiff& operator=(const GraphDiff&) = delete;

  // Mutations. Each either completes or, on std::bad_alloc, leaves the diff as it was.
  void add_node(const NodeId& id, NodeUpdate&& update);
  void delete_node(const NodeId& id);
  AddEdgeStatus add_edge(const NodeId& from, const NodeId& to, float weight);
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
  std::size_t num_edges() const noexcept { return edge_groups_.size() + deleted_groups_.size(); }

  // Read access, each in its collection's deterministic iteration order.
  const NodeMap& nodes() const noexcept { return nodes_; }
  const NodeSet& deleted_nodes() const noexcept { return deleted_nodes_; }
  std::span<const EdgeGroup> edge_groups() const noexcept { return edge_groups_; }
  std::span<const DeletedGroup> deleted_groups() const noexcept { return deleted_groups_; }
  const NodeId& id_of(NodeIndex index) const noexcept { return slots_[index].id; }

  // Loading from a document: entries go in as they stand, no rule is replayed.
  // A later node entry replaces an earlier one; a later group for the same `from`
  // replaces the earlier group's contents.
  void reserve_nodes(std::size_t count);
  void reserve_deleted_nodes(std::size_t count);
  void reserve_edge_groups(std::size_t count);
  void reserve_deleted_groups(std::size_t count);
  void load_node(const NodeId& id, NodeUpdate&& update);
  void load_deleted_node(const NodeId& id);
  std::uint32_t load_edge_group(const NodeId& from, std::size_t reserve);
  void load_edge(std::uint32_t group, const NodeId& to, float weight);
  std::uint32_t load_deleted_group(const NodeId& from, std::size_t reserve);
  void load_deleted_edge(std::uint32_t group, const NodeId& to);
  // Builds the reverse lists once all edges are in; required before any other use.
  void finish_loading();

  // Checks the internal indexes against each other; for tests and fuzzing.
  bool consistent() const;

 private:
  // Per interned id. `incoming` lists the `from` nodes that have an edge to this
  // node. Removing an edge leaves its entry behind and marks the list stale, so
  // removals stay O(1); a stale list is compacted before it grows or is walked.
  struct Slot {
    NodeId id;
    TargetList<NoValue, false> incoming;
    std::uint32_t edge_group = kNone;
    std::uint32_t deleted_group = kNone;
    bool incoming_stale = false;
  };

  NodeIndex intern(const NodeId& id);
  NodeIndex find_index(const NodeId& id) const noexcept;
  bool has_edge(NodeIndex from, NodeIndex to) const noexcept;
  void compact_incoming(NodeIndex to) noexcept;
  void mark_targets_stale(const TargetList<float>& targets) noexcept;
  void reserve_incoming(NodeIndex to);
  void remove_edge_group(std::uint32_t group) noexcept;
  void remove_deleted_group(std::uint32_t group) noexcept;
  void add_deleted_edge(NodeIndex from, NodeIndex to);

  NodeMap nodes_;
  NodeSet deleted_nodes_;
  boost::unordered_flat_map<NodeId, NodeIndex, NodeIdHash> index_;
  std::vector<Slot> slots_;
  std::vector<EdgeGroup> edge_groups_;
  std::vector<DeletedGroup> deleted_groups_;
};

}  // namespace kovra
