// Batch mutations against the loop of single calls, and all or nothing when any
// one allocation inside a batch fails.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "diff_snapshot.h"

namespace {

// The allocation that finds this at 0 fails; negative never fails.
long allocations_left = -1;

}  // namespace

void* operator new(std::size_t size) {
  if (allocations_left == 0) throw std::bad_alloc();
  if (allocations_left > 0) --allocations_left;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using kovra::GraphDiff;
using kovra::NodeId;
using kovra::NodeUpdate;
using kovra::testing::snapshot;

enum class Kind { kAddEdges, kDeleteEdges, kDeleteNodes, kAddNodes };
constexpr Kind kKinds[] = {Kind::kAddEdges, Kind::kDeleteEdges, Kind::kDeleteNodes,
                           Kind::kAddNodes};

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

void apply_batch(GraphDiff& diff, Kind kind, const Batch& batch) {
  switch (kind) {
    case Kind::kAddEdges:
      diff.add_edges(batch.a, batch.b, batch.weights);
      break;
    case Kind::kDeleteEdges:
      diff.delete_edges(batch.a, batch.b);
      break;
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
      case Kind::kDeleteNodes:
        diff.delete_node(batch.a[i]);
        break;
      case Kind::kAddNodes:
        diff.add_node(batch.a[i], update_of(batch.labels[i]));
        break;
    }
  }
}

TEST(batch_equals_loop_of_single_calls) {
  for (std::uint32_t seed = 0; seed < 40; ++seed) {
    for (Kind kind : kKinds) {
      const Batch batch = random_batch(seed + 1000, seed % 7 == 0 ? 0 : 50);
      GraphDiff bulk = base_diff(seed);
      GraphDiff single = base_diff(seed);
      apply_batch(bulk, kind, batch);
      apply_singly(single, kind, batch);
      CHECK(snapshot(bulk) == snapshot(single));
      CHECK(bulk.consistent());
    }
  }
}

TEST(failed_allocation_anywhere_leaves_the_diff_as_it_was) {
  for (std::uint32_t seed = 0; seed < 6; ++seed) {
    for (Kind kind : kKinds) {
      const Batch batch = random_batch(seed + 2000, 40);
      GraphDiff expected = base_diff(seed);
      apply_singly(expected, kind, batch);
      // Fail the first allocation, then the second, ... until the batch completes.
      for (long fail_at = 0;; ++fail_at) {
        GraphDiff diff = base_diff(seed);
        const auto before = snapshot(diff);
        bool completed = true;
        allocations_left = fail_at;
        try {
          apply_batch(diff, kind, batch);
        } catch (const std::bad_alloc&) {
          completed = false;
        }
        allocations_left = -1;
        CHECK(diff.consistent());
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

}  // namespace
