#include "codec/document_reader.h"

#include <cstdint>
#include <utility>

#include "codec/byte_cursor.h"
#include "codec/document_walk.h"
#include "codec/node_record_json.h"

namespace kovra {

namespace {

// Loads every entry into a new diff. Each record is parsed as soon as it is read,
// while its bytes are in cache.
class DiffSink {
 public:
  void reserve_nodes(std::size_t n) { diff_.reserve_nodes(n); }
  RecordCheck node(const NodeId& id, std::string_view bytes) {
    std::optional<NodeUpdate> update;
    const RecordCheck check = read_node_record(bytes, &texts_, update);
    if (update) diff_.load_node(id, std::move(*update));
    return check;
  }
  void reserve_deleted_nodes(std::size_t n) { diff_.reserve_deleted_nodes(n); }
  void deleted_node(const NodeId& id) { diff_.load_deleted_node(id); }
  void reserve_edge_groups(std::size_t n) { diff_.reserve_edge_groups(n); }
  std::uint32_t edge_group(const NodeId& from, std::size_t reserve) {
    return diff_.load_edge_group(from, reserve);
  }
  void edge(std::uint32_t group, const NodeId& to, float weight) {
    diff_.load_edge(group, to, weight);
  }
  void reserve_deleted_groups(std::size_t n) { diff_.reserve_deleted_groups(n); }
  std::uint32_t deleted_group(const NodeId& from, std::size_t reserve) {
    return diff_.load_deleted_group(from, reserve);
  }
  void deleted_edge(std::uint32_t group, const NodeId& to) { diff_.load_deleted_edge(group, to); }

  GraphDiff take() {
    diff_.finish_loading();
    return std::move(diff_);
  }

 private:
  GraphDiff diff_;
  TextChunks texts_;
};

}  // namespace

std::optional<GraphDiff> deserialize_graph_diff(std::string_view data) {
  ByteCursor in(data);
  DiffSink sink;
  if (!walk_document(in, sink)) return std::nullopt;
  return sink.take();
}

}  // namespace kovra
