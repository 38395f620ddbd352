// The PyGraphDiff class: its methods and the type object that lists them.
#pragma once

#include <Python.h>

#include "extension/result.h"

namespace kovra::ext {

// Creates the type at the first call and records it for every method
// (instance.h). For module initialisation, which reports a failure as the
// import's error.
Result<PyTypeObject*> create_graph_diff_type() noexcept;

}  // namespace kovra::ext
