// A native loop over GraphDiff, without the interpreter: the core's own cost per
// call, for callgrind (instructions, cache misses) and perf.
//
//   benchmarks/native/run.sh [W1|W1s|W1d|W9|W2|W3|W5r|W5n|W5w|B|Bs] [callgrind]
//
// W1: add_edge, 1,000,000 random edges among 100,000 ids; W1s: a tenth of that
// (tables in cache); W1d: delete_edge of W1's pairs on the W1 diff; W9: stream.py's
// mixed stream of 1,000,000 operations over W1's pairs; W2: add_node of 200,000 ids, then a merge
// on half; W3: delete_node of 10,000 ids of the W1 diff; W5r: from_bytes of the W1 diff; W5n: the
// same with 200,000 nodes of all seven fields, the document of run.py's W5; W5w: to_bytes of that
// diff; B and Bs: the W1 and W1s edges as one add_edges batch. The measured region sits between two
// calls of `measured_region`, so callgrind can be told to count only there
// (--toggle-collect=measured_region_body).
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "codec/document_reader.h"
#include "codec/document_writer.h"
#include "diff/graph_diff.h"

using kovra::GraphDiff;
using kovra::NodeId;

namespace {

std::vector<NodeId> make_ids(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<NodeId> ids(count);
  for (NodeId& id : ids) {
    const std::uint64_t words[2] = {rng(), rng()};
    std::memcpy(id.bytes.data(), words, 16);
  }
  return ids;
}

struct Edge {
  std::uint32_t from, to;
  float weight;
};

std::vector<Edge> make_edges(std::size_t ids, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Edge> edges(count);
  for (Edge& e : edges) {
    e.from = static_cast<std::uint32_t>(rng() % ids);
    e.to = static_cast<std::uint32_t>(rng() % ids);
    e.weight = static_cast<float>(rng() % 1000) / 1000.0f;
  }
  return edges;
}

// Updates shaped like run.py's W5 nodes: a label of 11 characters, a size in
// quarters, a url, three colours and the flag.
void add_full_nodes(GraphDiff& diff, const std::vector<NodeId>& ids) {
  std::mt19937_64 rng(4);
  char text[64];
  for (std::size_t i = 0; i < ids.size(); ++i) {
    kovra::NodeUpdate update;
    std::snprintf(text, sizeof text, "node-%06zu", i);
    update.set_label(text);
    std::snprintf(text, sizeof text, "https://example.org/n/%06zu", i);
    update.set_url(text);
    update.set_size(static_cast<float>(rng() % 400 + 1) / 4.0f);
    update.set_red(static_cast<std::uint8_t>(rng()));
    update.set_green(static_cast<std::uint8_t>(rng()));
    update.set_blue(static_cast<std::uint8_t>(rng()));
    update.set_show_label((i & 1) != 0);
    diff.add_node(ids[i], std::move(update));
  }
}

// stream.py's W9, operation for operation; each to_bytes() is followed by clear().
void run_mixed_stream(GraphDiff& diff, const std::vector<NodeId>& ids,
                      const std::vector<Edge>& edges) {
  std::size_t sink = 0;
  std::vector<NodeId> from, to;
  std::vector<float> weights;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const Edge& e = edges[i];
    if (i % 100000 == 99999) {
      sink += kovra::serialize_graph_diff(diff)->size();
      diff.clear();
    } else if (i % 1000 == 500) {
      diff.delete_node(ids[(i * 7919) % ids.size()]);
    } else if (i % 200 == 100) {
      from.clear();
      to.clear();
      weights.clear();
      for (std::size_t k = 0; k < 16; ++k) {
        const Edge& row = edges[(i + k * 997) % edges.size()];
        from.push_back(ids[row.from]);
        to.push_back(ids[row.to]);
        weights.push_back(row.weight);
      }
      diff.add_edges(from, to, weights);
    } else if (i % 100 == 50) {
      sink += diff.num_edges();
    } else if (i % 100 == 75) {
      sink += diff.num_nodes();
    } else if (i % 32 == 7) {
      kovra::NodeUpdate update;
      update.set_label("n");
      update.set_size(e.weight);
      diff.add_node(ids[e.from], std::move(update));
    } else if (i % 16 == 3) {
      const Edge& other = edges[(i * 31) % edges.size()];
      diff.delete_edge(ids[other.from], ids[other.to]);
    } else {
      (void)diff.add_edge(ids[e.from], ids[e.to], e.weight);
    }
  }
  sink += kovra::serialize_graph_diff(diff)->size();
  if (sink == 0) std::abort();
}

}  // namespace

// Kept out of line so that callgrind can collect inside it only.
extern "C" __attribute__((noipa)) void measured_region_body(void (*work)(void*), void* arg) {
  work(arg);
}

// Thread CPU time: on a shared machine the time spent waiting for a CPU is left out.
double cpu_ns() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e9 + double(now.tv_nsec);
}

template <class Work>
double measure(Work&& work) {
  const double start = cpu_ns();
  using Plain = std::remove_reference_t<Work>;
  measured_region_body([](void* w) { (*static_cast<Plain*>(w))(); },
                       const_cast<void*>(static_cast<const void*>(&work)));
  return cpu_ns() - start;
}

int main(int argc, char** argv) {
  const std::string workload = argc > 1 ? argv[1] : "W1";
  const bool small = workload == "W1s" || workload == "Bs";
  const std::size_t id_count = small ? 10000 : 100000;
  const std::size_t edge_count = small ? 100000 : 1000000;
  const std::vector<NodeId> ids = make_ids(workload == "W2" ? 200000 : id_count, 1);
  double ns = 0;
  std::size_t calls = 0;
  if (workload == "B" || workload == "Bs") {
    const std::vector<Edge> edges = make_edges(id_count, edge_count, 2);
    std::vector<NodeId> from, to;
    std::vector<float> weights;
    for (const Edge& e : edges) {
      from.push_back(ids[e.from]);
      to.push_back(ids[e.to]);
      weights.push_back(e.weight);
    }
    GraphDiff diff;
    ns = measure([&] {
      diff.add_edges(from, to, weights);
      diff.settle();
    });
    calls = edges.size();
  } else if (workload == "W1" || workload == "W1s" || workload == "W3" || workload == "W5r" ||
             workload == "W5n" || workload == "W5w") {
    const std::vector<Edge> edges = make_edges(id_count, edge_count, 2);
    GraphDiff diff;
    // The rows still pending at the end are part of the work.
    const auto add_all = [&] {
      for (const Edge& e : edges) (void)diff.add_edge(ids[e.from], ids[e.to], e.weight);
      diff.settle();
    };
    if (workload == "W1" || workload == "W1s") {
      ns = measure(add_all);
      calls = edges.size();
    } else {
      add_all();
      if (workload == "W3") {
        ns = measure([&] {
          for (std::size_t i = 0; i < 10000; ++i) diff.delete_node(ids[(i * 7919) % ids.size()]);
        });
        calls = 10000;
      } else {
        if (workload != "W5r") add_full_nodes(diff, make_ids(200000, 3));
        const auto document = kovra::serialize_graph_diff(diff);
        // Best of five: the first run also pays for faulting in fresh pages.
        for (int rep = 0; rep < 5; ++rep) {
          const double once = measure([&] {
            if (workload == "W5w") {
              if (!kovra::serialize_graph_diff(diff)) std::abort();
            } else if (!kovra::deserialize_graph_diff(*document)) {
              std::abort();
            }
          });
          ns = rep == 0 || once < ns ? once : ns;
        }
        calls = 1;
      }
    }
  } else if (workload == "W1d") {
    const std::vector<Edge> edges = make_edges(id_count, edge_count, 2);
    GraphDiff diff;
    for (const Edge& e : edges) (void)diff.add_edge(ids[e.from], ids[e.to], e.weight);
    diff.settle();
    ns = measure([&] {
      for (const Edge& e : edges) diff.delete_edge(ids[e.from], ids[e.to]);
      diff.settle();
    });
    calls = edges.size();
  } else if (workload == "W9") {
    const std::vector<Edge> edges = make_edges(id_count, edge_count, 2);
    GraphDiff diff;
    ns = measure([&] { run_mixed_stream(diff, ids, edges); });
    calls = edges.size();
  } else if (workload == "W2") {
    GraphDiff diff;
    ns = measure([&] {
      for (std::size_t i = 0; i < ids.size(); ++i) {
        kovra::NodeUpdate update;
        update.set_size(static_cast<float>(i));
        update.set_red(static_cast<std::uint8_t>(i));
        diff.add_node(ids[i], std::move(update));
      }
      for (std::size_t i = 0; i < ids.size(); i += 2) {
        kovra::NodeUpdate update;
        update.set_green(static_cast<std::uint8_t>(i));
        diff.add_node(ids[i], std::move(update));
      }
    });
    calls = ids.size() + (ids.size() + 1) / 2;
  } else {
    std::fprintf(stderr, "unknown workload %s\n", workload.c_str());
    return 2;
  }
  std::printf("%s: %zu calls, %.1f ns per call\n", workload.c_str(), calls, ns / double(calls));
  return 0;
}
