#include "diff/graph_diff.h"

#include <utility>

namespace kovra {

GraphDiff::GraphDiff(GraphDiff&& other) noexcept
    : nodes_(std::move(other.nodes_)),
      deleted_nodes_(std::move(other.deleted_nodes_)),
      edges_(std::move(other.edges_)),
      pending_(std::move(other.pending_)) {
  other.clear();
}

GraphDiff& GraphDiff::operator=(GraphDiff&& other) noexcept {
  if (this != &other) {
    edges_ = std::move(other.edges_);
    pending_ = std::move(other.pending_);
    nodes_ = std::move(other.nodes_);
    deleted_nodes_ = std::move(other.deleted_nodes_);
    other.clear();
  }
  return *this;
}

void GraphDiff::add_node(const NodeId& id, NodeUpdate&& update) {
  // try_emplace leaves `update` untouched when the id is present, so one probe
  // serves both the insert and the overlay.
  const auto [entry, inserted] = nodes_.try_emplace(id, std::move(update));
  if (!inserted) entry->second.merge(std::move(update));
  if (!deleted_nodes_.empty()) deleted_nodes_.erase(id);
}

void GraphDiff::delete_edge(const NodeId& from_id, const NodeId& to_id) {
  if (immediate()) {
    put_deleted_edge_now(from_id, to_id);
    return;
  }
  if (pending_.size() >= pending_.bound()) apply_pending();
  pending_.remove(from_id, to_id);
}

// The two single steps: for a row that applies at once, while the log is
// empty, and for a row of a short run.
void GraphDiff::put_edge_now(const NodeId& from_id, const NodeId& to_id, float weight) const {
  const NodeNumber from = edges_.intern(from_id).number;
  NodeNumber to = kNone;
  try {
    to = edges_.intern(to_id).number;
    static_cast<void>(edges_.put_edge(from, to, weight));
  } catch (...) {
    if (to != kNone) edges_.release_if_unused(to);
    edges_.release_if_unused(from);
    throw;
  }
  if (edges_.has_deleted_group(from)) edges_.erase_deleted_edge(from, to);
}

void GraphDiff::put_deleted_edge_now(const NodeId& from_id, const NodeId& to_id) const {
  const NodeNumber from = edges_.intern(from_id).number;
  NodeNumber to = kNone;
  try {
    to = edges_.intern(to_id).number;
    static_cast<void>(edges_.put_deleted_edge(from, to));
  } catch (...) {
    if (to != kNone) edges_.release_if_unused(to);
    edges_.release_if_unused(from);
    throw;
  }
  edges_.erase_edge(from, to);
}

void GraphDiff::apply_pending() const {
  pending_.apply_runs([this](bool deletions, std::span<const NodeId> from,
                             std::span<const NodeId> to, std::span<const float> weights) {
    if (from.size() == 1) {
      if (deletions) {
        put_deleted_edge_now(from[0], to[0]);
      } else {
        put_edge_now(from[0], to[0], weights[0]);
      }
    } else if (deletions) {
      edges_.put_deleted_edges(from, to);
    } else {
      edges_.put_edges(from, to, weights, {});
    }
  });
  rebound();
}

void GraphDiff::clear() noexcept {
  pending_.clear();
  pending_.rebound(0);
  writes_ = 0;
  eager_ = true;
  edges_.clear();
  nodes_.clear();
  deleted_nodes_.clear();
}

std::size_t GraphDiff::heap_bytes() const noexcept {
  std::size_t bytes = nodes_.heap_bytes() + deleted_nodes_.heap_bytes() + edges_.heap_bytes() +
                      pending_.rows_bytes();
  for (const auto& [id, update] : nodes_) bytes += update.text_heap_bytes();
  return bytes;
}

void GraphDiff::reserve_nodes(std::size_t count) { nodes_.reserve(count); }

void GraphDiff::reserve_deleted_nodes(std::size_t count) { deleted_nodes_.reserve(count); }

void GraphDiff::load_node(const NodeId& id, NodeUpdate&& update) {
  nodes_.insert_or_assign(id, std::move(update));
}

void GraphDiff::load_deleted_node(const NodeId& id) { deleted_nodes_.insert(id); }

}  // namespace kovra
