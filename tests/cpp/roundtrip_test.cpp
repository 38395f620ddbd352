// Random diffs written and read back must hold the same entries, bit for bit.
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "check.h"
#include "codec/document_reader.h"
#include "codec/document_writer.h"
#include "diff_snapshot.h"

namespace {

using kovra::GraphDiff;
using kovra::NodeId;
using kovra::NodeUpdate;

class RandomDiffs {
 public:
  explicit RandomDiffs(std::uint32_t seed) : random_(seed) {}

  GraphDiff make(std::size_t pool, std::size_t operations) {
    GraphDiff diff;
    for (std::size_t i = 0; i < operations; ++i) {
      const NodeId a = pick(pool);
      const NodeId b = pick(pool);
      switch (below(10)) {
        case 0:
        case 1:
        case 2:
          diff.add_node(a, update());
          break;
        case 3:
          diff.delete_node(a);
          break;
        case 4:
          diff.delete_edge(a, b);
          break;
        default:
          static_cast<void>(diff.add_edge(a, b, weight()));
      }
    }
    return diff;
  }

 private:
  std::uint32_t below(std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random_);
  }

  NodeId pick(std::size_t pool) {
    NodeId id;
    const std::uint32_t n = below(static_cast<std::uint32_t>(pool));
    for (std::size_t i = 0; i < 16; ++i) id.bytes[i] = static_cast<std::uint8_t>(n >> (i % 4 * 8));
    id.bytes[15] ^= static_cast<std::uint8_t>(n % 7);  // ids that differ in one byte
    return id;
  }

  // Any bit pattern: NaNs with payloads, infinities, subnormals and negative zero.
  float any_float() {
    switch (below(4)) {
      case 0: {
        static constexpr std::uint32_t kEdges[] = {
            0x00000000u, 0x80000000u, 0x00000001u, 0x007fffffu, 0x00800000u, 0x7f7fffffu,
            0xff7fffffu, 0x7f800000u, 0xff800000u, 0x7fc00000u, 0xffffffffu, 0x7f800001u};
        return std::bit_cast<float>(kEdges[below(std::size(kEdges))]);
      }
      case 1:
        return static_cast<float>(std::pow(10.0, static_cast<int>(below(84)) - 45));
      case 2:
        return std::ldexp(1.0f, static_cast<int>(below(277)) - 149);
      default:
        return std::bit_cast<float>(static_cast<std::uint32_t>(random_()));
    }
  }

  float weight() { return any_float(); }

  // UTF-8 text that exercises every escape and multi-byte form, sometimes long.
  std::string any_text() {
    static const char* const kPieces[] = {"a",
                                          "Hub",
                                          "\"",
                                          "\\",
                                          "/",
                                          "\t",
                                          "\n",
                                          "\x01",
                                          "\x1f",
                                          "\x7f",
                                          "\xc3\xa9",
                                          "\xe2\x82\xac",
                                          "\xf0\x9f\x98\x80",
                                          " ",
                                          "{}",
                                          "\\u0000"};
    std::string text;
    const std::uint32_t pieces = below(8) == 0 ? 200 : below(6);
    for (std::uint32_t i = 0; i < pieces; ++i) text += kPieces[below(std::size(kPieces))];
    return text;
  }

  NodeUpdate update() {
    NodeUpdate update;
    if (below(2)) update.set_label(any_text());
    if (below(2)) update.set_size(any_float());
    if (below(2)) update.set_url(any_text());
    if (below(2)) update.set_red(static_cast<std::uint8_t>(below(256)));
    if (below(2)) update.set_green(static_cast<std::uint8_t>(below(256)));
    if (below(2)) update.set_blue(static_cast<std::uint8_t>(below(256)));
    if (below(2)) update.set_show_label(below(2) == 1);
    return update;
  }

  std::mt19937 random_;
};

}  // namespace

TEST(random_diffs_round_trip) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    RandomDiffs random(seed);
    const std::size_t pool = seed % 3 == 0 ? 4 : seed % 3 == 1 ? 40 : 2000;
    const GraphDiff diff = random.make(pool, seed % 10 == 0 ? 20000 : 400);
    const auto document = kovra::serialize_graph_diff(diff);
    CHECK(document.has_value());
    if (!document) continue;
    const auto writer = kovra::DocumentWriter::measure(diff);
    CHECK(writer && writer->size() == document->size());
    const auto back = kovra::deserialize_graph_diff(*document);
    CHECK(back.has_value());
    if (!back) continue;
    if (!(kovra::testing::snapshot(*back) == kovra::testing::snapshot(diff))) {
      CHECK_EQ(seed, 0u);
    }
    // Unchanged diffs write the same bytes again.
    CHECK(kovra::serialize_graph_diff(diff) == document);
    CHECK_EQ(kovra::testing::broken_rule(*back), std::string());
  }
}
