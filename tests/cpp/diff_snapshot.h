// The contents of a GraphDiff in ordered containers, so two diffs compare equal
// exactly when they hold the same entries, whatever order their tables keep.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "diff/graph_diff.h"

namespace kovra::testing {

using IdKey = std::array<std::uint8_t, 16>;

// A NodeUpdate as the document carries it: a size that is not finite is written
// as null and so reads back absent; sizes compare bit for bit.
struct UpdateFields {
  std::optional<std::string> label;
  std::optional<std::uint32_t> size_bits;
  std::optional<std::string> url;
  std::optional<std::uint8_t> red, green, blue;
  std::optional<bool> show_label;
  friend bool operator==(const UpdateFields&, const UpdateFields&) = default;
};

inline UpdateFields fields_of(const NodeUpdate& update) {
  UpdateFields fields;
  if (auto label = update.label()) fields.label = std::string(*label);
  if (auto size = update.size(); size && std::isfinite(*size)) {
    std::uint32_t bits;
    std::memcpy(&bits, &*size, 4);
    fields.size_bits = bits;
  }
  if (auto url = update.url()) fields.url = std::string(*url);
  fields.red = update.red();
  fields.green = update.green();
  fields.blue = update.blue();
  fields.show_label = update.show_label();
  return fields;
}

struct DiffSnapshot {
  std::map<IdKey, UpdateFields> nodes;
  std::set<IdKey> deleted_nodes;
  std::map<IdKey, std::map<IdKey, std::uint32_t>> edges;  // weights as bits: NaN payloads count
  std::map<IdKey, std::set<IdKey>> deleted_edges;
  friend bool operator==(const DiffSnapshot&, const DiffSnapshot&) = default;
};

inline DiffSnapshot snapshot(const GraphDiff& diff) {
  DiffSnapshot s;
  for (const auto& [id, update] : diff.nodes()) s.nodes.emplace(id.bytes, fields_of(update));
  for (const NodeId& id : diff.deleted_nodes()) s.deleted_nodes.insert(id.bytes);
  for (const EdgeGroup& group : diff.edge_groups()) {
    auto& inner = s.edges[diff.id_of(group.from).bytes];
    for (const auto& edge : group.targets) {
      std::uint32_t bits;
      std::memcpy(&bits, &edge.value, 4);
      inner[diff.id_of(edge.key).bytes] = bits;
    }
  }
  for (const DeletedGroup& group : diff.deleted_groups()) {
    auto& inner = s.deleted_edges[diff.id_of(group.from).bytes];
    for (const auto& edge : group.targets) inner.insert(diff.id_of(edge.key).bytes);
  }
  return s;
}

// The first invariant the diff breaks, by name, or "" when it breaks none.
inline std::string broken_rule(const GraphDiff& diff) {
  const char* rule = diff.broken_rule();
  return rule == nullptr ? std::string() : std::string(rule);
}

}  // namespace kovra::testing
