// Raw bytes into the document reader. An accepted document is written back and
// read again: the second read must succeed and hold the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codec/document_reader.h"
#include "codec/document_writer.h"
#include "diff_snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto diff = kovra::deserialize_graph_diff(input);
  if (!diff) return 0;
  if (!diff->consistent()) std::abort();
  const auto document = kovra::serialize_graph_diff(*diff);
  if (!document) std::abort();
  const auto again = kovra::deserialize_graph_diff(*document);
  if (!again || !again->consistent()) std::abort();
  if (!(kovra::testing::snapshot(*again) == kovra::testing::snapshot(*diff))) std::abort();
  return 0;
}
