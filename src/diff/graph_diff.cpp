#include "diff/graph_diff.h"

#include <algorithm>
#include <utility>

namespace kovra {

namespace {

// Room for `extra` more elements with geometric growth: reserving size() + 1
// directly would reallocate on every insertion.
template <class T>
void reserve_more(std::vector<T>& items, std::size_t extra) {
  if (items.size() + extra > items.capacity()) {
    items.reserve(std::max(items.size() + extra, items.capacity() * 2));
  }
}

}  // namespace

NodeIndex GraphDiff::find_index(const NodeId& id) const noexcept {
  auto it = index_.find(id);
  return it == index_.end() ? kNone : it->second;
}

NodeIndex GraphDiff::intern(const NodeId& id) {
  if (slots_.size() >= kNone) throw std::bad_alloc();
  reserve_more(slots_, 1);  // first, so that nothing can fail after the index insert
  const auto [it, inserted] = index_.try_emplace(id, static_cast<NodeIndex>(slots_.size()));
  if (inserted) slots_.emplace_back().id = id;
  return it->second;
}

bool GraphDiff::has_edge(NodeIndex from, NodeIndex to) const noexcept {
  const std::uint32_t group = slots_[from].edge_group;
  return group != kNone && edge_groups_[group].targets.find(to) != kNone;
}

// Drops stale and repeated entries; sorting keeps it free of allocation.
void GraphDiff::compact_incoming(NodeIndex to) noexcept {
  slots_[to].incoming_stale = false;
  TargetList<NoValue, false>& incoming = slots_[to].incoming;
  if (incoming.empty()) return;
  auto* first = &incoming.at(0);
  std::sort(first, first + incoming.size(),
            [](const auto& a, const auto& b) { return a.key < b.key; });
  NodeIndex previous = kNone;
  incoming.retain_if([&](const TargetList<NoValue, false>::Entry& entry) {
    if (entry.key == previous) return false;
    previous = entry.key;
    return has_edge(entry.key, to);
  });
}

// Makes room for one more incoming entry, compacting instead of growing when
// churn has left stale entries behind.
void GraphDiff::reserve_incoming(NodeIndex to) {
  TargetList<NoValue, false>& incoming = slots_[to].incoming;
  if (slots_[to].incoming_stale && incoming.size() == incoming.capacity()) {
    compact_incoming(to);
    // Grow anyway when compaction freed little, so the sort stays amortised.
    const std::uint32_t spare = incoming.capacity() - incoming.size();
    if (spare < incoming.capacity() / 4) incoming.reserve(spare + 1);
  }
  incoming.reserve(1);
}

void GraphDiff::mark_targets_stale(const TargetList<float>& targets) noexcept {
  for (const auto& entry : targets) slots_[entry.key].incoming_stale = true;
}

void GraphDiff::remove_edge_group(std::uint32_t group) noexcept {
  slots_[edge_groups_[group].from].edge_group = kNone;
  if (group + 1 != edge_groups_.size()) {
    edge_groups_[group] = std::move(edge_groups_.back());
    slots_[edge_groups_[group].from].edge_group = group;
  }
  edge_groups_.pop_back();
}

void GraphDiff::remove_deleted_group(std::uint32_t group) noexcept {
  slots_[deleted_groups_[group].from].deleted_group = kNone;
  if (group + 1 != deleted_groups_.size()) {
    deleted_groups_[group] = std::move(deleted_groups_.back());
    slots_[deleted_groups_[group].from].deleted_group = group;
  }
  deleted_groups_.pop_back();
}

void GraphDiff::add_node(const NodeId& id, NodeUpdate&& update) {
  // try_emplace leaves `update` untouched when the id is present, so one probe
  // serves both the insert and the overlay.
  const auto [it, inserted] = nodes_.try_emplace(id, std::move(update));
  if (!inserted) it->second.merge(std::move(update));
  if (!deleted_nodes_.empty()) deleted_nodes_.erase(id);
}

void GraphDiff::delete_node(const NodeId& id) {
  const bool newly_deleted = deleted_nodes_.insert(id).second;
  const NodeIndex node = find_index(id);
  if (node != kNone) {
    // Every allocation happens before the first change, so running out of memory
    // leaves the diff as it was. New deleted-edge groups are appended first and
    // only linked to their `from` nodes once nothing can fail any more.
    const std::size_t first_new_group = deleted_groups_.size();
    try {
      if (slots_[node].incoming_stale) compact_incoming(node);
      for (const auto& entry : slots_[node].incoming) {
        const NodeIndex from = entry.key;
        if (from == node) continue;  // a self-loop leaves with the node's own group
        const std::uint32_t group = slots_[from].deleted_group;
        if (group == kNone) {
          reserve_more(deleted_groups_, 1);
          deleted_groups_.push_back(DeletedGroup{from, {}});
          deleted_groups_.back().targets.reserve(1);
        } else {
          deleted_groups_[group].targets.reserve(1);
        }
      }
    } catch (...) {
      deleted_groups_.resize(first_new_group);
      if (newly_deleted) deleted_nodes_.erase(id);
      throw;
    }
    std::size_t next_new_group = first_new_group;
    for (const auto& entry : slots_[node].incoming) {
      const NodeIndex from = entry.key;
      if (from == node) continue;
      Slot& source = slots_[from];
      if (source.deleted_group == kNone) {
        source.deleted_group = static_cast<std::uint32_t>(next_new_group++);
      }
      TargetList<NoValue>& targets = deleted_groups_[source.deleted_group].targets;
      if (targets.find(node) == kNone) targets.push_reserved(node, NoValue{});
      TargetList<float>& edges = edge_groups_[source.edge_group].targets;
      edges.erase_at(edges.find(node));
    }
    if (slots_[node].edge_group != kNone) {
      mark_targets_stale(edge_groups_[slots_[node].edge_group].targets);
      remove_edge_group(slots_[node].edge_group);
    }
    slots_[node].incoming.reset();
    slots_[node].incoming_stale = false;
  }
  nodes_.erase(id);
}

AddEdgeStatus GraphDiff::add_edge(const NodeId& from_id, const NodeId& to_id, float weight) {
  if (!deleted_nodes_.empty() &&
      (deleted_nodes_.contains(from_id) || deleted_nodes_.contains(to_id))) {
    return AddEdgeStatus::kEndpointDeleted;
  }
  const NodeIndex from = intern(from_id);
  const NodeIndex to = intern(to_id);
  const std::uint32_t group = slots_[from].edge_group;
  if (group != kNone) {
    TargetList<float>& targets = edge_groups_[group].targets;
    const std::uint32_t pos = targets.find(to);
    if (pos != kNone) {
      targets.at(pos).value = weight;
    } else {
      targets.reserve(1);
      reserve_incoming(to);
      targets.push_reserved(to, weight);
      slots_[to].incoming.push_reserved(from, NoValue{});
    }
  } else {
    reserve_more(edge_groups_, 1);
    TargetList<float> targets;
    targets.push(to, weight);
    reserve_incoming(to);
    slots_[from].edge_group = static_cast<std::uint32_t>(edge_groups_.size());
    edge_groups_.push_back(EdgeGroup{from, std::move(targets)});
    slots_[to].incoming.push_reserved(from, NoValue{});
  }
  const std::uint32_t deleted = slots_[from].deleted_group;
  if (deleted != kNone) {
    TargetList<NoValue>& targets = deleted_groups_[deleted].targets;
    const std::uint32_t pos = targets.find(to);
    if (pos != kNone) targets.erase_at(pos);
    if (targets.empty()) remove_deleted_group(deleted);
  }
  return AddEdgeStatus::kAdded;
}

void GraphDiff::delete_edge(const NodeId& from_id, const NodeId& to_id) {
  const NodeIndex from = intern(from_id);
  const NodeIndex to = intern(to_id);
  add_deleted_edge(from, to);
  const std::uint32_t group = slots_[from].edge_group;
  if (group != kNone) {
    TargetList<float>& targets = edge_groups_[group].targets;
    const std::uint32_t pos = targets.find(to);
    if (pos != kNone) {
      targets.erase_at(pos);
      slots_[to].incoming_stale = true;
    }
    if (targets.empty()) remove_edge_group(group);
  }
}

void GraphDiff::add_deleted_edge(NodeIndex from, NodeIndex to) {
  const std::uint32_t group = slots_[from].deleted_group;
  if (group != kNone) {
    TargetList<NoValue>& targets = deleted_groups_[group].targets;
    if (targets.find(to) == kNone) targets.push(to, NoValue{});
    return;
  }
  reserve_more(deleted_groups_, 1);
  TargetList<NoValue> targets;
  targets.push(to, NoValue{});
  slots_[from].deleted_group = static_cast<std::uint32_t>(deleted_groups_.size());
  deleted_groups_.push_back(DeletedGroup{from, std::move(targets)});
}

void GraphDiff::clear() noexcept {
  nodes_.clear();
  deleted_nodes_.clear();
  edge_groups_.clear();
  deleted_groups_.clear();
  slots_.clear();
  index_.clear();
}

void GraphDiff::reserve_nodes(std::size_t count) { nodes_.reserve(nodes_.size() + count); }

void GraphDiff::reserve_deleted_nodes(std::size_t count) {
  deleted_nodes_.reserve(deleted_nodes_.size() + count);
}

void GraphDiff::reserve_edge_groups(std::size_t count) {
  edge_groups_.reserve(edge_groups_.size() + count);
}

void GraphDiff::reserve_deleted_groups(std::size_t count) {
  deleted_groups_.reserve(deleted_groups_.size() + count);
}

void GraphDiff::load_node(const NodeId& id, NodeUpdate&& update) {
  nodes_.insert_or_assign(id, std::move(update));
}

void GraphDiff::load_deleted_node(const NodeId& id) { deleted_nodes_.insert(id); }

namespace {
std::uint32_t bounded(std::size_t reserve) {
  return reserve > 0x7fffffffu ? 0x7fffffffu : static_cast<std::uint32_t>(reserve);
}
}  // namespace

std::uint32_t GraphDiff::load_edge_group(const NodeId& from_id, std::size_t reserve) {
  const NodeIndex from = intern(from_id);
  std::uint32_t group = slots_[from].edge_group;
  if (group != kNone) {
    edge_groups_[group].targets.reset();
  } else {
    group = static_cast<std::uint32_t>(edge_groups_.size());
    edge_groups_.push_back(EdgeGroup{from, {}});
    slots_[from].edge_group = group;
  }
  edge_groups_[group].targets.reserve(bounded(reserve));
  return group;
}

void GraphDiff::load_edge(std::uint32_t group, const NodeId& to_id, float weight) {
  const NodeIndex to = intern(to_id);
  TargetList<float>& targets = edge_groups_[group].targets;
  const std::uint32_t pos = targets.find(to);
  if (pos != kNone) {
    targets.at(pos).value = weight;
    return;
  }
  targets.push(to, weight);
}

std::uint32_t GraphDiff::load_deleted_group(const NodeId& from_id, std::size_t reserve) {
  const NodeIndex from = intern(from_id);
  std::uint32_t group = slots_[from].deleted_group;
  if (group != kNone) {
    deleted_groups_[group].targets.reset();
  } else {
    group = static_cast<std::uint32_t>(deleted_groups_.size());
    deleted_groups_.push_back(DeletedGroup{from, {}});
    slots_[from].deleted_group = group;
  }
  deleted_groups_[group].targets.reserve(bounded(reserve));
  return group;
}

void GraphDiff::load_deleted_edge(std::uint32_t group, const NodeId& to_id) {
  const NodeIndex to = intern(to_id);
  TargetList<NoValue>& targets = deleted_groups_[group].targets;
  if (targets.find(to) == kNone) targets.push(to, NoValue{});
}

// One pass to size every reverse list exactly, one to fill them: cheaper than
// growing them edge by edge while the document is read.
void GraphDiff::finish_loading() {
  std::vector<std::uint32_t> in_degree(slots_.size(), 0);
  for (const EdgeGroup& group : edge_groups_) {
    for (const auto& entry : group.targets) ++in_degree[entry.key];
  }
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    slots_[i].incoming.reset();
    slots_[i].incoming_stale = false;
    if (in_degree[i] != 0) slots_[i].incoming.reserve(in_degree[i]);
  }
  for (const EdgeGroup& group : edge_groups_) {
    for (const auto& entry : group.targets) {
      slots_[entry.key].incoming.push_reserved(group.from, NoValue{});
    }
  }
}

bool GraphDiff::consistent() const {
  if (index_.size() != slots_.size()) return false;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (find_index(slots_[i].id) != i) return false;
    const Slot& slot = slots_[i];
    if (slot.edge_group != kNone &&
        (slot.edge_group >= edge_groups_.size() || edge_groups_[slot.edge_group].from != i)) {
      return false;
    }
    if (slot.deleted_group != kNone && (slot.deleted_group >= deleted_groups_.size() ||
                                        deleted_groups_[slot.deleted_group].from != i)) {
      return false;
    }
    if (!slot.incoming_stale) {  // then exact: one entry per edge that reaches the node
      std::vector<NodeIndex> sources;
      for (const auto& entry : slot.incoming) sources.push_back(entry.key);
      std::sort(sources.begin(), sources.end());
      if (std::adjacent_find(sources.begin(), sources.end()) != sources.end()) return false;
      for (NodeIndex from : sources) {
        if (!has_edge(from, static_cast<NodeIndex>(i))) return false;
      }
    }
  }
  for (std::size_t g = 0; g < edge_groups_.size(); ++g) {
    const EdgeGroup& group = edge_groups_[g];
    if (slots_[group.from].edge_group != g) return false;
    for (std::uint32_t p = 0; p < group.targets.size(); ++p) {
      const NodeIndex to = group.targets.at(p).key;
      if (group.targets.find(to) != p) return false;  // unique and indexed
      bool listed = false;
      for (const auto& entry : slots_[to].incoming) listed = listed || entry.key == group.from;
      if (!listed) return false;
    }
  }
  for (std::size_t g = 0; g < deleted_groups_.size(); ++g) {
    const DeletedGroup& group = deleted_groups_[g];
    if (slots_[group.from].deleted_group != g) return false;
    for (std::uint32_t p = 0; p < group.targets.size(); ++p) {
      if (group.targets.find(group.targets.at(p).key) != p) return false;
    }
  }
  return true;
}

}  // namespace kovra
