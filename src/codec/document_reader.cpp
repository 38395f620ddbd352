#include "codec/document_reader.h"

#include <cstdint>

#include "codec/byte_cursor.h"
#include "codec/node_record_json.h"

namespace kovra {

namespace {

// The fewest bytes one entry of each kind takes, which bounds how many entries the
// rest of the input can hold.
constexpr std::size_t kMinNodeEntry = kIdFieldSize + 8;
constexpr std::size_t kMinGroup = kIdFieldSize + 8;
constexpr std::size_t kEdgeEntry = kIdFieldSize + 4;

// Reserve no more than the remaining input could fill: a forged count fails at the
// first missing byte, not in the allocator.
std::size_t reservation(std::uint64_t count, std::size_t remaining, std::size_t entry) noexcept {
  const std::size_t fits = remaining / entry;
  return count < fits ? static_cast<std::size_t>(count) : fits;
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
  diff.reserve_nodes(reservation(count, in.remaining(), kMinNodeEntry));
  NodeSet broken;
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId id;
    std::string_view text;
    if (!in.read_id(id) || !in.read_text(text) || !is_valid_utf8(text)) return std::nullopt;
    auto update = node_update_from_json(text);
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

  if (!in.read_u64(count)) return std::nullopt;
  diff.reserve_edge_groups(reservation(count, in.remaining(), kMinGroup));
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId from;
    std::uint64_t edges;
    if (!in.read_id(from) || !in.read_u64(edges)) return std::nullopt;
    const std::uint32_t group =
        diff.load_edge_group(from, reservation(edges, in.remaining(), kEdgeEntry));
    for (std::uint64_t j = 0; j < edges; ++j) {
      NodeId to;
      float weight;
      if (!in.read_id(to) || !in.read_f32(weight)) return std::nullopt;
      diff.load_edge(group, to, weight);
    }
  }

  if (!in.read_u64(count)) return std::nullopt;
  diff.reserve_deleted_groups(reservation(count, in.remaining(), kMinGroup));
  for (std::uint64_t i = 0; i < count; ++i) {
    NodeId from;
    std::uint64_t edges;
    if (!in.read_id(from) || !in.read_u64(edges)) return std::nullopt;
    const std::uint32_t group =
        diff.load_deleted_group(from, reservation(edges, in.remaining(), kIdFieldSize));
    for (std::uint64_t j = 0; j < edges; ++j) {
      NodeId to;
      if (!in.read_id(to)) return std::nullopt;
      diff.load_deleted_edge(group, to);
    }
  }
  // Whatever follows the last section is not part of the document.
  diff.finish_loading();
  return diff;
}

}  // namespace kovra
