// The node record text: the compact JSON form of one NodeUpdate, written in one
// fixed form and parsed strictly.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "diff/node_update.h"

namespace kovra {

// Exact byte length of the text that write_node_record produces for `update`.
std::size_t node_record_length(const NodeUpdate& update) noexcept;

// Writes the text of `update` at `out`, which has room for node_record_length(update)
// bytes; returns the end of what was written.
char* write_node_record(const NodeUpdate& update, char* out) noexcept;

// Appends the text of `update` to `out`.
void node_update_to_json(const NodeUpdate& update, std::string& out);

// Parses one node record text, which must be valid UTF-8 (see is_valid_utf8);
// nullopt for any text the reader refuses. May throw std::bad_alloc.
std::optional<NodeUpdate> node_update_from_json(std::string_view text);

// Strict UTF-8: overlong forms, encoded surrogates and code points above U+10FFFF fail.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace kovra
