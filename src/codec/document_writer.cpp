#include "codec/document_writer.h"

#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>

#include "codec/byte_cursor.h"
#include "codec/node_record_json.h"
#include "diff/group_prefetch.h"

namespace kovra {

namespace {

// The largest document a caller can hold: a bytes object's size is a signed value.
constexpr std::uint64_t kMaxDocument = std::numeric_limits<std::ptrdiff_t>::max();

[[nodiscard]] bool add_checked(std::uint64_t& total, std::uint64_t count,
                               std::uint64_t each) noexcept {
  std::uint64_t product;
  return !__builtin_mul_overflow(count, each, &product) &&
         !__builtin_add_overflow(total, product, &total);
}

// Calls visit(id, update) for every node, fetching what it will need a few steps
// ahead: the entry itself well ahead, then, once that has arrived, its texts, which
// are a separate allocation. Waiting for either dominates the walk of a large diff.
template <class Visit>
void for_each_node(const NodeMap& nodes, Visit&& visit) {
  auto near = nodes.begin();
  for (std::size_t i = 0; i < kEntriesAhead && near != nodes.end(); ++i) ++near;
  auto far = near;
  for (std::size_t i = kEntriesAhead; i < kFarEntriesAhead && far != nodes.end(); ++i) ++far;
  for (const auto& [id, update] : nodes) {
    if (far != nodes.end()) {
      __builtin_prefetch(&*far);
      ++far;
    }
    if (near != nodes.end()) {
      if (const auto label = near->second.label()) __builtin_prefetch(label->data());
      ++near;
    }
    visit(id, update);
  }
}

template <class Group>
[[nodiscard]] bool measure_groups(std::uint64_t& total, std::span<const Group> groups,
                                  std::size_t entry) noexcept {
  for (const Group& group : groups) {
    if (!add_checked(total, 1, kGroupFixed) || !add_checked(total, group.targets.size(), entry)) {
      return false;
    }
  }
  return true;
}

// The edge and the deleted-edge section alike; only edges carry a weight.
template <class Group>
char* write_groups(char* out, const GraphDiff& diff, std::span<const Group> groups) noexcept {
  out = put_u64(out, groups.size());
  EntriesAhead ahead(groups, kEntriesAhead);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    prefetch_group(diff, groups, g);
    const Group& group = groups[g];
    out = put_u64(put_id(out, diff.id_of(group.from)), group.targets.size());
    for (const auto& edge : group.targets) {
      if (const auto* later = ahead.next()) __builtin_prefetch(&diff.id_of(later->key));
      out = put_id(out, diff.id_of(edge.key));
      if constexpr (std::is_same_v<Group, EdgeGroup>) out = put_f32(out, edge.value);
    }
  }
  return out;
}

}  // namespace

std::optional<DocumentWriter> DocumentWriter::measure(const GraphDiff& diff) {
  DocumentWriter writer(diff);
  std::uint64_t total = kSectionCounts;
  bool overflow = false;
  writer.sketches_.resize(diff.nodes().size());
  RecordSketch* sketch = writer.sketches_.data();
  for_each_node(diff.nodes(), [&](const NodeId&, const NodeUpdate& update) {
    overflow |= !add_checked(total, 1, kNodeEntryFixed + node_record_length(update, *sketch++));
  });
  if (overflow) return std::nullopt;
  if (!add_checked(total, diff.deleted_nodes().size(), kIdFieldSize) ||
      !measure_groups(total, diff.edge_groups(), kEdgeEntry) ||
      !measure_groups(total, diff.deleted_groups(), kDeletedEdgeEntry)) {
    return std::nullopt;
  }
  if (total > kMaxDocument) return std::nullopt;
  writer.size_ = static_cast<std::size_t>(total);
  return writer;
}

void DocumentWriter::write(char* out) const noexcept {
  const GraphDiff& diff = *diff_;
  out = put_u64(out, diff.nodes().size());
  const RecordSketch* sketch = sketches_.data();
  for_each_node(diff.nodes(), [&](const NodeId& id, const NodeUpdate& update) {
    out = put_id(out, id);
    // The text goes first and its length behind it: measuring it again would cost
    // as much as writing it.
    char* const text = out + 8;
    char* const end = write_node_record(update, *sketch++, text);
    put_u64(out, static_cast<std::uint64_t>(end - text));
    out = end;
  });
  out = put_u64(out, diff.deleted_nodes().size());
  for (const NodeId& id : diff.deleted_nodes()) out = put_id(out, id);
  out = write_groups(out, diff, diff.edge_groups());
  write_groups(out, diff, diff.deleted_groups());
}

std::optional<std::string> serialize_graph_diff(const GraphDiff& diff) {
  const auto writer = DocumentWriter::measure(diff);
  if (!writer) return std::nullopt;
  std::string document(writer->size(), '\0');
  writer->write(document.data());
  return document;
}

}  // namespace kovra
