// Writer of the graph diff document: a measuring pass, then one pass that writes
// into a buffer of exactly the measured size (the caller's, e.g. a bytes object).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "codec/node_record_json.h"
#include "diff/graph_diff.h"

namespace kovra {

class DocumentWriter {
 public:
  // Measures the document of `diff`; nullopt if its size cannot be represented.
  static std::optional<DocumentWriter> measure(const GraphDiff& diff);

  std::size_t size() const noexcept { return size_; }

  // Writes exactly size() bytes to `out`. The diff must not change in between.
  void write(char* out) const noexcept;

 private:
  explicit DocumentWriter(const GraphDiff& diff) noexcept : diff_(&diff) {}
  const GraphDiff* diff_;
  std::size_t size_ = 0;
  // One per node in iteration order: what measuring found, so that nothing is
  // worked out twice.
  std::vector<RecordSketch> sketches_;
};

// The whole document as one string; nullopt on failure.
std::optional<std::string> serialize_graph_diff(const GraphDiff& diff);

}  // namespace kovra
