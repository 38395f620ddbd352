#include "codec/document_reader.h"

#include <cstdint>

#include "codec/byte_cursor.h"
#include "codec/node_record_json.h"

namespace kovra {

namespace {

// Reserve no more than the remaining input could fill: a forged count fails at the
// first missing byte, not in the allocator.
std::size_t reservation(std::uint64_t count, std::size_t remaining, std::size_t entry) noexcept {
  const std::size_t fits = remaining / entry;
  return count < fits ? static_cast<std::size_t>(count) : fits;
}

// The edge and the deleted-edge section alike: groups of a `from` id and its
// targets, each target with a weight in the first and nothing more in the second.
template <bool kWeighted>
bool read_groups(ByteCursor& in, GraphDiff& diff) {
  constexpr std::size_t kEntry = kWeighted ? kEdgeEntry : kDeletedEdgeEntry;
  std::uint64_t count;
  if (!in.read_u64(count)) return false;
  const std::size_t groups = reservation(count, in.remaining(), kGroupFixed);
  if constexpr (kWeighted) {
    diff.reserve_edge_groups(groups);
  } else {
    diff.reserve_deleted_groups(groups);
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId from;
    std::uint64_t edges;
    if (!in.read_id(from) || !in.read_u64(edges)) return false;
    const std::size_t room = reservation(edges, in.remaining(), kEntry);
    const std::uint32_t group =
        kWeighted ? diff.load_edge_group(from, room) : diff.load_deleted_group(from, room);
    for (std::uint64_t j = 0; j < edges; ++j) {
      NodeId to;
      if (!in.read_id(to)) return false;
      if constexpr (kWeighted) {
        float weight;
        if (!in.read_f32(weight)) return false;
        diff.load_edge(group, to, weight);
      } else {
        diff.load_deleted_edge(group, to);
      }
    }
  }
  return true;
}

}  // namespace

std::optional<GraphDiff> deserialize_graph_diff(std::string_view data) {
  ByteCursor in(data);
  std::uint64_t count;
  GraphDiff diff;

  // Each text is parsed as soon as it is read, while its bytes are in cache. A
  // text that a later entry of the same id replaces does not count, even if it is
  // broken: such ids wait in `broken` until a later valid text clears them.
  if (!in.read_u64(count)) return std::nullopt;
  diff.reserve_nodes(reservation(count, in.remaining(), kNodeEntryFixed));
  NodeSet broken;
  TextChunks texts;
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId id;
    std::string_view text;
    if (!in.read_id(id) || !in.read_text(text) || !is_valid_utf8(text)) return std::nullopt;
    auto update = node_update_from_json(text, &texts);
    if (!update) {
      broken.insert(id);
      continue;
    }
    diff.load_node(id, std::move(*update));
    if (!broken.empty()) broken.erase(id);
  }
  if (!broken.empty()) return std::nullopt;

  if (!in.read_u64(count)) return std::nullopt;
  diff.reserve_deleted_nodes(reservation(count, in.remaining(), kIdFieldSize));
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId id;
    if (!in.read_id(id)) return std::nullopt;
    diff.load_deleted_node(id);
  }

  if (!read_groups<true>(in, diff) || !read_groups<false>(in, diff)) return std::nullopt;
  // Whatever follows the last section is not part of the document.
  diff.finish_loading();
  return diff;
}

}  // namespace kovra
