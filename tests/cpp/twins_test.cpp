// The edge store's fast paths against their general twins, one row each: the
// same history through the fast path and through single calls each applied at
// once (EdgeStore::put_row), the same bytes and invariants at every read, and
// the row's count (fast_path_count.h) proving that the fast path ran.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "check.h"
#include "codec/document_writer.h"
#include "crafted_ids.h"
#include "diff/fast_path_count.h"
#include "diff/graph_diff.h"
#include "diff_snapshot.h"
#include "failing_new.h"

namespace {

using kovra::FastPath;
using kovra::GraphDiff;
using kovra::NodeId;
using kovra::testing::allocations_left;

struct Op {
  enum class Kind : std::uint8_t { kAdd, kDelete, kRead, kDeleteNode };
  Kind kind;
  NodeId a, b;
  float weight;
};
using History = std::vector<Op>;

// How the fast side makes its calls; the general side always makes single
// calls, each followed by a read, so that each applies at once.
enum class Route {
  kLogged,  // single calls, reads only where the history reads
  kBulk,    // each run of adds or deletions as one add_edges or delete_edges call
};

NodeId pool(std::uint32_t i) {
  NodeId id;
  std::memcpy(id.bytes.data(), &i, 4);
  id.bytes[15] = 0x3c;
  return id;
}

std::uint64_t runs_of(FastPath path) {
  return kovra::fast_path_runs[static_cast<std::size_t>(path)];
}

// Edge calls of one kind as one bulk call.
void bulk(GraphDiff& diff, std::span<const Op> ops) {
  std::vector<NodeId> a, b;
  std::vector<float> weights;
  for (const Op& op : ops) {
    a.push_back(op.a);
    b.push_back(op.b);
    weights.push_back(op.weight);
  }
  if (ops.front().kind == Op::Kind::kAdd) {
    diff.add_edges(a, b, weights);
  } else {
    diff.delete_edges(a, b);
  }
}

// Every edge call of `history` on `diff`, the documents written at its reads.
std::vector<std::string> run(GraphDiff& diff, const History& history, Route route, bool single) {
  std::vector<std::string> documents;
  const auto read = [&] {
    const auto document = kovra::serialize_graph_diff(diff);
    CHECK(document.has_value());
    documents.push_back(document ? *document : std::string());
    CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
  };
  for (std::size_t i = 0; i < history.size();) {
    const Op& op = history[i];
    std::size_t last = i + 1;
    if (!single && route == Route::kBulk &&
        (op.kind == Op::Kind::kAdd || op.kind == Op::Kind::kDelete)) {
      while (last < history.size() && history[last].kind == op.kind) ++last;
      bulk(diff, std::span(history).subspan(i, last - i));
      i = last;
      continue;
    }
    switch (op.kind) {
      case Op::Kind::kAdd:
        static_cast<void>(diff.add_edge(op.a, op.b, op.weight));
        break;
      case Op::Kind::kDelete:
        diff.delete_edge(op.a, op.b);
        break;
      case Op::Kind::kDeleteNode:
        diff.delete_node(op.a);
        break;
      case Op::Kind::kRead:
        read();
        break;
    }
    if (single) static_cast<void>(diff.num_edges());
    i = last;
  }
  read();
  return documents;
}

// Random edge calls among `ids` pool ids from `first`, reading every `read_every`
// calls; deletions come in runs of one to three, and a node now and then is
// deleted, so that refusals and voided twins come up.
History mixed_history(std::uint32_t seed, std::size_t calls, std::uint32_t first, std::uint32_t ids,
                      std::size_t read_every) {
  std::mt19937 engine(seed);
  const auto random = [&engine](std::uint32_t below) {
    return static_cast<std::uint32_t>(engine() % below);
  };
  History history;
  for (std::size_t i = 0; i < calls; ++i) {
    const NodeId a = pool(first + random(ids)), b = pool(first + random(ids));
    const float weight = static_cast<float>(random(8));
    if (i % read_every == read_every - 1) {
      history.push_back({Op::Kind::kRead, a, b, 0});
    } else if (i % 997 == 500) {
      history.push_back({Op::Kind::kDeleteNode, a, b, 0});
    } else {
      history.push_back({i % 11 < 1 + i % 3 ? Op::Kind::kDelete : Op::Kind::kAdd, a, b, weight});
    }
  }
  return history;
}

// Runs of `run` adds, or deletions, past the log's least room, among `ids` pool
// ids: pairs repeat within a run (replaced weights, repeated deletions), later
// runs undo earlier ones (voided twins), and a deleted node makes refusals.
History run_history(std::uint32_t seed, Op::Kind kind, std::size_t run, std::uint32_t ids) {
  std::mt19937 engine(seed);
  const auto random = [&engine](std::uint32_t below) {
    return static_cast<std::uint32_t>(engine() % below);
  };
  History history;
  for (int r = 0; r < 4; ++r) {
    const Op::Kind this_run =
        r % 2 == 0 ? kind : (kind == Op::Kind::kAdd ? Op::Kind::kDelete : Op::Kind::kAdd);
    for (std::size_t i = 0; i < run; ++i) {
      history.push_back(
          {this_run, pool(random(ids)), pool(random(ids)), static_cast<float>(random(8))});
    }
    history.push_back({Op::Kind::kRead, pool(0), pool(0), 0});
    if (r == 1) history.push_back({Op::Kind::kDeleteNode, pool(random(ids)), pool(0), 0});
  }
  return history;
}

// A diff with edges among `ids` pool ids from `first`, deleted edges and a
// deleted node, every row applied.
GraphDiff start_diff(std::uint32_t ids, std::uint32_t first = 0) {
  GraphDiff diff;
  for (std::uint32_t i = 0; i < ids; ++i) {
    static_cast<void>(diff.add_edge(pool(first + i), pool(first + (i * 7 + 1) % ids), 0.5f));
    if (i % 5 == 0) diff.delete_edge(pool(first + (i * 3 + 2) % ids), pool(first + i));
  }
  diff.delete_node(pool(first + ids / 2));
  static_cast<void>(diff.num_edges());
  return diff;
}

// Edges from ids that collide under the first key of the fixed schedule to
// ids the diff holds: placing enough of them re-keys the id index in the
// middle of a log, after the rows that follow were hashed ahead.
History rekey_history(std::uint32_t held) {
  const std::vector<NodeId> crafted = kovra::testing::fully_colliding_ids(200, 1);
  History history;
  for (std::size_t i = 0; i < crafted.size(); ++i) {
    history.push_back({Op::Kind::kAdd, crafted[i], pool(static_cast<std::uint32_t>(i % held)), 1});
    history.push_back({Op::Kind::kAdd, pool(static_cast<std::uint32_t>(i * 3 % held)),
                       pool(static_cast<std::uint32_t>(i * 5 % held)), 2});
  }
  return history;
}

struct Twin {
  const char* fast_path;
  FastPath counted;
  Route route;
  std::size_t cached_buckets;  // the threshold while the row runs
  bool fixed_keys;
  std::function<GraphDiff()> start;
  std::function<History(std::uint32_t seed)> history;
};

const std::vector<Twin>& twins() {
  static const std::vector<Twin> table = {
      {"the log applied in one pass, the id index in cache", FastPath::kLogInCache, Route::kLogged,
       kovra::kCachedBuckets, false, [] { return start_diff(60); },
       [](std::uint32_t seed) { return mixed_history(seed, 4000, 0, 200, 700); }},
      {"the log applied working ahead, the id index past the cache (real size)",
       FastPath::kLogAhead, Route::kLogged, kovra::kCachedBuckets, false,
       [] { return start_diff(30000); },
       [](std::uint32_t seed) { return mixed_history(seed, 6000, 0, 40000, 2500); }},
      {"the log applied working ahead, the threshold lowered", FastPath::kLogAhead, Route::kLogged,
       0, false, [] { return start_diff(60); },
       [](std::uint32_t seed) { return mixed_history(seed, 4000, 0, 200, 700); }},
      {"the log working ahead through a re-key of the id index", FastPath::kPassRekeyed,
       Route::kLogged, 0, true, [] { return start_diff(300); },
       [](std::uint32_t) { return rekey_history(300); }},
      {"add_edges past the log's room, sorted by `from`", FastPath::kSortedBatch, Route::kBulk,
       kovra::kCachedBuckets, false, [] { return start_diff(400); },
       [](std::uint32_t seed) { return run_history(seed, Op::Kind::kAdd, 1500, 500); }},
      {"add_edges sorted, the id index past the cache", FastPath::kSortedBatch, Route::kBulk, 0,
       false, [] { return start_diff(400); },
       [](std::uint32_t seed) { return run_history(seed, Op::Kind::kAdd, 1500, 500); }},
      {"delete_edges past the log's room", FastPath::kDeletedBatch, Route::kBulk,
       kovra::kCachedBuckets, false, [] { return start_diff(400); },
       [](std::uint32_t seed) { return run_history(seed, Op::Kind::kDelete, 1500, 500); }},
      {"delete_edges past the log's room, the id index past the cache", FastPath::kDeletedBatch,
       Route::kBulk, 0, false, [] { return start_diff(400); },
       [](std::uint32_t seed) { return run_history(seed, Op::Kind::kDelete, 1500, 500); }},
  };
  return table;
}

// The threshold lowered, and the keys fixed, while one lives.
struct RowSetting {
  explicit RowSetting(const Twin& twin) {
    kovra::cached_buckets = twin.cached_buckets;
    if (twin.fixed_keys) kovra::fix_hash_keys(true);
  }
  ~RowSetting() {
    kovra::cached_buckets = kovra::kCachedBuckets;
    kovra::fix_hash_keys(false);
  }
  RowSetting(const RowSetting&) = delete;
  RowSetting& operator=(const RowSetting&) = delete;
};

TEST(every_fast_path_agrees_with_its_twin_and_runs) {
  for (const Twin& twin : twins()) {
    for (std::uint32_t seed = 0; seed < 2; ++seed) {
      const RowSetting setting(twin);
      GraphDiff fast = twin.start();
      GraphDiff general = twin.start();
      const History history = twin.history(seed);
      const std::uint64_t before = runs_of(twin.counted);
      const auto fast_documents = run(fast, history, twin.route, false);
      const std::uint64_t ran = runs_of(twin.counted) - before;
      const auto general_documents = run(general, history, twin.route, true);
      if (!(fast_documents == general_documents) || ran == 0) {
        std::fprintf(stderr, "row: %s, seed %u, fast path ran %llu times\n", twin.fast_path, seed,
                     static_cast<unsigned long long>(ran));
      }
      CHECK(fast_documents == general_documents);
      CHECK(ran > 0);
    }
  }
}

// The bulk rows' first call failing at each allocation in turn: the diff reads
// as before it, and the batch's undo ran.
TEST(every_bulk_fast_path_fails_as_a_whole) {
  for (const Twin& twin : twins()) {
    if (twin.route != Route::kBulk) continue;
    const RowSetting setting(twin);
    const History history = twin.history(0);
    std::size_t rows = 0;
    while (history[rows].kind == history[0].kind) ++rows;
    const std::span<const Op> first = std::span(history).first(rows);
    GraphDiff expected = twin.start();
    bulk(expected, first);
    const auto expected_document = kovra::serialize_graph_diff(expected);
    const std::uint64_t undone = runs_of(FastPath::kBatchUndone);
    for (long fail_at = 0;; ++fail_at) {
      GraphDiff diff = twin.start();
      const auto before = kovra::serialize_graph_diff(diff);
      allocations_left = fail_at;
      bool completed = true;
      try {
        bulk(diff, first);
      } catch (const std::bad_alloc&) {
        completed = false;
      }
      allocations_left = -1;
      CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
      if (!completed) {
        CHECK(kovra::serialize_graph_diff(diff) == before);
        continue;
      }
      CHECK(kovra::serialize_graph_diff(diff) == expected_document);
      break;
    }
    if (twin.counted == FastPath::kSortedBatch) CHECK(runs_of(FastPath::kBatchUndone) > undone);
  }
}

}  // namespace
