// Batch mutations against the loop of single calls, and all or nothing when any
// one allocation inside a batch fails.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "check.h"
#include "codec/document_writer.h"
#include "diff/raw_blocks.h"
#include "diff_snapshot.h"

#ifdef KOVRA_TEST_HOOKS
// The core's own blocks that bypass operator new (raw_blocks.h) count down too.
using kovra::allocations_left;
#else
namespace {

// The allocation that finds this at 0 fails; negative never fails.
long allocations_left = -1;

}  // namespace
#endif

void* operator new(std::size_t size) {
  if (allocations_left == 0) throw std::bad_alloc();
  if (allocations_left > 0) --allocations_left;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The replacement new above takes its blocks from malloc, so free is the match;
// GCC cannot see that once it inlines a container's new next to this delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

using kovra::GraphDiff;
using kovra::NodeId;
using kovra::NodeUpdate;
using kovra::testing::snapshot;

// kMixedEdges: runs of added and deleted edges, logged together and applied
// as one log.
enum class Kind { kAddEdges, kDeleteEdges, kMixedEdges, kDeleteNodes, kAddNodes };
constexpr Kind kKinds[] = {Kind::kAddEdges, Kind::kDeleteEdges, Kind::kMixedEdges,
                           Kind::kDeleteNodes, Kind::kAddNodes};

// Whether row `i` of a kMixedEdges batch deletes: runs of 1 to 3 deletions
// between runs of additions.
bool mixed_row_deletes(std::size_t i) { return i % 11 < 1 + i % 3; }

NodeId node(std::uint32_t i) {
  NodeId id;
  id.bytes[0] = static_cast<std::uint8_t>(i);
  id.bytes[15] = 0x5a;
  return id;
}

NodeUpdate update_of(std::uint32_t i) {
  NodeUpdate update;
  update.set_label(std::string(20 + i % 30, 'l'));  // past the inline bytes: a heap block
  update.set_red(static_cast<std::uint8_t>(i));
  return update;
}

// The same diff for the same seed: a mix of every single call over a small pool.
GraphDiff base_diff(std::uint32_t seed) {
  std::mt19937 engine(seed);
  auto random = [&engine] { return static_cast<std::uint32_t>(engine()); };
  GraphDiff diff;
  for (int i = 0; i < 60; ++i) {
    const NodeId a = node(random() % 24);
    const NodeId b = node(random() % 24);
    switch (random() % 4) {
      case 0:
        static_cast<void>(diff.add_edge(a, b, 1.5f));
        break;
      case 1:
        diff.delete_edge(a, b);
        break;
      case 2:
        diff.delete_node(a);
        break;
      default:
        diff.add_node(a, update_of(random() % 256));
    }
  }
  return diff;
}

// Ids apart from the pool above.
NodeId filler(std::uint32_t i) {
  NodeId id;
  id.bytes[1] = static_cast<std::uint8_t>(i >> 8);
  id.bytes[2] = static_cast<std::uint8_t>(i);
  id.bytes[15] = 0xa5;
  return id;
}

// Pool ids that base_diff leaves alone but batches name.
const NodeId kHub = node(30);
constexpr std::uint32_t kHubTargets = 4400;

// base_diff plus a hub with thousands of targets (a list with a position
// index, and more entries than a batch has rows), a deleted group of one edge,
// a deleted node and free slots.
GraphDiff large_diff(std::uint32_t seed) {
  GraphDiff diff = base_diff(seed);
  for (std::uint32_t i = 0; i < kHubTargets; ++i) {
    static_cast<void>(diff.add_edge(kHub, filler(i), 0.25f));
  }
  diff.delete_edge(node(35), node(36));
  static_cast<void>(diff.add_edge(node(37), node(38), 1.0f));
  static_cast<void>(diff.add_edge(node(39), node(38), 1.0f));
  diff.delete_node(node(37));  // frees its slot
  diff.delete_edge(node(39), node(38));
  diff.delete_node(node(39));  // frees both
  return diff;
}

struct Batch {
  std::vector<NodeId> a, b;
  std::vector<float> weights;
  std::vector<std::uint32_t> labels;
};

Batch random_batch(std::uint32_t seed, std::size_t n) {
  std::mt19937 engine(seed);
  auto random = [&engine] { return static_cast<std::uint32_t>(engine()); };
  Batch batch;
  for (std::size_t i = 0; i < n; ++i) {
    // Fresh ids as well as known ones, so that tables must grow.
    batch.a.push_back(node(random() % 40));
    batch.b.push_back(node(random() % 40));
    batch.weights.push_back(static_cast<float>(i));
    batch.labels.push_back(random() % 256);
  }
  return batch;
}

// Rows that reach every branch of the batch calls on large_diff, then `random`'s.
Batch with_fixed_rows(const Batch& random) {
  Batch batch;
  auto row = [&batch](const NodeId& a, const NodeId& b) {
    batch.a.push_back(a);
    batch.b.push_back(b);
    batch.weights.push_back(static_cast<float>(batch.weights.size()));
    batch.labels.push_back(static_cast<std::uint32_t>(batch.labels.size() * 7));
  };
  // Deleting these grows the hub's deleted group past its linear limit.
  for (std::uint32_t i = 0; i < 40; ++i) row(filler(i), kHub);
  row(kHub, filler(5));         // an indexed entry, overwritten or erased
  row(kHub, node(3));           // appended to an indexed list
  row(node(35), node(36));      // empties a deleted group, or repeats its edge
  row(node(37), node(2));       // refused: a deleted endpoint
  row(filler(9000), node(31));  // new ids take the free slots
  row(kHub, filler(7));
  for (std::size_t i = 0; i < random.a.size(); ++i) row(random.a[i], random.b[i]);
  return batch;
}

void apply_batch(GraphDiff& diff, Kind kind, const Batch& batch) {
  switch (kind) {
    case Kind::kAddEdges:
      diff.add_edges(batch.a, batch.b, batch.weights);
      break;
    case Kind::kDeleteEdges:
      diff.delete_edges(batch.a, batch.b);
      break;
    case Kind::kMixedEdges: {
      const std::span<const NodeId> a = batch.a, b = batch.b;
      const std::span<const float> weights = batch.weights;
      for (std::size_t first = 0; first < a.size();) {
        const bool deleting = mixed_row_deletes(first);
        std::size_t last = first + 1;
        while (last < a.size() && mixed_row_deletes(last) == deleting) ++last;
        const std::size_t n = last - first;
        if (deleting) {
          diff.delete_edges(a.subspan(first, n), b.subspan(first, n));
        } else {
          diff.add_edges(a.subspan(first, n), b.subspan(first, n), weights.subspan(first, n));
        }
        first = last;
      }
      break;
    }
    case Kind::kDeleteNodes:
      diff.delete_nodes(batch.a);
      break;
    case Kind::kAddNodes: {
      std::vector<NodeUpdate> updates;
      for (std::uint32_t label : batch.labels) updates.push_back(update_of(label));
      diff.add_nodes(batch.a, updates);
      break;
    }
  }
}

void apply_singly(GraphDiff& diff, Kind kind, const Batch& batch) {
  for (std::size_t i = 0; i < batch.a.size(); ++i) {
    switch (kind) {
      case Kind::kAddEdges:
        static_cast<void>(diff.add_edge(batch.a[i], batch.b[i], batch.weights[i]));
        break;
      case Kind::kDeleteEdges:
        diff.delete_edge(batch.a[i], batch.b[i]);
        break;
      case Kind::kMixedEdges:
        if (mixed_row_deletes(i)) {
          diff.delete_edge(batch.a[i], batch.b[i]);
        } else {
          static_cast<void>(diff.add_edge(batch.a[i], batch.b[i], batch.weights[i]));
        }
        break;
      case Kind::kDeleteNodes:
        diff.delete_node(batch.a[i]);
        break;
      case Kind::kAddNodes:
        diff.add_node(batch.a[i], update_of(batch.labels[i]));
        break;
    }
  }
}

// Single deletions of pool nodes, and a few edges, after a batch.
void later_history(GraphDiff& diff, std::uint32_t seed) {
  std::mt19937 engine(seed + 77);
  for (int i = 0; i < 12; ++i) {
    const NodeId a = node(static_cast<std::uint32_t>(engine()) % 40);
    const NodeId b = node(static_cast<std::uint32_t>(engine()) % 40);
    if (i % 3 == 2) {
      static_cast<void>(diff.add_edge(a, b, 0.5f));
    } else {
      diff.delete_node(a);
    }
  }
}

// Every kind of batch, on a diff made by `make` from the seed, against the loop.
template <class Make, class BatchOf>
void check_batch_equals_loop(std::uint32_t seeds, Make make, BatchOf batch_of) {
  for (std::uint32_t seed = 0; seed < seeds; ++seed) {
    for (Kind kind : kKinds) {
      const Batch batch = batch_of(seed);
      GraphDiff bulk = make(seed);
      GraphDiff single = make(seed);
      apply_batch(bulk, kind, batch);
      apply_singly(single, kind, batch);
      CHECK(snapshot(bulk) == snapshot(single));
      CHECK(kovra::serialize_graph_diff(bulk) == kovra::serialize_graph_diff(single));
      CHECK_EQ(kovra::testing::broken_rule(bulk), std::string());
      // The same bytes for every later history too: the deletions a later
      // delete_node records must not follow how the batch filled its lists.
      later_history(bulk, seed);
      later_history(single, seed);
      CHECK(kovra::serialize_graph_diff(bulk) == kovra::serialize_graph_diff(single));
    }
  }
}

TEST(batch_equals_loop_of_single_calls) {
  check_batch_equals_loop(40, base_diff, [](std::uint32_t seed) {
    return random_batch(seed + 1000, seed % 7 == 0 ? 0 : 50);
  });
}

TEST(batch_equals_loop_on_a_large_diff) {
  check_batch_equals_loop(4, large_diff, [](std::uint32_t seed) {
    return with_fixed_rows(random_batch(seed + 3000, 40));
  });
}

// An id index past what stays in cache, which add_edges works ahead through.
TEST(batch_equals_loop_past_a_cached_index) {
  const auto huge_diff = [](std::uint32_t seed) {
    GraphDiff diff = large_diff(seed);
    for (std::uint32_t i = 0; i < 30000; ++i) {
      static_cast<void>(diff.add_edge(node(33), filler(kHubTargets + i), 0.5f));
    }
    return diff;
  };
  check_batch_equals_loop(1, huge_diff, [](std::uint32_t seed) {
    return with_fixed_rows(random_batch(seed + 4000, 200));
  });
}

// On a diff far larger than the batch, so that nothing short of undoing the
// batch's own changes can restore it. (A mixed batch is several calls.)
TEST(failed_allocation_anywhere_leaves_the_diff_as_it_was) {
  for (std::uint32_t seed = 0; seed < 3; ++seed) {
    for (Kind kind : kKinds) {
      if (kind == Kind::kMixedEdges) continue;
      const Batch batch = with_fixed_rows(random_batch(seed + 2000, 40));
      GraphDiff expected = large_diff(seed);
      apply_singly(expected, kind, batch);
      const auto before = snapshot(large_diff(seed));
      // Fail the first allocation, then the second, ... until the batch completes.
      for (long fail_at = 0;; ++fail_at) {
        GraphDiff diff = large_diff(seed);
        bool completed = true;
        allocations_left = fail_at;
        try {
          apply_batch(diff, kind, batch);
        } catch (const std::bad_alloc&) {
          completed = false;
        }
        allocations_left = -1;
        CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
        if (!completed) {
          CHECK(snapshot(diff) == before);
          continue;
        }
        CHECK(snapshot(diff) == snapshot(expected));
        break;
      }
    }
  }
}

// Logged rows whose application fails at any one allocation stay logged: the
// diff reads as before, and a later read applies them to the loop's bytes.
TEST(failed_allocation_while_applying_keeps_the_rows_pending) {
  for (std::uint32_t seed = 0; seed < 3; ++seed) {
    const Batch batch = with_fixed_rows(random_batch(seed + 5000, 40));
    // Logged together: single calls on a diff this small apply at once.
    const auto log_rows = [&batch](GraphDiff& diff) {
      apply_batch(diff, Kind::kMixedEdges, batch);
    };
    GraphDiff expected = large_diff(seed);
    log_rows(expected);
    const auto bytes = kovra::serialize_graph_diff(expected);
    for (long fail_at = 0;; ++fail_at) {
      GraphDiff diff = large_diff(seed);
      diff.settle();
      log_rows(diff);
      CHECK(!diff.pending().empty());
      bool completed = true;
      allocations_left = fail_at;
      try {
        diff.settle();
      } catch (const std::bad_alloc&) {
        completed = false;
      }
      allocations_left = -1;
      CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
      CHECK(completed == diff.pending().empty());
      CHECK(kovra::serialize_graph_diff(diff) == bytes);
      if (completed) break;
    }
  }
}

}  // namespace
