// Raw bytes cut into up to four documents and merged. A merge must refuse exactly
// when the reader refuses an input; a conflict it reports must be real; a merged
// document must read back as the first input's nodes and every input's groups.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codec/document_merge.h"
#include "codec/document_reader.h"
#include "diff_snapshot.h"

namespace {

// The first byte gives the number of documents, 1 to 4; each but the last is then
// a 2-byte little-endian length and that many bytes (fewer at the end of the input).
std::vector<std::string_view> cut(std::string_view input) {
  std::vector<std::string_view> parts;
  if (input.empty()) return parts;
  const std::size_t count = 1 + (static_cast<unsigned char>(input[0]) & 3);
  input.remove_prefix(1);
  while (parts.size() + 1 < count && input.size() >= 2) {
    std::size_t length = static_cast<unsigned char>(input[0]) |
                         static_cast<std::size_t>(static_cast<unsigned char>(input[1])) << 8;
    input.remove_prefix(2);
    if (length > input.size()) length = input.size();
    parts.push_back(input.substr(0, length));
    input.remove_prefix(length);
  }
  parts.push_back(input);
  return parts;
}

bool holds_groups(const kovra::testing::DiffSnapshot& s, const kovra::testing::IdKey& from) {
  return s.edges.count(from) != 0 || s.deleted_edges.count(from) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kovra::testing::snapshot;
  const std::vector<std::string_view> parts =
      cut(std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<std::optional<kovra::GraphDiff>> read;
  for (std::string_view part : parts) read.push_back(kovra::deserialize_graph_diff(part));
  const kovra::MergeOutcome outcome = kovra::merge_documents(parts);

  for (std::size_t i = 0; i < read.size(); ++i) {
    if (read[i]) continue;
    const auto* malformed = std::get_if<kovra::MalformedDocument>(&outcome);
    if (malformed == nullptr || malformed->input != i) std::abort();
    return 0;
  }
  std::vector<kovra::testing::DiffSnapshot> shots;
  for (const auto& diff : read) shots.push_back(snapshot(*diff));

  if (const auto* conflict = std::get_if<kovra::MergeConflict>(&outcome)) {
    const kovra::NodeId& id = conflict->id;
    const auto& a = *read[conflict->first];
    const auto& b = *read[conflict->second];
    bool real = false;
    switch (conflict->kind) {
      case kovra::MergeConflict::Kind::kNode: {
        const auto* x = a.nodes().find(id);
        const auto* y = b.nodes().find(id);
        const bool in_a = x != a.nodes().end();
        const bool in_b = y != b.nodes().end();
        real = in_a != in_b || (in_a && !(x->second == y->second));
        break;
      }
      case kovra::MergeConflict::Kind::kDeletedNode:
        real = a.deleted_nodes().contains(id) != b.deleted_nodes().contains(id);
        break;
      case kovra::MergeConflict::Kind::kEdgesFrom:
        real = conflict->first != conflict->second &&
               holds_groups(shots[conflict->first], id.bytes) &&
               holds_groups(shots[conflict->second], id.bytes);
        break;
    }
    if (!real) std::abort();
    return 0;
  }

  const auto& merged = std::get<kovra::MergedDocument>(outcome);
  std::string bytes(merged.size(), '\0');
  merged.write(bytes.data());
  const auto whole = kovra::deserialize_graph_diff(bytes);
  if (!whole || !whole->consistent()) std::abort();
  kovra::testing::DiffSnapshot expected;
  if (!shots.empty()) {
    expected.nodes = shots[0].nodes;
    expected.deleted_nodes = shots[0].deleted_nodes;
  }
  std::set<kovra::testing::IdKey> taken;  // `from` ids with groups in earlier inputs
  for (const auto& shot : shots) {
    if (shot.nodes != expected.nodes || shot.deleted_nodes != expected.deleted_nodes) std::abort();
    std::set<kovra::testing::IdKey> own;
    for (const auto& [from, targets] : shot.edges) own.insert(from);
    for (const auto& [from, targets] : shot.deleted_edges) own.insert(from);
    for (const auto& from : own) {
      if (!taken.insert(from).second) std::abort();  // accepted although shared
    }
    expected.edges.insert(shot.edges.begin(), shot.edges.end());
    expected.deleted_edges.insert(shot.deleted_edges.begin(), shot.deleted_edges.end());
  }
  if (!(snapshot(*whole) == expected)) std::abort();
  return 0;
}
