// Ids chosen against the tables: the work they cause, counted in bucket probes
// and fallback comparisons, stays within a small factor of what random ids of
// the same count cause, and memory follows content under churn.
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "codec/document_reader.h"
#include "codec/document_writer.h"
#include "crafted_ids.h"
#include "diff/bounded_index.h"
#include "diff/graph_diff.h"
#include "diff/id_table.h"
#include "diff_snapshot.h"

#ifndef KOVRA_TEST_HOOKS
#error "hostile_ids_test needs a core built with KOVRA_TEST_HOOKS"
#endif

namespace {

using kovra::BoundedIndex;
using kovra::GraphDiff;
using kovra::NodeId;
using kovra::NodeUpdate;
using kovra::testing::FixedKeys;
using kovra::testing::fully_colliding_ids;
using kovra::testing::id_of;

std::uint64_t probes_of(const std::function<void()>& work) {
  const std::uint64_t before = kovra::probe_count;
  work();
  return kovra::probe_count - before;
}

std::vector<NodeId> random_ids(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<NodeId> ids;
  for (std::size_t i = 0; i < count; ++i) ids.push_back(id_of(rng(), rng()));
  return ids;
}

// The constants that the former hash xored into the halves: every id with
// either half equal to its constant hashed to the same value.
std::vector<NodeId> weak_key_ids(std::size_t count, bool low_half) {
  std::mt19937_64 rng(7);
  std::vector<NodeId> ids;
  for (std::size_t i = 0; i < count; ++i) {
    ids.push_back(low_half ? id_of(0x9e3779b97f4a7c15ULL, rng())
                           : id_of(rng(), 0xd6e8feb86659fd93ULL));
  }
  return ids;
}

// Ids that all share the home bucket of every table of up to 2^bits buckets
// under the first key of the schedule.
std::vector<NodeId> colliding_ids(std::size_t count, unsigned bits) {
  std::mt19937_64 rng(11);
  const kovra::HashKey key = kovra::key_schedule(0);
  std::vector<NodeId> ids;
  while (ids.size() < count) {
    const NodeId id = id_of(rng(), rng());
    // The home bucket scales the hash's top 32 bits to the bucket count.
    if ((kovra::hash_id(id, key) >> (64 - bits)) == 0) ids.push_back(id);
  }
  return ids;
}

// The work of a typical life: edges among the ids, every node deleted, the
// deletions written and read back.
std::uint64_t life_probes(const std::vector<NodeId>& ids) {
  GraphDiff diff;
  const std::size_t n = ids.size();
  return probes_of([&] {
    for (std::size_t i = 0; i < n; ++i) {
      diff.add_node(ids[i], NodeUpdate());
      (void)diff.add_edge(ids[i], ids[(i * 7 + 1) % n], 1.0f);
    }
    for (const NodeId& id : ids) diff.delete_node(id);
    const auto document = kovra::serialize_graph_diff(diff);
    CHECK(document.has_value());
    const auto back = kovra::deserialize_graph_diff(*document);
    CHECK(back && back->deleted_nodes().size() == n);
  });
}

void check_like_random(const std::vector<NodeId>& crafted, const char* what) {
  const std::uint64_t random = life_probes(random_ids(crafted.size(), 3));
  const std::uint64_t hostile = life_probes(crafted);
  if (hostile > 2 * random) {
    CHECK_EQ(std::string(what), "within twice the probes of random ids");
  }
}

TEST(weak_keys_of_the_former_hash_cost_as_random_ids) {
  check_like_random(weak_key_ids(20000, true), "first half fixed");
  check_like_random(weak_key_ids(20000, false), "second half fixed");
}

// Against the secret keys, ids computed from the public schedule are random ids.
TEST(ids_colliding_under_the_former_schedule_cost_as_random_ids) {
  std::vector<NodeId> ids = fully_colliding_ids(130, 4);
  const std::vector<NodeId> rest = random_ids(20000, 23);
  ids.insert(ids.end(), rest.begin(), rest.end());
  check_like_random(ids, "full collisions under the former schedule");
  kovra::IdTable<NodeId> table;
  for (const NodeId& id : ids) table.insert(id);
  CHECK(!table.ordered());
}

// With the keys known, one computed set per key sends a table through its
// re-keys to the tree, where every lookup stays logarithmic; it hashes again
// once it has grown by a step, instead of staying in the tree for good.
TEST(a_table_forced_into_the_tree_hashes_again_as_it_grows) {
  const FixedKeys fixed;
  const std::vector<NodeId> crafted = fully_colliding_ids(130, 4);
  kovra::IdTable<NodeId> table;
  table.reserve(crafted.size());  // no growth, so no fresh budget of re-keys
  const std::uint64_t forcing = probes_of([&] {
    for (const NodeId& id : crafted) table.insert(id);
  });
  CHECK(table.ordered());
  CHECK(forcing <= crafted.size() * 2 * BoundedIndex<kovra::IdKeys>::probe_limit(7));
  std::uint64_t worst = 0;
  for (const NodeId& id : crafted) {
    worst = std::max(worst, probes_of([&] { CHECK(table.contains(id)); }));
  }
  CHECK(worst <= 2 * 10);  // two comparisons per level of a tree of 520 keys

  const std::vector<NodeId> later = random_ids(2000, 29);
  std::size_t added = 0;
  while (table.ordered() && added < later.size()) table.insert(later[added++]);
  CHECK(added <= crafted.size() / 3 + 65);
  for (std::size_t i = added; i < later.size(); ++i) table.insert(later[i]);
  CHECK(!table.ordered());
  for (const NodeId& id : crafted) {
    worst = std::max(worst, probes_of([&] { CHECK(table.contains(id)); }));
  }
  CHECK(worst <= BoundedIndex<kovra::IdKeys>::probe_limit(9));
}

// A view's order is a diff's history, not its hash positions, so a prefix of a
// large diff's order is nothing special to a fresh diff.
TEST(prefix_of_a_large_diffs_order_costs_as_random_ids) {
  GraphDiff large;
  for (const NodeId& id : random_ids(200000, 5)) large.delete_node(id);
  std::vector<NodeId> prefix;
  for (const NodeId& id : large.deleted_nodes()) {
    if (prefix.size() == 20000) break;
    prefix.push_back(id);
  }
  check_like_random(prefix, "order prefix");
}

TEST(ids_colliding_under_the_first_key_cost_as_random_ids) {
  const FixedKeys fixed;
  const std::vector<NodeId> crafted = colliding_ids(3000, 9);
  check_like_random(crafted, "colliding ids");

  // Read into a table sized for them at once, they share 1/32 of its buckets;
  // the table must leave that key after a few hundred of them, not thousands.
  const auto read_probes = [](const std::vector<NodeId>& ids) {
    GraphDiff diff;
    for (const NodeId& id : ids) diff.delete_node(id);
    const auto document = kovra::serialize_graph_diff(diff);
    return probes_of([&] { CHECK(kovra::deserialize_graph_diff(*document).has_value()); });
  };
  const std::vector<NodeId> many = colliding_ids(40000, 8);
  CHECK(read_probes(many) * 10 <= read_probes(random_ids(many.size(), 3)) * 13);

  // One table on its own: it leaves the first key, and no lookup ever visits
  // more buckets than the limit of its size.
  kovra::IdTable<NodeId> table;
  for (const NodeId& id : crafted) table.insert(id);
  CHECK(!table.ordered());
  std::uint64_t worst = 0;
  for (const NodeId& id : crafted) {
    worst = std::max(worst, probes_of([&] { CHECK(table.contains(id)); }));
  }
  CHECK(worst <= BoundedIndex<kovra::IdKeys>::probe_limit(12));
}

// Placing a batch row's `from` id may re-key the index; the row's `to` id must
// then be looked up under the new key, or an id the diff holds is missed and
// interned a second time.
TEST(a_batch_row_after_a_re_key_finds_the_ids_the_diff_holds) {
  const FixedKeys fixed;
  const std::vector<NodeId> crafted = colliding_ids(3000, 9);
  const std::vector<NodeId> held = random_ids(crafted.size(), 5);
  GraphDiff diff;
  for (std::size_t i = 0; i + 1 < held.size(); ++i) {
    static_cast<void>(diff.add_edge(held[i], held[i + 1], 1.0f));
  }
  diff.add_edges(crafted, held, std::vector<float>(crafted.size(), 2.0f));
  CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
  CHECK_EQ(diff.live_slots(), crafted.size() + held.size());
}

// Interned numbers follow the order in which ids first appear, so a caller can
// pick which numbers one `from` node's targets get.
TEST(targets_with_colliding_interned_numbers_cost_as_random_targets) {
  const FixedKeys fixed;
  const kovra::HashKey key = kovra::key_schedule(0);
  const std::vector<NodeId> pool = random_ids(600000, 13);
  const auto cost = [&](bool crafted) {
    GraphDiff diff;
    const NodeId hub = id_of(1, 1);
    const NodeId holder = id_of(2, 2);
    std::vector<NodeId> targets;
    // Numbers 0 and 1 go to the hub and the holder; pool[i] gets number i + 2.
    (void)diff.add_edge(hub, holder, 1.0f);
    for (std::size_t i = 0; i < pool.size(); ++i) {
      diff.delete_edge(holder, pool[i]);
      const auto number = static_cast<std::uint32_t>(i + 2);
      const bool collides = (kovra::hash_number(number, key) >> 56) == 0;
      if (crafted ? collides : i % 256 == 0) targets.push_back(pool[i]);
    }
    return probes_of([&] {
      for (const NodeId& to : targets) (void)diff.add_edge(hub, to, 2.0f);
      for (const NodeId& to : targets) diff.delete_edge(hub, to);
    });
  };
  const std::uint64_t random = cost(false);
  const std::uint64_t crafted = cost(true);
  CHECK(crafted <= 2 * random);
}

// Keys that collide under every key of the schedule: the index gives up hashing
// and every operation stays logarithmic.
struct ConstantKeys {
  using Key = std::uint32_t;
  static constexpr bool kTagIsKey = true;
  static std::uint64_t hash(std::uint32_t, kovra::HashKey) noexcept { return 0; }
  static std::uint32_t tag(std::uint64_t, std::uint32_t key) noexcept { return key; }
  using Less = kovra::NumberKeys::Less;
};

TEST(keys_colliding_under_every_key_fall_back_to_the_tree) {
  BoundedIndex<ConstantKeys> index;
  const auto no_key_at = [](std::uint32_t) { return 0u; };
  constexpr std::uint32_t kCount = 20000;
  const std::uint64_t inserting = probes_of([&] {
    for (std::uint32_t k = 0; k < kCount; ++k) index.insert(k * 3, k, no_key_at);
  });
  CHECK(index.ordered());
  // Each probe or comparison is O(log n); 2 log2 n comparisons per tree step.
  CHECK(inserting <= std::uint64_t{kCount} * 40);
  std::uint64_t worst = 0;
  for (std::uint32_t k = 0; k < kCount; ++k) {
    worst = std::max(worst, probes_of([&] { CHECK_EQ(index.find(k * 3, no_key_at), k); }));
  }
  CHECK(worst <= 40);
  CHECK_EQ(index.find(1, no_key_at), kovra::kNone);
  index.repoint(3, 77, no_key_at);
  CHECK_EQ(index.find(3, no_key_at), 77u);
  index.erase(3, no_key_at);
  CHECK_EQ(index.find(3, no_key_at), kovra::kNone);
  CHECK_EQ(index.size(), kCount - 1);
  index.clear();
  CHECK(!index.ordered() && index.size() == 0);
  index.insert(5, 0, no_key_at);
  CHECK_EQ(index.find(5, no_key_at), 0u);
}

// Removals and insertions in turn leave tombstones behind; lookups stay bounded
// and the table does not grow while its content does not.
TEST(tombstones_keep_lookups_bounded_and_size_flat) {
  kovra::IdTable<NodeId> table;
  const std::vector<NodeId> ids = random_ids(200000, 17);
  for (std::size_t i = 0; i < 1000; ++i) table.insert(ids[i]);
  for (std::size_t i = 1000; i < ids.size(); ++i) {
    table.erase(ids[i - 1000]);
    table.insert(ids[i]);
  }
  CHECK_EQ(table.size(), std::size_t{1000});
  std::uint64_t worst = 0;
  for (std::size_t i = ids.size() - 1000; i < ids.size(); ++i) {
    worst = std::max(worst, probes_of([&] { CHECK(table.contains(ids[i])); }));
  }
  CHECK(worst <= BoundedIndex<kovra::IdKeys>::probe_limit(9));
}

// Past its small sizes a table grows a step at a time, so its buckets never
// outnumber a quarter of its keys; a reservation gives room without growing.
TEST(buckets_stay_within_a_quarter_of_the_keys) {
  const auto no_key_at = [](std::uint32_t) { return 0u; };
  BoundedIndex<kovra::NumberKeys> grown;
  for (std::uint32_t k = 0; k < 300000; ++k) {
    grown.insert(k, k, no_key_at);
    if (k >= 768 && grown.bucket_count() * 4 > grown.size()) {
      CHECK_EQ(grown.bucket_count(), std::size_t{grown.size() / 4});
      break;
    }
  }
  for (const std::uint32_t count : {1153u, 4609u, 100000u, 196609u}) {
    BoundedIndex<kovra::NumberKeys> reserved;
    reserved.reserve(count, no_key_at);
    const std::size_t buckets = reserved.bucket_count();
    CHECK(buckets * 4 <= count);
    for (std::uint32_t k = 0; k < count; ++k) reserved.insert(k * 7, k, no_key_at);
    CHECK_EQ(reserved.bucket_count(), buckets);
    CHECK_EQ(reserved.find(7 * (count - 1), no_key_at), count - 1);
  }
}

// Each cycle names a new id once and lets it go; a diff that holds one node must
// not keep one interned id per cycle.
TEST(churn_keeps_interned_ids_bounded) {
  GraphDiff diff;
  const NodeId a = id_of(42, 42);
  for (std::uint64_t i = 0; i < 100000; ++i) {
    (void)diff.add_edge(a, id_of(i, 0), 1.0f);
    diff.delete_node(a);
    diff.add_node(a, NodeUpdate());
    CHECK(diff.live_slots() <= 2);
  }
  CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
  CHECK_EQ(diff.live_slots(), std::size_t{0});

  // Edges whose `from` nodes churn around one long-lived target.
  const NodeId target = id_of(43, 43);
  (void)diff.add_edge(id_of(44, 44), target, 1.0f);
  for (std::uint64_t i = 0; i < 100000; ++i) {
    (void)diff.add_edge(id_of(i, 1), target, 1.0f);
    diff.delete_edge(id_of(i, 1), target);
    (void)diff.add_edge(id_of(i, 1), target, 1.0f);
    diff.delete_node(id_of(i, 1));
    diff.add_node(id_of(i, 1), NodeUpdate());
    if (i % 10000 == 0) CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
  }
  CHECK(diff.live_slots() <= 3);
  CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
}

// A document's texts share chunks, and an update that lets its texts go gives its
// share back: once every label is replaced, or the diff is gone, so are the chunks.
TEST(document_texts_leave_with_the_last_update_that_holds_them) {
  const std::vector<NodeId> ids = random_ids(5000, 37);
  std::string document;
  {
    GraphDiff diff;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      NodeUpdate update;
      update.set_label("a label long enough not to fit inline " + std::to_string(i));
      update.set_red(7);
      diff.add_node(ids[i], std::move(update));
    }
    document = *kovra::serialize_graph_diff(diff);
  }
  CHECK_EQ(kovra::TextChunks::live_chunks, std::size_t{0});
  auto back = kovra::deserialize_graph_diff(document);
  CHECK(back && kovra::TextChunks::live_chunks > 1);
  CHECK_EQ(*kovra::serialize_graph_diff(*back), document);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    NodeUpdate update;
    update.set_label("short");
    back->add_node(ids[i], std::move(update));
    if (i + 1 < ids.size()) CHECK(kovra::TextChunks::live_chunks > 0);
  }
  CHECK_EQ(kovra::TextChunks::live_chunks, std::size_t{0});
  back = kovra::deserialize_graph_diff(document);
  CHECK(kovra::TextChunks::live_chunks > 1);
  back.reset();
  CHECK_EQ(kovra::TextChunks::live_chunks, std::size_t{0});
}

}  // namespace
