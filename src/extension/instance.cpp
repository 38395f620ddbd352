#include "extension/instance.h"

#include <new>
#include <utility>

#include "extension/pending_error.h"

namespace kovra::ext {

namespace {

PyTypeObject* recorded_type = nullptr;  // kept for the process

}  // namespace

void record_graph_diff_type(PyTypeObject* type) noexcept { recorded_type = type; }

PyTypeObject* graph_diff_type() noexcept { return recorded_type; }

Result<PyGraphDiffObject*> check_receiver(PyObject* self) {
  PyTypeObject* type = graph_diff_type();
  if (Py_TYPE(self) == type || PyType_IsSubtype(Py_TYPE(self), type)) {
    return reinterpret_cast<PyGraphDiffObject*>(self);
  }
  return conversion_error(self, kClassName);
}

Result<OwnedRef> new_instance(PyTypeObject* type, GraphDiff&& record) noexcept {
  const allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return fetch_pending();  // `record` stays with the caller, who drops it
  auto* instance = reinterpret_cast<PyGraphDiffObject*>(obj);
  new (&instance->diff) GraphDiff(std::move(record));
  instance->borrow_flag = 0;
  return OwnedRef::steal(obj);
}

}  // namespace kovra::ext
