// The arena behind target and reverse lists: blocks of every class, in any order
// of allocation, release and reservation, never overlap, whatever size the
// current chunk has.
#include "diff/list_arena.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.h"
#include "diff/graph_diff.h"
#include "diff_snapshot.h"

namespace {

using kovra::ListArena;

struct Block {
  unsigned char* data;
  std::size_t bytes;
  unsigned char fill;
};

bool intact(const Block& block) {
  for (std::size_t i = 0; i < block.bytes; ++i) {
    if (block.data[i] != block.fill) return false;
  }
  return true;
}

TEST(blocks_never_overlap) {
  ListArena arena;
  std::mt19937 rng(1);
  std::vector<Block> live;
  for (int step = 0; step < 20000; ++step) {
    if (!live.empty() && rng() % 3 == 0) {
      const std::size_t k = rng() % live.size();
      CHECK(intact(live[k]));
      arena.release(live[k].data, live[k].bytes);
      live[k] = live.back();
      live.pop_back();
      continue;
    }
    // A loader's reservation now and then, which may leave a chunk early.
    if (rng() % 500 == 0) arena.reserve(rng() % (256 * 1024));
    // Every class, the largest ones while the first chunks are still small, and
    // now and then a block above the classes.
    std::size_t bytes = ListArena::class_size(1 + rng() % ListArena::kLargest);
    if (rng() % 50 == 0) bytes = 2 * ListArena::kLargest;
    auto* data = static_cast<unsigned char*>(arena.allocate(bytes));
    const auto fill = static_cast<unsigned char>(step);
    std::memset(data, fill, bytes);
    live.push_back({data, bytes, fill});
  }
  for (const Block& block : live) {
    CHECK(intact(block));
    arena.release(block.data, block.bytes);
  }
}

TEST(class_sizes_hold_what_they_are_asked_for) {
  for (std::size_t bytes = 1; bytes <= ListArena::kLargest; ++bytes) {
    const std::size_t size = ListArena::class_size(bytes);
    CHECK(size >= bytes && size <= bytes * 3 / 2 + 16);
  }
}

// A first list that outgrows the first chunk at once.
TEST(a_large_first_list_fits) {
  kovra::GraphDiff diff;
  kovra::NodeId hub;
  hub.bytes.fill(1);
  for (std::uint32_t i = 0; i < 500; ++i) {
    kovra::NodeId to;
    std::memcpy(to.bytes.data(), &i, 4);
    (void)diff.add_edge(hub, to, 1.0f);
  }
  CHECK_EQ(diff.edge_groups()[0].targets.size(), 500u);
  CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
}

}  // namespace
