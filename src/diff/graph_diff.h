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
#include "diff/pending_edges.h"

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
  // Like every read of the edges, applies the pending edge rows first, which may
  // throw std::bad_alloc: the rows then stay pending and the content is as it was.
  std::size_t num_edges() const {
    settle();
    return edges_.edge_groups().size() + edges_.deleted_groups().size();
  }

  // Read access, each in its collection's deterministic iteration order.
  const NodeMap& nodes() const noexcept { return nodes_; }
  const NodeSet& deleted_nodes() const noexcept { return deleted_nodes_; }
  std::span<const EdgeGroup> edge_groups() const {
    settle();
    return edges_.edge_groups();
  }
  std::span<const DeletedGroup> deleted_groups() const {
    settle();
    return edges_.deleted_groups();
  }
  const NodeId& id_of(NodeNumber number) const noexcept { return edges_.id_of(number); }
  // Every interned number in use is below this.
  std::size_t number_bound() const {
    settle();
    return edges_.number_bound();
  }

  // Applies the edge rows that the calls recorded and left pending, in their
  // order, each as its single call would (EdgeStore::put_rows, which works
  // ahead). Either completes or throws std::bad_alloc; then the rows applied
  // have left the log, the rest stay in it, and what the diff holds, pending
  // rows included, is as it was. Const: the content it shows does not change,
  // only where the rows are kept.
  // Also a read: see eager_.
  void settle() const {
    if (!pending_.empty()) [[unlikely]]
      apply_pending();
    eager_ = writes_ <= kEagerRun;
    writes_ = 0;
  }
  // Rows recorded and not yet applied; for tests and memory accounting.
  const PendingEdges& pending() const noexcept { return pending_; }

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
  // sys.getsizeof reports, together with the instance), the pending log's room included.
  std::size_t heap_bytes() const noexcept;

  // Checks the internal tables against each other, and that no pending added
  // edge names a node marked deleted; for tests and fuzzing.
  // The first rule found broken, by name, or nullptr.
  const char* broken_rule() const {
    if (const char* rule = edges_.broken_rule()) return rule;
    if (const char* rule = pending_.broken_rule()) return rule;
    if (!pending_.adds_avoid([this](const NodeId& id) { return deleted_nodes_.contains(id); })) {
      return "no pending added edge names a node marked deleted";
    }
    return nullptr;
  }
  bool consistent() const { return broken_rule() == nullptr; }
  // For builds that check the rules after every call, which schedule the check
  // by these; neither applies the pending rows. The size in interned ids, groups
  // and pending rows, at once; and what broken_rule() walks, the target entries
  // too, by a walk over the groups.
  std::size_t rules_size() const noexcept {
    return edges_.live_slots() + edges_.edge_groups().size() + edges_.deleted_groups().size() +
           pending_.size();
  }
  std::size_t rules_work() const noexcept {
    return rules_size() + entry_count(edges_.edge_groups()) + entry_count(edges_.deleted_groups());
  }
  // Interned ids currently in use; for tests.
  std::size_t live_slots() const {
    settle();
    return edges_.live_slots();
  }

 private:
  [[gnu::noinline]] void apply_pending() const;
  // Counts an edge call since the last read, and says whether it applies its
  // row at once rather than logging it: while its reader reads every few
  // writes. (Tables small enough to stay in cache gain from the log too:
  // native W1s, 100k rows, applied at once took about 10% longer than logged.)
  [[nodiscard]] bool note_edge_call() noexcept {
    ++writes_;
    return pending_.empty() && writes_ <= kEagerRun && eager_;
  }
  void rebound() const noexcept {
    pending_.rebound(edges_.live_slots() + edges_.edge_groups().size() +
                     edges_.deleted_groups().size());
  }

  NodeMap nodes_;
  NodeSet deleted_nodes_;
  // Mutable: reads apply the pending rows, which changes where rows are kept
  // but not what the diff holds.
  mutable EdgeStore edges_;
  mutable PendingEdges pending_;
  // A producer that reads after every few writes gains nothing from the log:
  // each read would apply a row or two, with nothing to work ahead on. So
  // while the writes between two reads were at most kEagerRun, the next ones
  // apply at once, in the calls themselves, until more than kEagerRun come
  // without a read; rows are then logged until the next read.
  static constexpr std::size_t kEagerRun = 8;
  // A log shorter than this is applied a row at a time (apply_pending()).
  static constexpr std::size_t kFewRows = 8;
  mutable std::size_t writes_ = 0;  // edge calls since the last read
  mutable bool eager_ = true;
};

// Inline, so that a caller's own frame serves the call. The refusal is decided
// now; the row waits in the log (pending_edges.h).
[[gnu::always_inline]] inline AddEdgeStatus GraphDiff::add_edge(const NodeId& from_id,
                                                                const NodeId& to_id, float weight) {
  if (!deleted_nodes_.empty() &&
      (deleted_nodes_.contains(from_id) || deleted_nodes_.contains(to_id))) {
    return AddEdgeStatus::kEndpointDeleted;
  }
  if (note_edge_call()) {
    edges_.put_row(from_id, to_id, weight, false);
    return AddEdgeStatus::kAdded;
  }
  if (pending_.full()) [[unlikely]]
    apply_pending();
  pending_.add(from_id, to_id, weight);
  return AddEdgeStatus::kAdded;
}

}  // namespace kovra
