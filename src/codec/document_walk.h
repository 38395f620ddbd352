// The walk over a graph diff document that every reader of it shares: the order of
// the sections, the reads, which node records count, and how much a count may
// reserve. What becomes of each entry is left to a sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec/byte_cursor.h"
#include "codec/node_record_json.h"
#include "diff/graph_diff.h"

namespace kovra {

// The fewest bytes one entry of each kind takes, which bounds how many entries the
// rest of the input can hold.
inline constexpr std::size_t kMinNodeEntry = kIdFieldSize + 8;
inline constexpr std::size_t kMinGroup = kIdFieldSize + 8;
inline constexpr std::size_t kEdgeEntry = kIdFieldSize + 4;

// Reserve no more than the remaining input could fill: a forged count fails at the
// first missing byte, not in the allocator.
inline std::size_t reservation(std::uint64_t count, std::size_t remaining,
                               std::size_t entry) noexcept {
  const std::size_t fits = remaining / entry;
  return count < fits ? static_cast<std::size_t>(count) : fits;
}

// A sink takes, section by section:
//   reserve_nodes(n); node(id, text) -> bool, false when the text is no valid record
//   reserve_deleted_nodes(n); deleted_node(id)
//   reserve_edge_groups(n); edge_group(from, reserve) -> G; edge(G, to, weight)
//   reserve_deleted_groups(n); deleted_group(from, reserve) -> G; deleted_edge(G, to)
// Every function returns false for a malformed document, leaving `in` wherever the
// failure was found.

// The node and deleted-node sections. A record that a later entry of the same id
// replaces does not count, even if it is broken: such ids wait in `broken` until a
// later valid record clears them.
template <class Sink>
[[nodiscard]] bool walk_node_sections(ByteCursor& in, Sink& sink) {
  std::uint64_t count;
  if (!in.read_u64(count)) return false;
  sink.reserve_nodes(reservation(count, in.remaining(), kMinNodeEntry));
  NodeSet broken;
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId id;
    std::string_view text;
    if (!in.read_id(id) || !in.read_text(text) || !is_valid_utf8(text)) return false;
    if (!sink.node(id, text)) {
      broken.insert(id);
    } else if (!broken.empty()) {
      broken.erase(id);
    }
  }
  if (!broken.empty()) return false;

  if (!in.read_u64(count)) return false;
  sink.reserve_deleted_nodes(reservation(count, in.remaining(), kIdFieldSize));
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId id;
    if (!in.read_id(id)) return false;
    sink.deleted_node(id);
  }
  return true;
}

// The edge section: groups of (to, weight) by their `from` id.
template <class Sink>
[[nodiscard]] bool walk_edge_groups(ByteCursor& in, Sink& sink) {
  std::uint64_t count;
  if (!in.read_u64(count)) return false;
  sink.reserve_edge_groups(reservation(count, in.remaining(), kMinGroup));
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId from;
    std::uint64_t edges;
    if (!in.read_id(from) || !in.read_u64(edges)) return false;
    const auto group = sink.edge_group(from, reservation(edges, in.remaining(), kEdgeEntry));
    for (std::uint64_t j = 0; j < edges; ++j) {
      NodeId to;
      float weight;
      if (!in.read_id(to) || !in.read_f32(weight)) return false;
      sink.edge(group, to, weight);
    }
  }
  return true;
}

// The deleted-edge section, which ends the document: whatever follows it is not
// part of it.
template <class Sink>
[[nodiscard]] bool walk_deleted_groups(ByteCursor& in, Sink& sink) {
  std::uint64_t count;
  if (!in.read_u64(count)) return false;
  sink.reserve_deleted_groups(reservation(count, in.remaining(), kMinGroup));
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId from;
    std::uint64_t edges;
    if (!in.read_id(from) || !in.read_u64(edges)) return false;
    const auto group = sink.deleted_group(from, reservation(edges, in.remaining(), kIdFieldSize));
    for (std::uint64_t j = 0; j < edges; ++j) {
      NodeId to;
      if (!in.read_id(to)) return false;
      sink.deleted_edge(group, to);
    }
  }
  return true;
}

// The whole document, section by section.
template <class Sink>
[[nodiscard]] bool walk_document(ByteCursor& in, Sink& sink) {
  return walk_node_sections(in, sink) && walk_edge_groups(in, sink) &&
         walk_deleted_groups(in, sink);
}

}  // namespace kovra
