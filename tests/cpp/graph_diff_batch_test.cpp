// Batch mutations against the loop of single calls, and all or nothing when any
// one allocation inside a batch fails.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "check.h"
#include "codec/document_writer.h"
#include "diff_snapshot.h"
#include "failing_new.h"

using kovra::testing::allocations_left;
using kovra::testing::allocations_made;

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

// Rows logged a call at a time: the log's columns and its deletion positions
// grow by doubling, so the allocations stay logarithmic in the calls, and each
// row is copied about once, however the rows come.
TEST(rows_logged_one_call_at_a_time_grow_the_log_by_doubling) {
  enum class Caller { kDeleteEdges, kDeleteEdge, kMixed };
  for (const Caller caller : {Caller::kDeleteEdges, Caller::kDeleteEdge, Caller::kMixed}) {
    GraphDiff diff;
    const std::size_t calls = kovra::PendingEdges::kLeastBound - 1;  // one log, never applied
    const std::size_t before = allocations_made;
    for (std::uint32_t i = 0; i < calls; ++i) {
      const NodeId a = filler(i % 300), b = filler(i % 300 + 1);
      const float weight = 1.0f;
      if (caller == Caller::kDeleteEdge || (caller == Caller::kMixed && i % 2 == 0)) {
        diff.delete_edge(a, b);
      } else if (caller == Caller::kMixed) {
        diff.add_edges(std::span(&a, 1), std::span(&b, 1), std::span(&weight, 1));
      } else {
        diff.delete_edges(std::span(&a, 1), std::span(&b, 1));
      }
    }
    const std::size_t made = allocations_made - before;
    // The eager single calls before the first log intern ids and make groups.
    CHECK(diff.pending().size() + 8 >= calls);
    CHECK(made <= 4 * std::bit_width(calls) + 40);
  }
}

// A diff that grows a little between fills moves the log's bound up a little
// each time: the columns then keep their room rather than copying every row
// to gain a few.
TEST(a_bound_that_creeps_up_keeps_the_logs_room) {
  for (const bool bulk : {true, false}) {
    GraphDiff diff;
    constexpr std::uint32_t kRing = 6000;
    const float weight = 1.0f;
    const auto log_edge = [&](const NodeId& a, const NodeId& b) {
      if (bulk) {
        diff.add_edges(std::span(&a, 1), std::span(&b, 1), std::span(&weight, 1));
      } else {
        static_cast<void>(diff.add_edge(a, b, weight));  // logged: no read comes between
      }
    };
    for (std::uint32_t i = 0; i < kRing; ++i) log_edge(filler(i), filler((i + 1) % kRing));
    static_cast<void>(diff.num_edges());
    std::set<const NodeId*> rooms;
    std::uint32_t fresh = kRing;
    for (int fill = 0; fill < 12; ++fill) {
      log_edge(filler(fresh), filler(fresh + 1));  // two new ids and a group: the bound creeps
      fresh += 2;
      // Until the log applies itself, which leaves it the one row that found it full.
      for (std::uint32_t i = 0; diff.pending().size() != 1; ++i) {
        if (fill >= 4) rooms.insert(diff.pending().from().data());
        log_edge(filler(i * 7 % kRing), filler(i * 13 % kRing));
      }
    }
    CHECK_EQ(rooms.size(), std::size_t{1});
  }
}

}  // namespace
