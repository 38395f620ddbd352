// Reader of the graph diff document: all or nothing, and the one failure carries
// no detail because callers report a single message.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "diff/graph_diff.h"

namespace kovra {

// May throw std::bad_alloc; every malformed input gives nullopt.
std::optional<GraphDiff> deserialize_graph_diff(std::string_view data);

}  // namespace kovra
