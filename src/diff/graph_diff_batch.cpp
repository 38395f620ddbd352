// Batch mutations: the effect of the single calls in order, all or nothing at
// any size, without a copy of the diff. A batch first makes every change that
// can fail, logging how to take each back, and leaves to a last phase the
// changes that cannot fail but could not be taken back without allocating:
//
// - add_edges and delete_edges decide the refusals now and append their rows
//   to the pending log, as the single calls do; a batch larger than the log's
//   room applies the log and then itself, as one step of the edge store
//   (EdgeStore::put_edges, which sorts its rows by `from` node, and
//   EdgeStore::put_deleted_edges).
// - delete_nodes applies the log, marks the ids deleted and puts every deleted
//   edge its rows will put, in the order the single calls put them (the order
//   of the groups as each row finds them), with a log of changes; then takes
//   the nodes' edges out, which cannot fail.
// - add_nodes inserts or merges each update, keeping what a merge displaced so
//   that undoing it allocates nothing; the deleted marks it lifts go last.
#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "diff/graph_diff.h"

namespace kovra {

namespace {

using Change = EdgeStore::Change;

// Takes back the logged changes, latest first.
void undo(EdgeStore& edges, const std::vector<Change>& log) noexcept {
  for (std::size_t i = log.size(); i-- > 0;) edges.take_back(log[i]);
}

// Where the edge groups stand while delete_nodes takes its rows one by one: a
// row's own group leaves, the last group taking its place, as the single call's
// detach does. Only the places that moved are kept, so the cost follows the rows.
class GroupPlaces {
 public:
  explicit GroupPlaces(const EdgeStore& edges) noexcept
      : edges_(edges), size_(static_cast<std::uint32_t>(edges.edge_groups().size())) {}
  std::uint32_t of(NodeNumber from) const {
    const auto moved = moved_.find(from);
    return moved != moved_.end() ? moved->second : edges_.edge_group_of(from);
  }
  void remove(NodeNumber from) {
    const std::uint32_t place = of(from);
    if (place == kNone) return;
    const std::uint32_t last = --size_;
    if (place != last) {
      const auto held = at_.find(last);
      const NodeNumber last_from =
          held != at_.end() ? held->second : edges_.edge_groups()[last].from;
      at_[place] = last_from;
      moved_[last_from] = place;
    }
    moved_[from] = kNone;
  }

 private:
  const EdgeStore& edges_;
  std::uint32_t size_;
  // Trees rather than hash tables: a hash table's bucket array brings in a newer
  // C++ runtime symbol than the wheel's tag allows.
  std::map<NodeNumber, std::uint32_t> moved_;  // node → its group's place now
  std::map<std::uint32_t, NodeNumber> at_;     // place → the node whose group moved there
};

// Puts the deleted edge of each edge into `node` whose `from` `keep` accepts, in
// the order of the `from` nodes' groups (`place` says where each stands), as the
// rule walks the groups: so the order a deletion records depends on the history
// alone, not on the order of a reverse list. Logs each change into `log`, which
// has room for them all; `order` is scratch with room for the node's sources.
template <class Keep, class Place>
void put_deleted_edges_into(EdgeStore& edges, NodeNumber node, Keep keep, Place place,
                            std::vector<Change>& log,
                            std::vector<std::pair<std::uint32_t, NodeNumber>>& order) {
  order.clear();
  for (const auto& entry : edges.sources_of(node)) {
    const NodeNumber source = entry.key;
    if (source == node || !keep(source)) continue;  // a self-loop leaves with the node's own group
    order.emplace_back(place(source), source);
  }
  std::sort(order.begin(), order.end());
  for (const auto& [unused, source] : order) {
    const Change change = edges.put_deleted_edge(source, node);
    if (change.kind != Change::Kind::kUnchanged) log.push_back(change);
  }
}

}  // namespace

void GraphDiff::add_edges(std::span<const NodeId> from, std::span<const NodeId> to,
                          std::span<const float> weights) {
  assert(from.size() == to.size() && from.size() == weights.size());
  // The refusals are decided now, as the single calls would decide them; the
  // rows go to the log, or past it when they alone would fill it.
  std::vector<std::uint8_t> refused;
  if (!deleted_nodes_.empty()) {
    refused.resize(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) {
      refused[i] = deleted_nodes_.contains(from[i]) || deleted_nodes_.contains(to[i]);
    }
  }
  writes_ += std::min(from.size(), kEagerRun + 1);
  if (from.size() > pending_.room()) apply_pending();
  if (from.size() <= pending_.room()) {
    pending_.append(from, to, weights, refused);
    return;
  }
  edges_.put_edges(from, to, weights, refused);
  rebound();
}

void GraphDiff::delete_edges(std::span<const NodeId> from, std::span<const NodeId> to) {
  assert(from.size() == to.size());
  writes_ += std::min(from.size(), kEagerRun + 1);
  if (from.size() > pending_.room()) apply_pending();
  if (from.size() <= pending_.room()) {
    pending_.append_removals(from, to);
    return;
  }
  edges_.put_deleted_edges(from, to);
}

// The batch of one, without the ordering a batch needs across its rows.
void GraphDiff::delete_node(const NodeId& id) {
  settle();  // its edges, and the refusals after it, need every row in place
  const bool marked = deleted_nodes_.insert(id);
  const NodeNumber node = edges_.find(id);
  if (node != kNone) {
    std::vector<Change> log;
    std::vector<std::pair<std::uint32_t, NodeNumber>> order;
    try {
      const std::size_t most = edges_.sources_of(node).size();
      log.reserve(most);
      order.reserve(most);
      put_deleted_edges_into(
          edges_, node, [](NodeNumber) { return true; },
          [this](NodeNumber source) { return edges_.edge_group_of(source); }, log, order);
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
  settle();
  const std::size_t n = ids.size();
  constexpr std::size_t kNever = SIZE_MAX;
  // Each interned node with the first row that names it, by node. A later row
  // of the same id finds its edges gone already.
  std::vector<NodeNumber> nodes(n);
  std::vector<std::pair<NodeNumber, std::size_t>> first;
  first.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    nodes[i] = edges_.find(ids[i]);
    if (nodes[i] != kNone) first.emplace_back(nodes[i], i);
  }
  std::sort(first.begin(), first.end());  // by node, then row
  first.erase(std::unique(first.begin(), first.end(),
                          [](const auto& a, const auto& b) { return a.first == b.first; }),
              first.end());
  const auto first_row = [&first](NodeNumber node) noexcept {
    const auto it =
        std::lower_bound(first.begin(), first.end(), node,
                         [](const auto& entry, NodeNumber key) { return entry.first < key; });
    return it != first.end() && it->first == node ? it->second : kNever;
  };
  // A reverse list is compacted before it is walked, which changes nothing
  // that can be seen; then it names each `from` with an edge to the node once.
  std::size_t most = 0;
  std::size_t widest = 0;
  for (const auto& [node, row] : first) {
    const std::size_t sources = edges_.sources_of(node).size();
    most += sources;
    widest = std::max(widest, sources);
  }
  std::vector<Change> log;
  log.reserve(most);
  std::vector<std::pair<std::uint32_t, NodeNumber>> order;
  order.reserve(widest);
  std::vector<bool> marked(n);

  std::size_t done = 0;
  try {
    for (; done < n; ++done) marked[done] = deleted_nodes_.insert(ids[done]);
    // The deleted edges in the order the single calls put them: row by row, and
    // in a row in the order of the groups as the single call finds them, after
    // the earlier rows' own groups have left.
    GroupPlaces places(edges_);
    for (std::size_t i = 0; i < n; ++i) {
      const NodeNumber node = nodes[i];
      if (node == kNone || first_row(node) != i) continue;
      put_deleted_edges_into(
          edges_, node, [&](NodeNumber source) { return first_row(source) >= i; },
          [&places](NodeNumber source) { return places.of(source); }, log, order);
      places.remove(node);
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
