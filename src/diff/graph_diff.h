// GraphDiff: the four collections of pending changes and the rules that combine
// a later change with earlier ones.
//
// Edge endpoints are interned: each node id named by an edge gets a 32-bit index,
// so an edge costs 8 bytes forward plus 4 in the reverse index that lets
// delete_node find its incoming edges without walking every group. An interned
// id that no edge names any more is given back and its index reused, so memory
// follows what the diff holds, not every id it has seen. Interned ids are
// invisible from outside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "diff/bounded_index.h"
#include "diff/id_table.h"
#include "diff/list_arena.h"
#include "diff/node_id.h"
#include "diff/node_update.h"
#include "diff/target_list.h"

namespace kovra {

using NodeMap = IdTable<std::pair<NodeId, NodeUpdate>>;
using NodeSet = IdTable<NodeId>;

struct EdgeGroup {
  NodeIndex from;
  TargetList<float> targets;
};

struct DeletedGroup {
  NodeIndex from;
  TargetList<NoValue> targets;
};

// The one refusal of the model: an edge that touches a node marked deleted is not
// recorded. Callers that refuse silently say so with a cast.
enum class [[nodiscard]] AddEdgeStatus { kAdded, kEndpointDeleted };

class GraphDiff {
 public:
  GraphDiff() noexcept = default;
  ~GraphDiff();
  GraphDiff(GraphDiff&& other) noexcept;
  GraphDiff& operator=(GraphDiff&& other) noexcept;
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
  // Every interned index in use is below this.
  std::size_t index_bound() const noexcept { return slots_.size(); }

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
  // Interned ids currently in use; for tests.
  std::size_t live_slots() const noexcept { return slots_.size() - free_slots_; }

 private:
  // Per interned id. `incoming` lists the `from` nodes that have an edge to this
  // node. Removing an edge leaves its entry behind and marks the list stale, so
  // removals stay O(1); a stale list is compacted before it grows or is walked.
  // A stale entry may name a slot that has been freed, or freed and reused; the
  // compaction checks every entry against the groups, so neither matters.
  struct Slot {
    NodeId id;
    TargetList<NoValue, false> incoming;
    std::uint32_t edge_group = kNone;
    std::uint32_t deleted_group = kNone;
    // Target entries, in edge and deleted-edge groups, that name this node. Once
    // the slot is free: the next free slot.
    std::uint32_t refs = 0;
    bool incoming_stale = false;
    bool free = false;
  };

  // One change to a group list, as put_edge and put_deleted_edge report it so that
  // a batch can take it back.
  struct Change {
    enum class Kind : std::uint8_t { kUnchanged, kOverwrite, kAppend, kNewGroup };
    Kind kind = Kind::kUnchanged;
    std::uint32_t group = kNone;
    std::uint32_t pos = 0;  // kOverwrite: the entry, whose weight was `old`
    float old = 0.0f;
  };
  friend class GraphDiffBatch;

  NodeIndex intern(const NodeId& id);
  NodeIndex find_index(const NodeId& id) const noexcept;
  void release_if_unused(NodeIndex index) noexcept;
  bool has_edge(NodeIndex from, NodeIndex to) const noexcept;
  void compact_incoming(NodeIndex to) noexcept;
  // Makes room for one more incoming entry; only a full list needs the call out.
  inline void reserve_incoming(NodeIndex to);  // graph_diff_steps.h
  void make_room_incoming(NodeIndex to);
  inline void link_new_edge(NodeIndex from, NodeIndex to) noexcept;
  // Edge and deleted-edge groups share their bookkeeping; `link` is the slot's
  // field that points at the node's group of that kind.
  template <class Group>
  void remove_group(std::vector<Group>& groups, std::uint32_t Slot::* link,
                    std::uint32_t group) noexcept;
  template <class Group>
  std::uint32_t load_group(std::vector<Group>& groups, std::uint32_t Slot::* link,
                           const NodeId& from_id, std::size_t reserve);
  // The steps of the single calls that a batch also takes. put_edge and
  // put_deleted_edge either complete or throw std::bad_alloc having changed nothing
  // (capacity aside); the erasures and detach_node cannot fail.
  inline Change put_edge(NodeIndex from, NodeIndex to, float weight);  // graph_diff_steps.h
  Change put_deleted_edge(NodeIndex from, NodeIndex to);
  void erase_edge(NodeIndex from, NodeIndex to) noexcept;
  void erase_deleted_edge(NodeIndex from, NodeIndex to) noexcept;
  void detach_node(NodeIndex node) noexcept;
  void release_lists() noexcept;
  void drop_targets(TargetList<float>&& targets) noexcept;
  void drop_targets(TargetList<NoValue>&& targets) noexcept;
  auto slot_id() const noexcept {
    return [this](std::uint32_t index) -> const NodeId& { return slots_[index].id; };
  }

  // While a document loads, per interned index: the last edge group that listed
  // it, plus one, so that a target repeated within a group is caught without
  // searching the group; and how many edge groups list it, which sizes its
  // reverse list. Empty at any other time.
  struct LoadMark {
    std::uint32_t group = 0;
    std::uint32_t in_degree = 0;
  };
  LoadMark& load_mark(NodeIndex index);

  NodeMap nodes_;
  NodeSet deleted_nodes_;
  BoundedIndex<IdKeys> index_;
  std::vector<Slot> slots_;
  NodeIndex free_head_ = kNone;
  std::size_t free_slots_ = 0;
  std::vector<EdgeGroup> edge_groups_;
  std::vector<DeletedGroup> deleted_groups_;
  ListArena arena_;
  std::vector<LoadMark> load_marks_;
};

}  // namespace kovra
