// A PyGraphDiff instance as the interpreter holds it, and what every method needs
// of its class: the name, the receiver check, new instances.
#pragma once

#include <Python.h>

#include <cstddef>
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
#ifdef KOVRA_CHECK_INVARIANTS
  std::size_t unchecked_work;  // calls (bulk ones by their rows) since the last check
  std::size_t checked_work;    // what that check walked (instance.cpp)
#endif
};

#ifdef KOVRA_CHECK_INVARIANTS
// Builds for testing (KOVRA_CHECK_INVARIANTS) check the diff's rules at the end
// of every call that held a borrow of it, failed calls included, and after a
// decode made one. A broken rule is a bug of ours, not the caller's: its name is
// printed and the process aborts, so that no test run can miss it.
// `size_before`: the diff's rules_size() when the call took its borrow.
void check_rules_after_call(PyGraphDiffObject& instance, std::size_t size_before) noexcept;
// At once, whatever the schedule; the next calls count from here.
void check_rules(PyGraphDiffObject& instance) noexcept;
#endif

// The class, recorded once module initialisation has created it; null before.
// Every method runs on an instance or on the class, so none sees the null.
void record_graph_diff_type(PyTypeObject* type) noexcept;
PyTypeObject* graph_diff_type() noexcept;

// The receiver of a method: a PyGraphDiff or an instance of a subclass.
Result<PyGraphDiffObject*> check_receiver(PyObject* self);

// A new instance of `type` holding `record`; the interpreter's error if allocation fails.
Result<OwnedRef> new_instance(PyTypeObject* type, GraphDiff&& record) noexcept;

}  // namespace kovra::ext
