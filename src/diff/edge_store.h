// EdgeStore: the edges of a diff and the interned ids they name. It owns every
// edge invariant, and these are the only code that writes its state:
// - target entries: put_edge and put_deleted_edge, which every edge row of a
//   single call or of the pending log reaches through put_step, the one step
//   of a row; erase_edge and erase_deleted_edge (a twin voided); take_back (a
//   change undone); detach (a deleted node's edges); the two batches of
//   edge_store_batch.cpp, put_step's declared twins; and the loading steps;
// - groups: add_group and remove_group, the batch's add_groups, load_group;
// - a slot's count and reverse list: gain_entry, lose_entry and list_source,
//   and compact_incoming and release_if_unused, which rewrite a reverse list;
// - the interned ids: add_id, which intern, intern_noting, intern_rows and
//   add_loading go through, and release_if_unused.
// Each step either completes or throws std::bad_alloc having changed nothing
// that can be seen; a put reports a Change that take_back() undoes.
//
// Edge endpoints are interned: each node id named by an edge gets a 32-bit
// number (the position of its slot), so an edge costs 8 bytes forward plus 4
// in the reverse list that lets a node's incoming edges be found without
// walking every group. An interned id that nothing names any more is given
// back and its number reused, so memory follows what the diff holds, not
// every id it has seen. Interned ids are invisible from outside: views list
// groups in their vectors' order, which depends on the history of calls alone.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "diff/bounded_index.h"
#include "diff/fast_path_count.h"
#include "diff/list_arena.h"
#include "diff/node_id.h"
#include "diff/reserve_more.h"
#include "diff/target_list.h"

namespace kovra {

struct EdgeGroup {
  NodeNumber from;
  TargetList<float> targets;
};

struct DeletedGroup {
  NodeNumber from;
  TargetList<NoValue> targets;
};

// The target entries of a run of groups of one kind.
template <class Group>
std::size_t entry_count(std::span<const Group> groups) noexcept {
  std::size_t count = 0;
  for (const Group& group : groups) count += group.targets.size();
  return count;
}

class EdgeStore {
 public:
  // An interned id, and whether intern() gave it a slot just now (then the
  // caller that takes its changes back also releases it, latest first).
  struct Interned {
    NodeNumber number;
    bool fresh;
  };

  // One change to a group list, as the put steps report it. take_back() undoes
  // changes latest first: an appended entry is then the last of its list.
  struct Change {
    enum class Kind : std::uint8_t { kUnchanged, kOverwrite, kAppend, kNewGroup };
    Kind kind = Kind::kUnchanged;
    bool deleted = false;  // a change to the deleted-edge groups
    std::uint32_t group = kNone;
    std::uint32_t pos = 0;  // the entry overwritten or appended
    float old = 0.0f;       // kOverwrite: the weight it had
  };

  EdgeStore() noexcept = default;
  ~EdgeStore();
  EdgeStore(EdgeStore&& other) noexcept;
  EdgeStore& operator=(EdgeStore&& other) noexcept;
  EdgeStore(const EdgeStore&) = delete;
  EdgeStore& operator=(const EdgeStore&) = delete;

  // Interned ids. Most ids a call names are interned already, so that lookup
  // is inline and the insertion out of line.
  inline Interned intern(const NodeId& id);
  NodeNumber find(const NodeId& id) const noexcept;
  // Gives the slot back once nothing names it: no group of its own and no target entry.
  void release_if_unused(NodeNumber number) noexcept;
  const NodeId& id_of(NodeNumber number) const noexcept { return slots_[number].id; }
  bool in_use(NodeNumber number) const noexcept { return !slots_[number].free; }
  std::size_t number_bound() const noexcept { return slots_.size(); }
  std::size_t live_slots() const noexcept { return slots_.size() - free_slots_; }
  // Whether the id index fits a core's own cache (fast_path_count.h): then
  // working ahead or in sorted runs costs more than it hides.
  bool index_cached() const noexcept { return index_.bucket_count() <= cached_buckets; }

  std::span<const EdgeGroup> edge_groups() const noexcept { return edge_groups_; }
  std::span<const DeletedGroup> deleted_groups() const noexcept { return deleted_groups_; }
  bool has_edge_group(NodeNumber from) const noexcept { return slots_[from].edge_group != kNone; }
  // The position of the node's edge group among edge_groups(), or kNone.
  std::uint32_t edge_group_of(NodeNumber from) const noexcept { return slots_[from].edge_group; }
  bool has_deleted_group(NodeNumber from) const noexcept {
    return slots_[from].deleted_group != kNone;
  }

  // The put steps: either complete or throw std::bad_alloc having changed
  // nothing (capacity aside). The erasures cannot fail.
  inline Change put_edge(NodeNumber from, NodeNumber to, float weight);
  Change put_deleted_edge(NodeNumber from, NodeNumber to);
  void take_back(const Change& change) noexcept;
  // After an edge is put: a deleted edge between the same nodes is void; and the
  // other way round.
  void erase_deleted_edge(NodeNumber from, NodeNumber to) noexcept;
  void erase_edge(NodeNumber from, NodeNumber to) noexcept;

  // The `from` nodes with an edge to `node`, each once (compacted first if need be).
  const TargetList<NoValue, false>& sources_of(NodeNumber node) noexcept {
    if (slots_[node].incoming_stale) compact_incoming(node);
    return slots_[node].incoming;
  }
  // Takes out every edge that touches `node`, whose deleted edges are in place,
  // and gives the node's slot back if nothing else names it. An emptied group of
  // a `from` node stays: that node has a deleted group now.
  void detach(NodeNumber node) noexcept;

  // Loading from a document: entries go in as they stand. A later group for the
  // same `from` replaces the earlier group's contents. A failure abandons the
  // whole store, so these keep it consistent but do not undo.
  void reserve_edge_groups(std::size_t count);
  void reserve_deleted_groups(std::size_t count);
  std::uint32_t load_edge_group(const NodeId& from, std::size_t reserve);
  inline void load_edge(std::uint32_t group, const NodeId& to, float weight);
  std::uint32_t load_deleted_group(const NodeId& from, std::size_t reserve);
  void load_deleted_edge(std::uint32_t group, const NodeId& to);
  // Builds the reverse lists once all edges are in; required before any other use.
  void finish_loading();

  void clear() noexcept;
  // Bytes held on the heap, by capacity: the tables, the arena's chunks and
  // whatever single lists hold beyond them.
  std::size_t heap_bytes() const noexcept;
  // Checks every invariant below against the groups, for tests and fuzzing: the
  // first rule found broken, by name, or nullptr.
  const char* broken_rule() const;
  bool consistent() const { return broken_rule() == nullptr; }

  // add_edge of every row not `refused` (empty: none is), in order, as one
  // step: it either completes or throws std::bad_alloc with nothing changed
  // (capacity aside). Rows are sorted by their `from` node so that each list is
  // sized once (edge_store_batch.cpp).
  void put_edges(std::span<const NodeId> from, std::span<const NodeId> to,
                 std::span<const float> weights, std::span<const std::uint8_t> refused);
  // delete_edge of every row, in order, as one step: it either completes or
  // throws std::bad_alloc with nothing changed (capacity aside).
  void put_deleted_edges(std::span<const NodeId> from, std::span<const NodeId> to);
  // add_edge's or delete_edge's effect on the edges: its ends interned, then
  // put_step. Either completes or throws std::bad_alloc with nothing changed
  // (capacity aside).
  void put_row(const NodeId& from, const NodeId& to, float weight, bool deleting);
  // The rows of the pending log, added and deleted edges mixed (`deletions`:
  // the positions of the deleted ones, ascending), each put as its single call
  // puts it, in order, working ahead (edge_store_rows.cpp). A row either
  // completes or changes nothing: `applied` counts the rows done, also when a
  // row throws std::bad_alloc.
  void put_rows(std::span<const NodeId> from, std::span<const NodeId> to,
                std::span<const float> weights, std::span<const std::uint32_t> deletions,
                std::size_t& applied);

 private:
  // Per interned id. The invariants, which consistent() checks:
  // - `refs` counts the target entries, in edge and deleted-edge groups, that
  //   name this node (gain_entry and lose_entry are its only writers); a slot in
  //   use has refs > 0 or a group of its own, and is released the moment it has
  //   neither (release_if_unused, called by every step that lowers either).
  // - A free slot has no groups, no reverse list, and is named by nothing; its
  //   `refs` is then the link to the next free slot (free_head_ is the first),
  //   and free_slots_ counts them. The id index holds exactly the slots in use.
  // - `edge_group` / `deleted_group` is the node's group position, and the
  //   group's `from` is the node.
  // - `incoming` lists the `from` nodes with an edge to this node (list_source
  //   adds to it, lose_entry marks it stale, compact_incoming and
  //   release_if_unused rewrite it). Removing an edge leaves its entry behind
  //   and marks the list stale, so removals stay O(1); a stale list is
  //   compacted before it grows or is walked. A stale entry may name a slot
  //   that has been freed, or freed and reused; the compaction checks every
  //   entry against the groups, so neither matters. A list not marked stale
  //   has exactly one entry per edge into the node.
  using IncomingList = TargetList<NoValue, false>;
  struct Slot {
    NodeId id;
    IncomingList incoming;
    std::uint32_t edge_group = kNone;
    std::uint32_t deleted_group = kNone;
    std::uint32_t refs = 0;
    bool incoming_stale = false;
    bool free = false;
  };

  // An id the index does not hold, with the probe that did not find it (or
  // probed afresh).
  using IdProbe = BoundedIndex<IdKeys>::Probe;
  NodeNumber add_id(const NodeId& id, const IdProbe& probe);
  NodeNumber add_id(const NodeId& id);
  // The ids a step interned that were new to the store, in order, in room
  // reserved for all of them before the step interns any. A step that fails
  // gives them back latest first, which puts the free slots back in their
  // order; an id that a row already put names stays.
  class FreshIds {
   public:
    explicit FreshIds(std::size_t most) { numbers_.reserve(most); }
    void note(NodeNumber number) noexcept { numbers_.push_back(number); }
    void give_back(EdgeStore& store) const noexcept {
      for (std::size_t i = numbers_.size(); i-- > 0;) store.release_if_unused(numbers_[i]);
    }

   private:
    std::vector<NodeNumber> numbers_;
  };
  // The interning of the steps that take many rows (the log, the batches): the
  // ends of every row not `refused` (empty: none is), in row order, as the
  // single calls would intern them, into `ends` (per row its `from` then its
  // `to`; kNone for a refused row). While the index is past the cache, the
  // buckets of the row kRowsAhead on are asked for first. Either completes or
  // throws std::bad_alloc, and `fresh` has the ids it added either way.
  void intern_rows(std::span<const NodeId> from, std::span<const NodeId> to,
                   std::span<const std::uint8_t> refused, NodeNumber* ends, FreshIds& fresh);
  // An id looked up under the index's present key, added when absent.
  NodeNumber intern_noting(const NodeId& id, FreshIds& fresh);
  // The one step of an edge row on interned ends, added or deleted: the row put,
  // then its twin voided (a deleted edge voids the edge between the same
  // nodes, and the other way round). The single calls and the log put every
  // row through it; the two batches are its declared twins.
  inline void put_step(NodeNumber from, NodeNumber to, float weight, bool deleting);
  bool has_edge(NodeNumber from, NodeNumber to) const noexcept;
  void compact_incoming(NodeNumber to) noexcept;
  // Makes room for one more incoming entry; only a full list needs the call out.
  void reserve_incoming(NodeNumber to) {
    const TargetList<NoValue, false>& incoming = slots_[to].incoming;
    if (incoming.size() == incoming.capacity()) make_room_incoming(to);
  }
  void make_room_incoming(NodeNumber to);
  // The writers of a slot's count and reverse list, which every step that adds
  // or removes a target entry goes through (the puts, the erasures, the
  // batches, undoing and loading):
  // - an entry naming `to` joined a group;
  void gain_entry(NodeNumber to) noexcept { ++slots_[to].refs; }
  // - an entry naming `to` left one; an edge's reverse entry (`listed`) stays
  //   behind, stale, for a later compaction, so that removals stay O(1);
  void lose_entry(NodeNumber to, bool listed) noexcept {
    --slots_[to].refs;
    if (listed) slots_[to].incoming_stale = true;
  }
  // - `to`'s reverse list names `from`, in room reserved before;
  void list_source(NodeNumber to, NodeNumber from) noexcept {
    slots_[to].incoming.push_reserved(from, NoValue{});
  }
  // - and both at once, for an edge just added.
  void link_new_edge(NodeNumber from, NodeNumber to) noexcept {
    gain_entry(to);
    list_source(to, from);
  }
  // Edge and deleted-edge groups share their bookkeeping; `link` is the slot's
  // field that points at the node's group of that kind.
  template <class Group>
  void remove_group(std::vector<Group>& groups, std::uint32_t Slot::* link,
                    std::uint32_t group) noexcept;
  // The twins: one template each for edge and deleted-edge groups.
  template <class Group>
  void erase_twin(std::vector<Group>& groups, std::uint32_t Slot::* link, NodeNumber from,
                  NodeNumber to) noexcept;
  template <class Group, class Value>
  std::uint32_t add_group(std::vector<Group>& groups, std::uint32_t Slot::* link, NodeNumber from,
                          NodeNumber to, Value value);
  [[gnu::noinline]] Change put_new_edge_group(NodeNumber from, NodeNumber to, float weight);
  template <class Group>
  void take_back_entry(std::vector<Group>& groups, const Change& change) noexcept;
  template <class Group>
  std::uint32_t load_group(std::vector<Group>& groups, std::uint32_t Slot::* link,
                           const NodeId& from_id, std::size_t reserve);
  void release_lists() noexcept;
  void drop_targets(TargetList<float>&& targets) noexcept;
  void drop_targets(TargetList<NoValue>&& targets) noexcept;
  auto slot_id() const noexcept {
    return [this](std::uint32_t number) -> const NodeId& { return slots_[number].id; };
  }

  // Scratch per interned number while a document loads or a batch is put, all
  // zero otherwise. `group`: the last group that listed the node as a target,
  // plus one, so that a target repeated within a group is caught without
  // searching the group. `count`: the reverse entries the node is to receive,
  // which size its reverse list once. `rank`: in a batch, the node's place plus
  // one among the batch's `from` nodes.
  struct Mark {
    std::uint32_t group = 0;
    std::uint32_t count = 0;
    std::uint32_t rank = 0;
  };
  inline NodeNumber intern_loading(const NodeId& id);
  NodeNumber add_loading(const NodeId& id);
  void reserve_ids(std::size_t count);
  class Batch;

  BoundedIndex<IdKeys> index_;
  std::vector<Slot> slots_;
  NodeNumber free_head_ = kNone;
  std::size_t free_slots_ = 0;
  std::vector<EdgeGroup> edge_groups_;
  std::vector<DeletedGroup> deleted_groups_;
  ListArena arena_;
  std::vector<Mark> marks_;
};

[[gnu::always_inline]] inline EdgeStore::Interned EdgeStore::intern(const NodeId& id) {
  const NodeNumber found = index_.find(id, slot_id());
  if (found != kNone) [[likely]]
    return {found, false};
  return {add_id(id), true};
}

[[gnu::always_inline]] inline NodeNumber EdgeStore::intern_loading(const NodeId& id) {
  const NodeNumber found = index_.find(id, slot_id());
  if (found != kNone) [[likely]]
    return found;
  return add_loading(id);
}

// Inline: a document's reader takes it for every edge.
[[gnu::always_inline]] inline void EdgeStore::load_edge(std::uint32_t group, const NodeId& to_id,
                                                        float weight) {
  const NodeNumber to = intern_loading(to_id);
  Mark& mark = marks_[to];
  TargetList<float>& targets = edge_groups_[group].targets;
  // Only a target that this group has listed before needs the search.
  if (mark.group == group + 1) {
    const std::uint32_t pos = targets.find(to);
    if (pos != kNone) {
      targets.at(pos).value = weight;
      return;
    }
  }
  targets.push(to, weight, arena_);
  mark.group = group + 1;
  ++mark.count;
  gain_entry(to);
}

// Inline: add_edge and every row of add_edges take it, and it is most of what
// each costs.
[[gnu::always_inline]] inline EdgeStore::Change EdgeStore::put_edge(NodeNumber from, NodeNumber to,
                                                                    float weight) {
  const std::uint32_t group = slots_[from].edge_group;
  if (group != kNone) {
    TargetList<float>& targets = edge_groups_[group].targets;
    const std::uint32_t pos = targets.find(to);
    if (pos != kNone) {
      const float old = targets.at(pos).value;
      targets.at(pos).value = weight;
      return {Change::Kind::kOverwrite, false, group, pos, old};
    }
    reserve_incoming(to);
    targets.push(to, weight, arena_);
    link_new_edge(from, to);
    return {Change::Kind::kAppend, false, group, targets.size() - 1};
  }
  return put_new_edge_group(from, to, weight);
}

// Either completes or throws std::bad_alloc with nothing changed: the voiding
// cannot fail, and comes only once the put has succeeded.
[[gnu::always_inline]] inline void EdgeStore::put_step(NodeNumber from, NodeNumber to, float weight,
                                                       bool deleting) {
  if (deleting) {
    static_cast<void>(put_deleted_edge(from, to));
    erase_edge(from, to);
  } else {
    static_cast<void>(put_edge(from, to, weight));
    if (has_deleted_group(from)) erase_deleted_edge(from, to);
  }
}

}  // namespace kovra
