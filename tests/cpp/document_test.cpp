// The graph diff document: the writer's exact bytes and the reader's outer layer.
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "check.h"
#include "codec/document_reader.h"
#include "codec/document_writer.h"
#include "diff_snapshot.h"

namespace {

using kovra::GraphDiff;
using kovra::NodeId;
using kovra::NodeUpdate;
using kovra::testing::snapshot;

NodeId id_run(std::uint8_t first) {
  NodeId id;
  for (std::uint8_t i = 0; i < 16; ++i) id.bytes[i] = static_cast<std::uint8_t>(first + i);
  return id;
}

const NodeId kA = id_run(0xa0);
const NodeId kB = id_run(0xb0);
const NodeId kC = id_run(0xc0);

// Document pieces, so that each malformed case reads as what it breaks.
std::string u64(std::uint64_t value) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i)
    out[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
  return out;
}
std::string id(const NodeId& node) {
  return u64(16) + std::string(reinterpret_cast<const char*>(node.bytes.data()), 16);
}
std::string text(const std::string& json) { return u64(json.size()) + json; }
std::string f32(float value) {
  std::string out(4, '\0');
  std::memcpy(out.data(), &value, 4);
  return out;
}
std::string f32_bits(std::uint32_t bits) {
  std::string out(4, '\0');
  std::memcpy(out.data(), &bits, 4);
  return out;
}
const std::string kEmptySection = u64(0);

std::string to_hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

// The sample document of docs/format.md: one node update, one deleted node, one edge.
const char kSampleDocument[] =
    "0100000000000000"
    "1000000000000000"
    "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"
    "1a00000000000000"
    "7b226c6162656c223a22487562222c2273697a65223a322e357d"
    "0100000000000000"
    "1000000000000000"
    "c0c1c2c3c4c5c6c7c8c9cacbcccdcecf"
    "0100000000000000"
    "1000000000000000"
    "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"
    "0100000000000000"
    "1000000000000000"
    "b0b1b2b3b4b5b6b7b8b9babbbcbdbebf"
    "0000003f"
    "0000000000000000";

GraphDiff sample_document_diff() {
  GraphDiff diff;
  NodeUpdate hub;
  hub.set_label("Hub");
  hub.set_size(2.5f);
  diff.add_node(kA, std::move(hub));
  diff.delete_node(kC);
  static_cast<void>(diff.add_edge(kA, kB, 0.5f));
  return diff;
}

bool reads(const std::string& document) {
  return kovra::deserialize_graph_diff(document).has_value();
}

}  // namespace

TEST(sample_document_bytes) {
  const GraphDiff diff = sample_document_diff();
  const auto document = kovra::serialize_graph_diff(diff);
  CHECK(document.has_value());
  if (!document) return;
  CHECK_EQ(document->size(), std::size_t{174});
  CHECK_EQ(to_hex(*document), std::string(kSampleDocument));
  const auto writer = kovra::DocumentWriter::measure(diff);
  CHECK(writer && writer->size() == 174);

  const auto back = kovra::deserialize_graph_diff(*document);
  CHECK(back && snapshot(*back) == snapshot(diff));
  // Every proper prefix is short of a section it announces.
  for (std::size_t length = 0; length < document->size(); ++length) {
    if (reads(document->substr(0, length))) CHECK_EQ(length, std::size_t{174});
  }
}

TEST(empty_diff) {
  const auto document = kovra::serialize_graph_diff(GraphDiff());
  CHECK_EQ(document, std::optional<std::string>(std::string(32, '\0')));
  const auto back = kovra::deserialize_graph_diff(std::string(32, '\0'));
  CHECK(back && back->nodes().empty() && back->deleted_nodes().empty() &&
        back->edge_groups().empty() && back->deleted_groups().empty());
  CHECK(reads(std::string(32, '\0') + "trailing bytes are not read \xff"));
  CHECK(!reads(""));
  CHECK(!reads(std::string(31, '\0')));
}

TEST(empty_update_and_empty_group) {
  GraphDiff diff;
  diff.add_node(kA, NodeUpdate());
  static_cast<void>(diff.add_edge(kB, kC, 1.0f));
  diff.delete_node(kC);  // leaves B's group behind with no edge in it
  const auto document = kovra::serialize_graph_diff(diff);
  CHECK(document.has_value());
  if (!document) return;
  const std::string expected_nodes = u64(1) + id(kA) + text("{}");
  CHECK_EQ(to_hex(document->substr(0, expected_nodes.size())), to_hex(expected_nodes));
  const auto back = kovra::deserialize_graph_diff(*document);
  CHECK(back && snapshot(*back) == snapshot(diff));
  CHECK(back && back->edge_groups().size() == 1 && back->edge_groups()[0].targets.empty());
}

TEST(id_lengths_other_than_16_fail) {
  const std::string sixteen(16, 'i');
  const std::string padding(64, '\0');
  for (const std::uint64_t length : {0u, 15u, 17u, 24u}) {
    CHECK(!reads(u64(0) + u64(1) + u64(length) + sixteen + padding));
  }
  CHECK(reads(u64(0) + u64(1) + u64(16) + sixteen + padding));
}

TEST(forged_counts_fail_fast) {
  const std::uint64_t forged[] = {std::uint64_t{1} << 63,
                                  std::numeric_limits<std::uint64_t>::max()};
  for (const std::uint64_t count : forged) {
    CHECK(!reads(u64(count)));
    CHECK(!reads(kEmptySection + u64(count) + id(kA)));
    CHECK(!reads(kEmptySection + kEmptySection + u64(count) + id(kA) + u64(count)));
    CHECK(!reads(kEmptySection + kEmptySection + u64(1) + id(kA) + u64(count) + id(kB) + f32(1)));
    CHECK(!reads(kEmptySection + kEmptySection + kEmptySection + u64(1) + id(kA) + u64(count)));
    CHECK(!reads(u64(1) + id(kA) + u64(count)));  // text length beyond the input
  }
}

TEST(text_checks) {
  const std::string tail = kEmptySection + kEmptySection + kEmptySection;
  CHECK(reads(u64(1) + id(kA) + text("{}") + tail));
  CHECK(!reads(u64(1) + id(kA) + text("{") + tail));
  CHECK(!reads(u64(1) + id(kA) + text("{\"label\":\"\xc0\x80\"}") + tail));
  CHECK(!reads(u64(1) + id(kA) + u64(3) + "{}"));  // length one past the end
}

TEST(later_node_entries_replace_earlier_ones) {
  const std::string tail = kEmptySection + kEmptySection + kEmptySection;
  const auto back = kovra::deserialize_graph_diff(u64(2) + id(kA) + text("not json") + id(kA) +
                                                  text(R"({"label":"second"})") + tail);
  CHECK(back && back->nodes().size() == 1 && back->nodes().begin()->second.label() == "second");
  CHECK(!reads(u64(2) + id(kA) + text(R"({"label":"first"})") + id(kA) + text("[]") + tail));
  // Each text is checked as UTF-8 when it is read, replaced or not.
  CHECK(!reads(u64(2) + id(kA) + text("\xff") + id(kA) + text("{}") + tail));
  const auto three = kovra::deserialize_graph_diff(u64(3) + id(kA) + text("x") + id(kB) +
                                                   text("{}") + id(kA) + text("{}") + tail);
  CHECK(three && three->nodes().size() == 2);
}

TEST(later_groups_replace_earlier_ones) {
  const auto edges = kovra::deserialize_graph_diff(
      kEmptySection + kEmptySection + u64(2) + id(kA) + u64(1) + id(kB) + f32(1) + id(kA) + u64(2) +
      id(kC) + f32(2) + id(kC) + f32(3) + kEmptySection);
  CHECK(edges.has_value());
  if (edges) {
    kovra::testing::DiffSnapshot expected;
    expected.edges[kA.bytes][kC.bytes] = std::bit_cast<std::uint32_t>(3.0f);
    CHECK(snapshot(*edges) == expected);
  }
  const auto deleted = kovra::deserialize_graph_diff(kEmptySection + u64(2) + id(kB) + id(kB) +
                                                     kEmptySection + u64(2) + id(kA) + u64(1) +
                                                     id(kB) + id(kA) + u64(2) + id(kC) + id(kC));
  CHECK(deleted.has_value());
  if (deleted) {
    kovra::testing::DiffSnapshot expected;
    expected.deleted_nodes.insert(kB.bytes);
    expected.deleted_edges[kA.bytes].insert(kC.bytes);
    CHECK(snapshot(*deleted) == expected);
  }
}

TEST(contradictions_load_unchanged) {
  // A node both updated and deleted, and an edge both added and deleted, from a
  // deleted node: no mutation rule is replayed.
  const auto back = kovra::deserialize_graph_diff(
      u64(1) + id(kA) + text("{}") + u64(1) + id(kA) + u64(1) + id(kA) + u64(1) + id(kA) +
      f32_bits(0x7fc01234u) + u64(1) + id(kA) + u64(1) + id(kA));
  CHECK(back.has_value());
  if (back) {
    kovra::testing::DiffSnapshot expected;
    expected.nodes[kA.bytes] = {};
    expected.deleted_nodes.insert(kA.bytes);
    expected.edges[kA.bytes][kA.bytes] = 0x7fc01234u;
    expected.deleted_edges[kA.bytes].insert(kA.bytes);
    CHECK(snapshot(*back) == expected);
  }
}

TEST(weights_keep_every_bit_pattern) {
  const std::uint32_t patterns[] = {0x7fc00000u, 0xffc00001u, 0x7f800001u, 0x7f800000u,
                                    0xff800000u, 0x80000000u, 0x00000001u, 0x7f7fffffu};
  GraphDiff diff;
  std::uint8_t n = 0;
  for (const std::uint32_t bits : patterns) {
    static_cast<void>(diff.add_edge(kA, id_run(n++), std::bit_cast<float>(bits)));
  }
  const auto document = kovra::serialize_graph_diff(diff);
  const auto back = document ? kovra::deserialize_graph_diff(*document) : std::nullopt;
  CHECK(back && snapshot(*back) == snapshot(diff));
}
