// Batch mutations: the effect of the single calls in order, all or nothing at
// any size, without a copy of the diff. A batch first makes every change that
// can fail, logging how to take each back, and leaves to a last phase the
// changes that cannot fail but could not be taken back without allocating:
//
// - add_edges and delete_edges intern each row's ids and put its edge (or
//   deleted edge), logging what changed; the erasures from the groups of the
//   other kind come last. Nothing is removed from a group, and no group or
//   interned id goes away, before that last phase, so the log is undone
//   latest first by taking back the last thing added, then the ids interned.
// - delete_nodes marks the ids deleted and puts every deleted edge its rows
//   will put, in the order the single calls put them, with the same log; then
//   takes the nodes' edges out, which cannot fail.
// - add_nodes inserts or merges each update, keeping what a merge displaced so
//   that undoing it allocates nothing; the deleted marks it lifts go last.
#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "diff/graph_diff.h"
#include "diff/graph_diff_steps.h"
#include "diff/reserve_more.h"

namespace kovra {

class GraphDiffBatch {
 public:
  explicit GraphDiffBatch(GraphDiff& diff) noexcept : d_(diff) {}

  void add_edges(std::span<const NodeId> from, std::span<const NodeId> to,
                 std::span<const float> weights);
  void delete_edges(std::span<const NodeId> from, std::span<const NodeId> to);
  void delete_node(const NodeId& id);
  void delete_nodes(std::span<const NodeId> ids);
  void add_nodes(std::span<const NodeId> ids, std::span<NodeUpdate> updates);

 private:
  using Change = GraphDiff::Change;
  using Slot = GraphDiff::Slot;

  // The ids interned so far that were new, in order: undoing releases them in
  // reverse, which puts the free slots back in their order.
  class Interned {
   public:
    explicit Interned(std::size_t most) { fresh_.reserve(most); }
    NodeIndex intern(GraphDiff& diff, const NodeId& id) {
      const std::size_t before = diff.free_slots_ + diff.slots_.size();
      const NodeIndex index = diff.intern(id);
      if (diff.free_slots_ + diff.slots_.size() != before) fresh_.push_back(index);
      return index;
    }
    void undo(GraphDiff& diff) const noexcept {
      for (std::size_t i = fresh_.size(); i-- > 0;) diff.release_if_unused(fresh_[i]);
    }

   private:
    std::vector<NodeIndex> fresh_;
  };

  class EdgeRowsAhead;

  // Puts the deleted edge of each edge into `node` whose `from` `keep` accepts,
  // in the order of the node's reverse list, logging each into `log`, which has
  // room for them all.
  template <class Keep>
  void put_deleted_edges_into(NodeIndex node, Keep keep, std::vector<Change>& log);

  // Takes back the logged changes to `groups`, latest first.
  template <class Group>
  void undo(std::vector<Group>& groups, std::uint32_t Slot::* link,
            const std::vector<Change>& log) noexcept;

  GraphDiff& d_;
};

// Works ahead of add_edges so that what each row reads is on its way when the
// row comes: in stages kStage rows apart, the ids' index buckets, then their
// slots, then the `from` node's group and the `to` node's reverse list, then the
// group's targets. A row whose ids were all found this way needs no lookup of
// its own; ids absent or placed away from their home bucket are interned as usual.
class GraphDiffBatch::EdgeRowsAhead {
 public:
  EdgeRowsAhead(const GraphDiff& diff, std::span<const NodeId> from,
                std::span<const NodeId> to) noexcept
      : d_(diff), ids_{from, to} {
    for (std::size_t r = 0; r < kStages * kStage; ++r) advance_to(r);
  }

  // Call for rows 0, 1, 2, ... in order before reading that row's slots.
  void advance(std::size_t row) noexcept {
    const std::size_t ahead = row + kStages * kStage;
    if (ahead >= ids_[0].size()) return advance_to(ahead);
    find_buckets(ahead);
    find_slots(ahead - kStage);
    check_slots(ahead - 2 * kStage);
    find_targets(ahead - 3 * kStage);
  }

  // The slot of the row's from (end 0) or to (end 1) id, or kNone if not found ahead.
  NodeIndex slot(std::size_t row, int end) const noexcept { return ring_[row % kRing].slot[end]; }

 private:
  static constexpr std::size_t kStage = 4;
  static constexpr std::size_t kStages = 4;
  static constexpr std::size_t kRing = 32;
  static_assert(kRing > kStages * kStage);
  struct Row {
    std::uint64_t hash[2];
    NodeIndex slot[2];
  };

  // Stage s of row - (s - 1) * kStage, for s = 1 .. kStages.
  void advance_to(std::size_t row) noexcept {
    const std::size_t n = ids_[0].size();
    if (row < n) find_buckets(row);
    if (row >= kStage && row - kStage < n) find_slots(row - kStage);
    if (row >= 2 * kStage && row - 2 * kStage < n) check_slots(row - 2 * kStage);
    if (row >= 3 * kStage && row - 3 * kStage < n) find_targets(row - 3 * kStage);
  }

  void find_buckets(std::size_t row) noexcept {
    Row& r = ring_[row % kRing];
    for (int end = 0; end < 2; ++end) {
      r.hash[end] = d_.index_.hash_of(ids_[end][row]);
      d_.index_.prefetch_home(r.hash[end]);
    }
  }
  void find_slots(std::size_t row) noexcept {
    Row& r = ring_[row % kRing];
    for (int end = 0; end < 2; ++end) {
      r.slot[end] = d_.index_.hint(r.hash[end], ids_[end][row]);
      if (r.slot[end] != kNone) __builtin_prefetch(&d_.slots_[r.slot[end]]);
    }
  }
  void check_slots(std::size_t row) noexcept {
    Row& r = ring_[row % kRing];
    for (int end = 0; end < 2; ++end) {
      if (r.slot[end] != kNone && !(d_.slots_[r.slot[end]].id == ids_[end][row])) {
        r.slot[end] = kNone;
      }
    }
    if (r.slot[0] != kNone) {
      const std::uint32_t group = d_.slots_[r.slot[0]].edge_group;
      if (group != kNone) __builtin_prefetch(&d_.edge_groups_[group]);
    }
    if (r.slot[1] != kNone) __builtin_prefetch(d_.slots_[r.slot[1]].incoming.end(), 1);
  }
  void find_targets(std::size_t row) noexcept {
    const Row& r = ring_[row % kRing];
    if (r.slot[0] == kNone) return;
    const std::uint32_t group = d_.slots_[r.slot[0]].edge_group;
    if (group != kNone) __builtin_prefetch(d_.edge_groups_[group].targets.begin(), 1);
  }

  const GraphDiff& d_;
  std::span<const NodeId> ids_[2];
  Row ring_[kRing] = {};
};

template <class Group>
void GraphDiffBatch::undo(std::vector<Group>& groups, std::uint32_t Slot::* link,
                          const std::vector<Change>& log) noexcept {
  constexpr bool kEdges = std::is_same_v<Group, EdgeGroup>;
  for (std::size_t i = log.size(); i-- > 0;) {
    const Change& change = log[i];
    auto& targets = groups[change.group].targets;
    if constexpr (kEdges) {
      if (change.kind == Change::Kind::kOverwrite) {
        targets.at(change.pos).value = change.old;
        continue;
      }
    }
    const std::uint32_t last = targets.size() - 1;
    Slot& to = d_.slots_[targets.at(last).key];
    targets.erase_at(last);
    --to.refs;
    // The reverse entry stays behind, stale, as after any edge removal.
    if constexpr (kEdges) to.incoming_stale = true;
    if (change.kind == Change::Kind::kNewGroup) d_.remove_group(groups, link, change.group);
  }
}

void GraphDiffBatch::add_edges(std::span<const NodeId> from, std::span<const NodeId> to,
                               std::span<const float> weights) {
  const std::size_t n = from.size();
  Interned interned(2 * n);
  std::vector<Change> log;
  log.reserve(n);
  // The edges put whose `from` has a deleted group, which may hold the `to`.
  std::vector<std::pair<NodeIndex, NodeIndex>> voided;
  const bool voidable = !d_.deleted_groups_.empty();
  if (voidable) voided.reserve(n);
  // Deleted nodes do not change here, so a refused row stays refused.
  const bool refusals = !d_.deleted_nodes_.empty();
  EdgeRowsAhead ahead(d_, from, to);
  try {
    for (std::size_t i = 0; i < n; ++i) {
      ahead.advance(i);
      if (refusals && (d_.deleted_nodes_.contains(from[i]) || d_.deleted_nodes_.contains(to[i]))) {
        continue;
      }
      NodeIndex source = ahead.slot(i, 0);
      if (source == kNone) source = interned.intern(d_, from[i]);
      NodeIndex target = ahead.slot(i, 1);
      if (target == kNone) target = interned.intern(d_, to[i]);
      log.push_back(d_.put_edge(source, target, weights[i]));
      if (voidable && d_.slots_[source].deleted_group != kNone) voided.emplace_back(source, target);
    }
  } catch (...) {
    undo(d_.edge_groups_, &Slot::edge_group, log);
    interned.undo(d_);
    throw;
  }
  for (const auto& [source, target] : voided) d_.erase_deleted_edge(source, target);
}

void GraphDiffBatch::delete_edges(std::span<const NodeId> from, std::span<const NodeId> to) {
  const std::size_t n = from.size();
  Interned interned(2 * n);
  std::vector<Change> log;
  log.reserve(n);
  // The deleted edges put whose `from` has an edge group, which may hold the `to`.
  std::vector<std::pair<NodeIndex, NodeIndex>> erased;
  if (!d_.edge_groups_.empty()) erased.reserve(n);
  try {
    for (std::size_t i = 0; i < n; ++i) {
      const NodeIndex source = interned.intern(d_, from[i]);
      const NodeIndex target = interned.intern(d_, to[i]);
      const Change change = d_.put_deleted_edge(source, target);
      if (change.kind != Change::Kind::kUnchanged) log.push_back(change);
      if (d_.slots_[source].edge_group != kNone) erased.emplace_back(source, target);
    }
  } catch (...) {
    undo(d_.deleted_groups_, &Slot::deleted_group, log);
    interned.undo(d_);
    throw;
  }
  for (const auto& [source, target] : erased) d_.erase_edge(source, target);
}

template <class Keep>
void GraphDiffBatch::put_deleted_edges_into(NodeIndex node, Keep keep, std::vector<Change>& log) {
  for (const auto& entry : d_.slots_[node].incoming) {
    const NodeIndex source = entry.key;
    if (source == node || !keep(source)) continue;  // a self-loop leaves with the node's own group
    const Change change = d_.put_deleted_edge(source, node);
    if (change.kind != Change::Kind::kUnchanged) log.push_back(change);
  }
}

// The batch of one, without the ordering a batch needs across its rows.
void GraphDiffBatch::delete_node(const NodeId& id) {
  const bool marked = d_.deleted_nodes_.insert(id);
  const NodeIndex node = d_.find_index(id);
  if (node != kNone) {
    // Compacted, the reverse list names each `from` once.
    if (d_.slots_[node].incoming_stale) d_.compact_incoming(node);
    std::vector<Change> log;
    try {
      log.reserve(d_.slots_[node].incoming.size());
      put_deleted_edges_into(node, [](NodeIndex) { return true; }, log);
    } catch (...) {
      undo(d_.deleted_groups_, &Slot::deleted_group, log);
      if (marked) d_.deleted_nodes_.erase(id);
      throw;
    }
    d_.detach_node(node);
  }
  d_.nodes_.erase(id);
}

void GraphDiffBatch::delete_nodes(std::span<const NodeId> ids) {
  const std::size_t n = ids.size();
  constexpr std::size_t kNever = SIZE_MAX;
  // Each interned node with the first row that names it, by node. A later row
  // of the same id finds its edges gone already.
  std::vector<NodeIndex> nodes(n);
  std::vector<std::pair<NodeIndex, std::size_t>> first;
  first.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    nodes[i] = d_.find_index(ids[i]);
    if (nodes[i] != kNone) first.emplace_back(nodes[i], i);
  }
  std::sort(first.begin(), first.end());  // by node, then row
  first.erase(std::unique(first.begin(), first.end(),
                          [](const auto& a, const auto& b) { return a.first == b.first; }),
              first.end());
  const auto first_row = [&first](NodeIndex node) noexcept {
    const auto it =
        std::lower_bound(first.begin(), first.end(), node,
                         [](const auto& entry, NodeIndex key) { return entry.first < key; });
    return it != first.end() && it->first == node ? it->second : kNever;
  };
  // A reverse list is compacted before it is walked, which changes nothing
  // that can be seen; then it names each `from` with an edge to the node once.
  std::size_t most = 0;
  for (const auto& [node, row] : first) {
    if (d_.slots_[node].incoming_stale) d_.compact_incoming(node);
    most += d_.slots_[node].incoming.size();
  }
  std::vector<Change> log;
  log.reserve(most);
  std::vector<bool> marked(n);

  std::size_t done = 0;
  try {
    for (; done < n; ++done) marked[done] = d_.deleted_nodes_.insert(ids[done]);
    // The deleted edges in the order the single calls put them: row by row, and
    // in a row in the order of the node's reverse list, which the single call
    // compacts first when earlier rows took edges out of it.
    for (std::size_t i = 0; i < n; ++i) {
      const NodeIndex node = nodes[i];
      if (node == kNone || first_row(node) != i) continue;
      const auto& incoming = d_.slots_[node].incoming;
      const bool thinned = std::any_of(incoming.begin(), incoming.end(), [&](const auto& entry) {
        return entry.key != node && first_row(entry.key) < i;
      });
      if (thinned) d_.compact_incoming(node);
      put_deleted_edges_into(node, [&](NodeIndex source) { return first_row(source) >= i; }, log);
    }
  } catch (...) {
    undo(d_.deleted_groups_, &Slot::deleted_group, log);
    for (std::size_t i = done; i-- > 0;) {
      if (marked[i]) d_.deleted_nodes_.erase(ids[i]);
    }
    throw;
  }
  // No id is interned here, so a slot given back by an earlier row stays free.
  for (std::size_t i = 0; i < n; ++i) {
    if (nodes[i] != kNone && !d_.slots_[nodes[i]].free) d_.detach_node(nodes[i]);
    d_.nodes_.erase(ids[i]);
  }
}

void GraphDiffBatch::add_nodes(std::span<const NodeId> ids, std::span<NodeUpdate> updates) {
  const std::size_t n = ids.size();
  // Per row, the fields a merge exchanged, or kInserted.
  constexpr std::uint16_t kInserted = 0x100;
  std::vector<std::uint16_t> done;
  done.reserve(n);
  try {
    for (std::size_t i = 0; i < n; ++i) {
      const auto [entry, inserted] = d_.nodes_.try_emplace(ids[i], std::move(updates[i]));
      done.push_back(inserted ? kInserted : entry->second.merge_reversibly(updates[i]));
    }
  } catch (...) {
    for (std::size_t i = done.size(); i-- > 0;) {
      if (done[i] == kInserted) {
        d_.nodes_.erase(ids[i]);  // the last entry
      } else {
        d_.nodes_.find(ids[i])->second.undo_merge(updates[i], static_cast<std::uint8_t>(done[i]));
      }
    }
    throw;
  }
  if (!d_.deleted_nodes_.empty()) {
    for (const NodeId& id : ids) d_.deleted_nodes_.erase(id);
  }
}

void GraphDiff::add_edges(std::span<const NodeId> from, std::span<const NodeId> to,
                          std::span<const float> weights) {
  assert(from.size() == to.size() && from.size() == weights.size());
  GraphDiffBatch(*this).add_edges(from, to, weights);
}

void GraphDiff::delete_edges(std::span<const NodeId> from, std::span<const NodeId> to) {
  assert(from.size() == to.size());
  GraphDiffBatch(*this).delete_edges(from, to);
}

void GraphDiff::delete_node(const NodeId& id) { GraphDiffBatch(*this).delete_node(id); }

void GraphDiff::delete_nodes(std::span<const NodeId> ids) {
  GraphDiffBatch(*this).delete_nodes(ids);
}

void GraphDiff::add_nodes(std::span<const NodeId> ids, std::span<NodeUpdate> updates) {
  assert(ids.size() == updates.size());
  GraphDiffBatch(*this).add_nodes(ids, updates);
}

}  // namespace kovra
