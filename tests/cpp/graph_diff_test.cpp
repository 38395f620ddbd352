// Drives GraphDiff with random operations over a small pool of ids and compares
// it after every step with a direct transcription of the rules on ordered maps.
#include "diff/graph_diff.h"

#include <map>
#include <new>
#include <random>
#include <set>
#include <string>

#include "check.h"
#include "diff_snapshot.h"

namespace {

using kovra::GraphDiff;
using kovra::NodeId;
using kovra::NodeUpdate;

using Key = std::array<std::uint8_t, 16>;

struct Model {
  std::map<Key, std::string> nodes;  // label only: enough to see overlays
  std::set<Key> deleted_nodes;
  std::map<Key, std::map<Key, float>> edges;
  std::map<Key, std::set<Key>> deleted_edges;

  void add_node(const Key& id, const std::string& label) {
    nodes[id] = label;
    deleted_nodes.erase(id);
  }
  void delete_node(const Key& id) {
    nodes.erase(id);
    edges.erase(id);
    for (auto& [from, inner] : edges) {
      if (inner.erase(id)) deleted_edges[from].insert(id);
    }
    deleted_nodes.insert(id);
  }
  void add_edge(const Key& from, const Key& to, float weight) {
    if (deleted_nodes.count(from) || deleted_nodes.count(to)) return;
    auto it = deleted_edges.find(from);
    if (it != deleted_edges.end()) {
      it->second.erase(to);
      if (it->second.empty()) deleted_edges.erase(it);
    }
    edges[from][to] = weight;
  }
  void delete_edge(const Key& from, const Key& to) {
    deleted_edges[from].insert(to);
    auto it = edges.find(from);
    if (it != edges.end()) {
      it->second.erase(to);
      if (it->second.empty()) edges.erase(it);
    }
  }
};

NodeId make_id(std::uint8_t n) {
  NodeId id;
  id.bytes.fill(0x5a);
  id.bytes[15] = n;  // ids differing in one byte only
  return id;
}

bool same(const GraphDiff& diff, const Model& model) {
  if (diff.num_nodes() != model.nodes.size() + model.deleted_nodes.size()) return false;
  if (diff.num_edges() != model.edges.size() + model.deleted_edges.size()) return false;
  std::map<Key, std::string> nodes;
  for (const auto& [id, update] : diff.nodes()) nodes[id.bytes] = std::string(*update.label());
  if (nodes != model.nodes) return false;
  std::set<Key> deleted;
  for (const auto& id : diff.deleted_nodes()) deleted.insert(id.bytes);
  if (deleted != model.deleted_nodes) return false;
  std::map<Key, std::map<Key, float>> edges;
  for (const auto& group : diff.edge_groups()) {
    auto& inner = edges[diff.id_of(group.from).bytes];
    for (const auto& entry : group.targets) inner[diff.id_of(entry.key).bytes] = entry.value;
  }
  if (edges != model.edges) return false;
  std::map<Key, std::set<Key>> deleted_edges;
  for (const auto& group : diff.deleted_groups()) {
    auto& inner = deleted_edges[diff.id_of(group.from).bytes];
    for (const auto& entry : group.targets) inner.insert(diff.id_of(entry.key).bytes);
  }
  return deleted_edges == model.deleted_edges && diff.consistent();
}

void random_histories(unsigned seed, int pool, int steps) {
  std::mt19937 rng(seed);
  GraphDiff diff;
  Model model;
  for (int step = 0; step < steps; ++step) {
    const NodeId a = make_id(static_cast<std::uint8_t>(rng() % static_cast<unsigned>(pool)));
    const NodeId b = make_id(static_cast<std::uint8_t>(rng() % static_cast<unsigned>(pool)));
    switch (rng() % 10) {
      case 0:
      case 1: {
        NodeUpdate update;
        const std::string label = std::to_string(step);
        update.set_label(label);
        diff.add_node(a, std::move(update));
        model.add_node(a.bytes, label);
        break;
      }
      case 2:
        diff.delete_node(a);
        model.delete_node(a.bytes);
        break;
      case 3:
      case 4:
      case 5:
      case 6: {
        const float w = static_cast<float>(step);
        static_cast<void>(diff.add_edge(a, b, w));
        model.add_edge(a.bytes, b.bytes, w);
        break;
      }
      case 7:
      case 8:
        diff.delete_edge(a, b);
        model.delete_edge(a.bytes, b.bytes);
        break;
      default:
        if (rng() % 50 == 0) {
          diff.clear();
          model = Model();
        }
    }
    if (!same(diff, model)) {
      ::kovra::testing::report(__FILE__, __LINE__,
                               "seed " + std::to_string(seed) + " pool " + std::to_string(pool) +
                                   ": diverged at step " + std::to_string(step));
      return;
    }
  }
}

}  // namespace

TEST(merge_overlays_fields) {
  GraphDiff diff;
  const NodeId x = make_id(1);
  NodeUpdate first;
  first.set_label("a");
  first.set_size(2.0f);
  first.set_url("u");
  diff.add_node(x, std::move(first));
  NodeUpdate second;
  second.set_label("b");
  second.set_red(5);
  diff.add_node(x, std::move(second));
  const NodeUpdate& stored = diff.nodes().find(x)->second;
  CHECK(stored.label() == "b");
  CHECK(stored.url() == "u");
  CHECK(stored.size() == 2.0f);
  CHECK(stored.red() == std::uint8_t{5});
  CHECK(!stored.green() && !stored.blue() && !stored.show_label());
}

TEST(delete_node_leaves_emptied_group) {
  GraphDiff diff;
  const NodeId a = make_id(1), x = make_id(2), b = make_id(3);
  static_cast<void>(diff.add_edge(a, x, 1.0f));
  static_cast<void>(diff.add_edge(x, b, 1.0f));
  static_cast<void>(diff.add_edge(x, x, 1.0f));
  diff.delete_node(x);
  CHECK(diff.edge_groups().size() == 1);
  CHECK(diff.edge_groups()[0].targets.empty());
  CHECK(diff.deleted_groups().size() == 1);
  CHECK(diff.num_edges() == 2);
  CHECK(diff.add_edge(a, x, 2.0f) == kovra::AddEdgeStatus::kEndpointDeleted);
  CHECK_EQ(kovra::testing::broken_rule(diff), std::string());
}

// A hub with far more targets than the linear limit exercises the position
// index through inserts, swaps on erase and a node deletion.
TEST(hub_with_many_targets) {
  GraphDiff diff;
  Model model;
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    NodeId to;
    to.bytes.fill(0);
    const auto n = static_cast<unsigned>(rng() % 3000);
    to.bytes[0] = static_cast<std::uint8_t>(n);
    to.bytes[1] = static_cast<std::uint8_t>(n >> 8);
    const NodeId hub = make_id(static_cast<std::uint8_t>(rng() % 2));
    if (rng() % 3 == 0) {
      diff.delete_edge(hub, to);
      model.delete_edge(hub.bytes, to.bytes);
    } else {
      static_cast<void>(diff.add_edge(hub, to, static_cast<float>(i)));
      model.add_edge(hub.bytes, to.bytes, static_cast<float>(i));
    }
    if (i % 5000 == 4999) {
      diff.delete_node(to);
      model.delete_node(to.bytes);
    }
  }
  CHECK(same(diff, model));
}

// Texts past the inline bytes, and past what the length fields hold.
TEST(node_update_long_texts_copy) {
  for (const std::size_t length : {std::size_t{300}, std::size_t{70000}}) {
    NodeUpdate update;
    update.set_label(std::string(length, 'x'));
    update.set_url("");
    NodeUpdate copy(update);
    CHECK(copy == update);
    CHECK(copy.url() == std::string_view(""));
    NodeUpdate only_url;
    only_url.set_url("v");
    update.merge(std::move(only_url));
    CHECK(update.label() == std::string(length, 'x'));
    CHECK(update.url() == "v");
    NodeUpdate only_label;
    only_label.set_label("w");
    update.merge(std::move(only_label));
    CHECK(update.label() == "w");
    CHECK(update.url() == "v");
  }
}

TEST(random_histories_match_the_model) {
  for (unsigned seed = 1; seed <= 40; ++seed) random_histories(seed, seed % 2 ? 6 : 40, 3000);
}
