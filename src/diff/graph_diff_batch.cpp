// Batch mutations: the effect of the single calls in order, all or nothing at
// any size, without a copy of the diff. A batch first makes every change that
// can fail, logging how to take each back, and leaves to a last phase the
// changes that cannot fail but could not be taken back without allocating:
//
// - add_edges is one step of the edge store (EdgeStore::put_edges), which
//   sorts its rows by `from` node; here only the refused rows are found.
// - delete_edges interns each row's ids and puts its deleted edge, logging what
//   changed; the erasures from the edge groups come last. Nothing is removed
//   from a group, and no group or interned id goes away, before that last
//   phase, so the log is undone latest first by taking back the last thing
//   added, then the ids interned.
// - delete_nodes marks the ids deleted and puts every deleted edge its rows
//   will put, in the order the single calls put them, with the same log; then
//   takes the nodes' edges out, which cannot fail.
// - add_nodes inserts or merges each update, keeping what a merge displaced so
//   that undoing it allocates nothing; the deleted marks it lifts go last.
#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "diff/graph_diff.h"

namespace kovra {

namespace {

using Change = EdgeStore::Change;

// The ids interned so far that were new, in order: undoing releases them in
// reverse, which puts the free slots back in their order.
class FreshIds {
 public:
  explicit FreshIds(std::size_t most) { fresh_.reserve(most); }
  NodeIndex intern(EdgeStore& edges, const NodeId& id) {
    const EdgeStore::Interned interned = edges.intern(id);
    if (interned.fresh) fresh_.push_back(interned.index);
    return interned.index;
  }
  void undo(EdgeStore& edges) const noexcept {
    for (std::size_t i = fresh_.size(); i-- > 0;) edges.release_if_unused(fresh_[i]);
  }

 private:
  std::vector<NodeIndex> fresh_;
};

// Takes back the logged changes, latest first.
void undo(EdgeStore& edges, const std::vector<Change>& log) noexcept {
  for (std::size_t i = log.size(); i-- > 0;) edges.take_back(log[i]);
}

// Puts the deleted edge of each edge into `node` whose `from` `keep` accepts,
// in the order of the node's reverse list, logging each into `log`, which has
// room for them all.
template <class Keep>
void put_deleted_edges_into(EdgeStore& edges, NodeIndex node, Keep keep, std::vector<Change>& log) {
  for (const auto& entry : edges.sources_of(node)) {
    const NodeIndex source = entry.key;
    if (source == node || !keep(source)) continue;  // a self-loop leaves with the node's own group
    const Change change = edges.put_deleted_edge(source, node);
    if (change.kind != Change::Kind::kUnchanged) log.push_back(change);
  }
}

}  // namespace

void GraphDiff::add_edges(std::span<const NodeId> from, std::span<const NodeId> to,
                          std::span<const float> weights) {
  assert(from.size() == to.size() && from.size() == weights.size());
  // Deleted nodes do not change here, so a refused row stays refused.
  std::vector<std::uint8_t> refused;
  if (!deleted_nodes_.empty()) {
    refused.resize(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) {
      refused[i] = deleted_nodes_.contains(from[i]) || deleted_nodes_.contains(to[i]);
    }
  }
  edges_.put_edges(from, to, weights, refused);
}

void GraphDiff::delete_edges(std::span<const NodeId> from, std::span<const NodeId> to) {
  assert(from.size() == to.size());
  const std::size_t n = from.size();
  FreshIds interned(2 * n);
  std::vector<Change> log;
  log.reserve(n);
  // The deleted edges put whose `from` has an edge group, which may hold the `to`.
  std::vector<std::pair<NodeIndex, NodeIndex>> erased;
  if (!edges_.edge_groups().empty()) erased.reserve(n);
  try {
    for (std::size_t i = 0; i < n; ++i) {
      const NodeIndex source = interned.intern(edges_, from[i]);
      const NodeIndex target = interned.intern(edges_, to[i]);
      const Change change = edges_.put_deleted_edge(source, target);
      if (change.kind != Change::Kind::kUnchanged) log.push_back(change);
      if (edges_.has_edge_group(source)) erased.emplace_back(source, target);
    }
  } catch (...) {
    undo(edges_, log);
    interned.undo(edges_);
    throw;
  }
  for (const auto& [source, target] : erased) edges_.erase_edge(source, target);
}

// The batch of one, without the ordering a batch needs across its rows.
void GraphDiff::delete_node(const NodeId& id) {
  const bool marked = deleted_nodes_.insert(id);
  const NodeIndex node = edges_.find(id);
  if (node != kNone) {
    std::vector<Change> log;
    try {
      log.reserve(edges_.sources_of(node).size());
      put_deleted_edges_into(edges_, node, [](NodeIndex) { return true; }, log);
    } catch (...) {
      undo(edges_, log);
      if (marked) deleted_nodes_.erase(id);
      throw;
    }
    edges_.detach(node);
  }
  nodes_.erase(id);
}

void GraphDiff::delete_nodes(std::span<const NodeId> ids) {
  const std::size_t n = ids.size();
  constexpr std::size_t kNever = SIZE_MAX;
  // Each interned node with the first row that names it, by node. A later row
  // of the same id finds its edges gone already.
  std::vector<NodeIndex> nodes(n);
  std::vector<std::pair<NodeIndex, std::size_t>> first;
  first.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    nodes[i] = edges_.find(ids[i]);
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
  for (const auto& [node, row] : first) most += edges_.sources_of(node).size();
  std::vector<Change> log;
  log.reserve(most);
  std::vector<bool> marked(n);

  std::size_t done = 0;
  try {
    for (; done < n; ++done) marked[done] = deleted_nodes_.insert(ids[done]);
    // The deleted edges in the order the single calls put them: row by row, and
    // in a row in the order of the node's reverse list, which the single call
    // compacts first when earlier rows took edges out of it.
    for (std::size_t i = 0; i < n; ++i) {
      const NodeIndex node = nodes[i];
      if (node == kNone || first_row(node) != i) continue;
      const auto& incoming = edges_.sources_of(node);
      const bool thinned = std::any_of(incoming.begin(), incoming.end(), [&](const auto& entry) {
        return entry.key != node && first_row(entry.key) < i;
      });
      if (thinned) edges_.compact_sources(node);
      put_deleted_edges_into(
          edges_, node, [&](NodeIndex source) { return first_row(source) >= i; }, log);
    }
  } catch (...) {
    undo(edges_, log);
    for (std::size_t i = done; i-- > 0;) {
      if (marked[i]) deleted_nodes_.erase(ids[i]);
    }
    throw;
  }
  // No id is interned here, so a slot given back by an earlier row stays free.
  for (std::size_t i = 0; i < n; ++i) {
    if (nodes[i] != kNone && edges_.in_use(nodes[i])) edges_.detach(nodes[i]);
    nodes_.erase(ids[i]);
  }
}

void GraphDiff::add_nodes(std::span<const NodeId> ids, std::span<NodeUpdate> updates) {
  assert(ids.size() == updates.size());
  const std::size_t n = ids.size();
  // Per row, the fields a merge exchanged, or kInserted.
  constexpr std::uint16_t kInserted = 0x100;
  std::vector<std::uint16_t> done;
  done.reserve(n);
  try {
    for (std::size_t i = 0; i < n; ++i) {
      const auto [entry, inserted] = nodes_.try_emplace(ids[i], std::move(updates[i]));
      done.push_back(inserted ? kInserted : entry->second.merge_reversibly(updates[i]));
    }
  } catch (...) {
    for (std::size_t i = done.size(); i-- > 0;) {
      if (done[i] == kInserted) {
        nodes_.erase(ids[i]);  // the last entry
      } else {
        nodes_.find(ids[i])->second.undo_merge(updates[i], static_cast<std::uint8_t>(done[i]));
      }
    }
    throw;
  }
  if (!deleted_nodes_.empty()) {
    for (const NodeId& id : ids) deleted_nodes_.erase(id);
  }
}

}  // namespace kovra
