// The PyGraphDiff class: instance layout, the type object and instance creation.
#pragma once

#include <Python.h>

#include <cstdint>

#include "diff/graph_diff.h"
#include "extension/owned_ref.h"
#include "extension/result.h"

namespace kovra::ext {

inline constexpr char kClassName[] = "PyGraphDiff";
// from_bytes and merge_documents refuse a malformed document alike.
inline constexpr char kDeserializeFailed[] = "Failed to deserialize graph diff.";

struct PyGraphDiffObject {
  PyObject_HEAD GraphDiff diff;
  // 0: free; all bits set: held by one mutation; n: held by n readers.
  std::uintptr_t borrow_flag;
};

// Creates the type at the first call. For module initialisation, which reports
// a failure as the import's error.
Result<PyTypeObject*> create_graph_diff_type() noexcept;

// The type, for every later caller; failing to create it here is an internal fault.
PyTypeObject* py_graph_diff_type();

// The receiver of a method: a PyGraphDiff or an instance of a subclass.
Result<PyGraphDiffObject*> check_receiver(PyObject* self);

// A new instance of `type` holding `record`; the interpreter's error if allocation fails.
Result<OwnedRef> new_instance(PyTypeObject* type, GraphDiff&& record) noexcept;

}  // namespace kovra::ext
