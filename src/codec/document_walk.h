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

// Reserve no more than the remaining input could fill: a forged count fails at the
// first missing byte, not in the allocator.
inline std::size_t reservation(std::uint64_t count, std::size_t remaining,
                               std::size_t entry) noexcept {
  const std::size_t fits = remaining / entry;
  return count < fits ? static_cast<std::size_t>(count) : fits;
}

// A sink takes, section by section:
//   reserve_nodes(n); node(id, bytes) -> RecordCheck, of a record's bytes not yet
//     checked as UTF-8 (see read_node_record)
//   reserve_deleted_nodes(n); deleted_node(id)
//   reserve_edge_groups(n); edge_group(from, reserve) -> G; edge(G, to, weight)
//   reserve_deleted_groups(n); deleted_group(from, reserve) -> G; deleted_edge(G, to)
// A sink that keeps nothing of the entries of groups declares
// `static constexpr bool kGroupsOnly = true` and need not take edge() or
// deleted_edge(): their entries are then checked without being read one by one
// (ByteCursor::skip_id_entries), a fast path whose general twin is the entry by
// entry read below it. The merge's sinks take the fast path and the reader's the
// general one; fuzz/fuzz_document_merge.cpp holds them together, as a merge must
// refuse exactly the inputs that the reader refuses.
// Every function returns false for a malformed document, leaving `in` wherever the
// failure was found.
template <class Sink>
concept GroupsOnly = requires { requires Sink::kGroupsOnly; };

// The node and deleted-node sections. A record that a later entry of the same id
// replaces does not count, even if it is broken: such ids wait in `broken` until a
// later valid record clears them.
template <class Sink>
[[nodiscard]] bool walk_node_sections(ByteCursor& in, Sink& sink) {
  std::uint64_t count;
  if (!in.read_u64(count)) return false;
  sink.reserve_nodes(reservation(count, in.remaining(), kNodeEntryFixed));
  NodeSet broken;
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId id;
    std::string_view text;
    if (!in.read_id(id) || !in.read_text(text)) return false;
    const RecordCheck check = sink.node(id, text);
    if (check == RecordCheck::kNotUtf8) return false;
    if (check == RecordCheck::kInvalid) {
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

// The edge and the deleted-edge section alike: groups of a `from` id and its
// targets, each target with a weight in the first and nothing more in the second.
// The deleted-edge section ends the document: whatever follows it is not part of it.
template <bool kWeighted, class Sink>
[[nodiscard]] bool walk_groups(ByteCursor& in, Sink& sink) {
  constexpr std::size_t kEntry = kWeighted ? kEdgeEntry : kDeletedEdgeEntry;
  std::uint64_t count;
  if (!in.read_u64(count)) return false;
  const std::size_t groups = reservation(count, in.remaining(), kGroupFixed);
  if constexpr (kWeighted) {
    sink.reserve_edge_groups(groups);
  } else {
    sink.reserve_deleted_groups(groups);
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId from;
    std::uint64_t edges;
    if (!in.read_id(from) || !in.read_u64(edges)) return false;
    const std::size_t room = reservation(edges, in.remaining(), kEntry);
    const auto group = [&] {
      if constexpr (kWeighted) {
        return sink.edge_group(from, room);
      } else {
        return sink.deleted_group(from, room);
      }
    }();
    if constexpr (GroupsOnly<Sink>) {
      static_cast<void>(group);
      if (!in.skip_id_entries(edges, kEntry)) return false;
    } else {
      for (std::uint64_t j = 0; j < edges; ++j) {
        NodeId to;
        if (!in.read_id(to)) return false;
        if constexpr (kWeighted) {
          float weight;
          if (!in.read_f32(weight)) return false;
          sink.edge(group, to, weight);
        } else {
          sink.deleted_edge(group, to);
        }
      }
    }
  }
  return true;
}
template <class Sink>
[[nodiscard]] bool walk_edge_groups(ByteCursor& in, Sink& sink) {
  return walk_groups<true>(in, sink);
}
template <class Sink>
[[nodiscard]] bool walk_deleted_groups(ByteCursor& in, Sink& sink) {
  return walk_groups<false>(in, sink);
}

// The whole document, section by section.
template <class Sink>
[[nodiscard]] bool walk_document(ByteCursor& in, Sink& sink) {
  return walk_node_sections(in, sink) && walk_edge_groups(in, sink) &&
         walk_deleted_groups(in, sink);
}

}  // namespace kovra
