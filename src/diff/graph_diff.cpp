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
  if (note_edge_call()) {
    edges_.put_row(from_id, to_id, 0.0f, true);
    return;
  }
  if (pending_.full()) apply_pending();
  pending_.remove(from_id, to_id);
}

// A short log goes a row at a time: working ahead costs more than it hides
// over a few rows.
void GraphDiff::apply_pending() const {
  const std::size_t rows = pending_.size();
  std::size_t applied = 0;
  try {
    if (rows < kFewRows) {
      RowKinds kinds(pending_.deletions());
      for (; applied < rows; ++applied) {
        edges_.put_row(pending_.from()[applied], pending_.to()[applied],
                       pending_.weights()[applied], kinds.deletes(applied));
      }
    } else {
      edges_.put_rows(pending_.from(), pending_.to(), pending_.weights(), pending_.deletions(),
                      applied);
    }
  } catch (...) {
    pending_.consume(applied);
    throw;
  }
  pending_.clear();
  rebound();
}

void GraphDiff::clear() noexcept {
  pending_.release();
  writes_ = 0;
  eager_ = true;
  edges_.clear();
  nodes_.clear();
  deleted_nodes_.clear();
}

std::size_t GraphDiff::heap_bytes() const noexcept {
  std::size_t bytes = nodes_.heap_bytes() + deleted_nodes_.heap_bytes() + edges_.heap_bytes() +
                      pending_.heap_bytes();
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
