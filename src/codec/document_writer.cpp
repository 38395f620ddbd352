#include "codec/document_writer.h"

#include <cstdint>
#include <limits>

#include "codec/byte_cursor.h"
#include "codec/group_prefetch.h"
#include "codec/node_record_json.h"

namespace kovra {

namespace {

// Per entry, besides its text or its inner entries: an id, and a length or a count.
constexpr std::size_t kNodeEntryFixed = kIdFieldSize + 8;
constexpr std::size_t kGroupFixed = kIdFieldSize + 8;
constexpr std::size_t kEdgeEntry = kIdFieldSize + 4;

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
  constexpr int kEntryLookahead = 16;
  constexpr int kTextLookahead = 8;
  auto near = nodes.begin();
  for (int i = 0; i < kTextLookahead && near != nodes.end(); ++i) ++near;
  auto far = near;
  for (int i = kTextLookahead; i < kEntryLookahead && far != nodes.end(); ++i) ++far;
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

}  // namespace

std::optional<DocumentWriter> DocumentWriter::measure(const GraphDiff& diff) {
  DocumentWriter writer(diff);
  std::uint64_t total = 4 * 8;  // the four section counts
  bool overflow = false;
  writer.sketches_.resize(diff.nodes().size());
  RecordSketch* sketch = writer.sketches_.data();
  for_each_node(diff.nodes(), [&](const NodeId&, const NodeUpdate& update) {
    overflow |= !add_checked(total, 1, kNodeEntryFixed + node_record_length(update, *sketch++));
  });
  if (overflow) return std::nullopt;
  if (!add_checked(total, diff.deleted_nodes().size(), kIdFieldSize)) return std::nullopt;
  for (const EdgeGroup& group : diff.edge_groups()) {
    if (!add_checked(total, 1, kGroupFixed) ||
        !add_checked(total, group.targets.size(), kEdgeEntry)) {
      return std::nullopt;
    }
  }
  for (const DeletedGroup& group : diff.deleted_groups()) {
    if (!add_checked(total, 1, kGroupFixed) ||
        !add_checked(total, group.targets.size(), kIdFieldSize)) {
      return std::nullopt;
    }
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
  const auto groups = diff.edge_groups();
  out = put_u64(out, groups.size());
  EntriesAhead ahead(groups, kTargetLookahead);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    prefetch_group(diff, groups, g);
    const EdgeGroup& group = groups[g];
    out = put_u64(put_id(out, diff.id_of(group.from)), group.targets.size());
    for (const auto& edge : group.targets) {
      if (const auto* later = ahead.next()) __builtin_prefetch(&diff.id_of(later->key));
      out = put_f32(put_id(out, diff.id_of(edge.key)), edge.value);
    }
  }
  const auto deleted = diff.deleted_groups();
  out = put_u64(out, deleted.size());
  EntriesAhead deleted_ahead(deleted, kTargetLookahead);
  for (std::size_t g = 0; g < deleted.size(); ++g) {
    prefetch_group(diff, deleted, g);
    const DeletedGroup& group = deleted[g];
    out = put_u64(put_id(out, diff.id_of(group.from)), group.targets.size());
    for (const auto& edge : group.targets) {
      if (const auto* later = deleted_ahead.next()) __builtin_prefetch(&diff.id_of(later->key));
      out = put_id(out, diff.id_of(edge.key));
    }
  }
}

std::optional<std::string> serialize_graph_diff(const GraphDiff& diff) {
  const auto writer = DocumentWriter::measure(diff);
  if (!writer) return std::nullopt;
  std::string document(writer->size(), '\0');
  writer->write(document.data());
  return document;
}

}  // namespace kovra
