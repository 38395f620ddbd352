// Raw bytes as a history of edge and node operations over a small pool of ids,
// run twice: once with every edge row logged (one-row bulk calls) and applied
// later, in logs of whatever length the reads leave, by EdgeStore::put_rows;
// once as single calls each followed by a read, which apply at once through
// EdgeStore::put_row, the twin. The two diffs must write the same bytes at every
// read, and keep their invariants. Test builds also lower the threshold past
// which the log is applied working ahead (fast_path_count.h).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "codec/document_writer.h"
#include "diff/fast_path_count.h"
#include "diff/graph_diff.h"
#include "diff_snapshot.h"

namespace {

using kovra::GraphDiff;
using kovra::NodeId;

// Sixteen ids, so that a history keeps meeting the same nodes and edges.
NodeId pool_id(unsigned i) {
  NodeId id{};
  id.bytes[0] = static_cast<std::uint8_t>(i & 15);
  id.bytes[15] = 0xa5;
  return id;
}

void same_or_abort(const GraphDiff& logged, const GraphDiff& single) {
  if (kovra::serialize_graph_diff(logged) != kovra::serialize_graph_diff(single)) std::abort();
  if (!kovra::testing::broken_rule(logged).empty()) std::abort();
  if (!kovra::testing::broken_rule(single).empty()) std::abort();
}

}  // namespace

// Each operation is two bytes: the first byte's low three bits pick what (add an
// edge, four times in eight; delete an edge; delete a node; read; clear), the
// rest of it and the second byte the ids and a weight.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
#ifdef KOVRA_TEST_HOOKS
  // Sixteen ids keep the id index in cache: an input of odd length lowers the
  // threshold, so that its logs are applied working ahead.
  kovra::cached_buckets = size % 2 == 1 ? 0 : kovra::kCachedBuckets;
#endif
  GraphDiff logged;
  GraphDiff single;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const unsigned op = data[i] & 7;
    const NodeId from = pool_id(data[i] >> 3);
    const NodeId to = pool_id(data[i + 1]);
    const float weight = static_cast<float>(data[i + 1] >> 4) / 4.0f;
    const std::span<const NodeId> from_row(&from, 1);
    const std::span<const NodeId> to_row(&to, 1);
    switch (op) {
      case 0:
      case 1:
      case 2:
      case 3:
        logged.add_edges(from_row, to_row, std::span<const float>(&weight, 1));
        static_cast<void>(single.add_edge(from, to, weight));
        break;
      case 4:
        logged.delete_edges(from_row, to_row);
        single.delete_edge(from, to);
        break;
      case 5:
        logged.delete_node(from);
        single.delete_node(from);
        break;
      case 6:
        same_or_abort(logged, single);
        break;
      default:
        logged.clear();
        single.clear();
        break;
    }
    static_cast<void>(single.num_edges());  // so that its edge calls apply at once
  }
  same_or_abort(logged, single);
  return 0;
}
