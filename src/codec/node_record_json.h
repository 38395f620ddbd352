// The node record text: the compact JSON form of one NodeUpdate, written in one
// fixed form and parsed strictly. The code lives in files by role:
//   node_record_writer.cpp        measuring and writing the fixed form
//   node_record_written_form.cpp  the fast path for records in that form, the
//                                 entry of every read, and when UTF-8 is checked
//   node_record_strict.cpp        the strict parser, the fast path's general twin
//   utf8.*                        the UTF-8 check
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/utf8.h"
#include "diff/node_update.h"

namespace kovra {

// What measuring a record learns that writing it can reuse: the size's digits and
// sign, and whether the texts need escapes. Eight bytes, as the document writer
// keeps one per node.
struct RecordSketch {
  std::uint32_t size_significand = 0;
  std::int8_t size_exponent = 0;
  std::uint8_t size_digits = 0;  // 0 for a zero, null or absent size
  std::uint8_t flags = 0;
};

// Exact byte length of the text of `update`; fills `sketch` for write_node_record.
std::size_t node_record_length(const NodeUpdate& update, RecordSketch& sketch) noexcept;

// Writes the text of `update` at `out`, which has room for the length measured with
// this `sketch` while `update` was as it is; returns the end of what was written.
char* write_node_record(const NodeUpdate& update, const RecordSketch& sketch, char* out) noexcept;

// Parses one node record text, which must be valid UTF-8; nullopt for any text
// the reader refuses. Texts that do not fit inline go to `chunks` when given.
// May throw std::bad_alloc.
std::optional<NodeUpdate> node_update_from_json(std::string_view text,
                                                TextChunks* chunks = nullptr);

// The strict parser alone, without the fast path for records in the writer's
// form: for the tests and fuzzers that check both give the same.
std::optional<NodeUpdate> node_update_from_json_strict(std::string_view text);

// What a document's reader makes of a record's bytes.
enum class RecordCheck : std::uint8_t {
  kValid,
  kInvalid,  // UTF-8, but no record the parser accepts
  kNotUtf8,
};

// node_update_from_json for bytes not yet checked as UTF-8, such as a document's
// (node_record_written_form.cpp says when they are checked); `update` receives a
// valid record's fields.
RecordCheck read_node_record(std::string_view bytes, TextChunks* chunks,
                             std::optional<NodeUpdate>& update);

// The same without building the update.
RecordCheck check_node_record(std::string_view bytes);

// Test-only conveniences for the tests and fuzzers, which measure and write in one go;
// the document writer keeps each sketch between its two passes instead.
inline std::size_t node_record_length(const NodeUpdate& update) noexcept {
  RecordSketch sketch;
  return node_record_length(update, sketch);
}
inline char* write_node_record(const NodeUpdate& update, char* out) noexcept {
  RecordSketch sketch;
  node_record_length(update, sketch);
  return write_node_record(update, sketch, out);
}
// Appends the text of `update` to `out`.
inline void node_update_to_json(const NodeUpdate& update, std::string& out) {
  const std::size_t start = out.size();
  RecordSketch sketch;
  out.resize(start + node_record_length(update, sketch));
  write_node_record(update, sketch, out.data() + start);
}

}  // namespace kovra
