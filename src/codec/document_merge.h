// One document from the documents of the shards of one stream, without building a
// diff: every input is read as the reader reads it, the node sections compared by
// content, and the edge groups copied as they stand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "diff/node_id.h"

namespace kovra {

// Input `input` (a position in the list) is not a document: the reader would refuse it.
struct MalformedDocument {
  std::size_t input;
};

// Documents that are each valid but are not the shards of one stream.
struct MergeConflict {
  enum class Kind {
    kNode,         // inputs `first` and `second` hold different records for `id`, or one lacks it
    kDeletedNode,  // one of them marks `id` deleted and the other does not
    kEdgesFrom,    // both hold a group (edges or deleted edges) from `id`
  };
  Kind kind;
  NodeId id;
  std::size_t first;
  std::size_t second;
};

// The merged document, as pieces of the inputs: valid while they are.
class MergedDocument {
 public:
  std::size_t size() const noexcept;
  // Writes size() bytes at `out`.
  void write(char* out) const noexcept;

 private:
  friend class DocumentMerger;
  std::string_view node_sections_;               // the first input's, both counts included
  std::vector<std::string_view> edge_sections_;  // per input, its count first
  std::vector<std::string_view> deleted_sections_;
  std::uint64_t edge_group_count_ = 0;
  std::uint64_t deleted_group_count_ = 0;
};

using MergeOutcome = std::variant<MergedDocument, MalformedDocument, MergeConflict>;

// Every input is checked in full before any conflict is reported, so a malformed
// input always gives MalformedDocument (the first such input). Otherwise the
// conflict of the first input that has one with an earlier input, taking its
// nodes, then its deleted nodes, then its groups. No input gives an empty document.
// May throw std::bad_alloc.
MergeOutcome merge_documents(std::span<const std::string_view> documents);

}  // namespace kovra
