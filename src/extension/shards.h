// The module's functions for one stream split across processes: the shard of an
// id, and the merge of the shards' documents.
#pragma once

#include <Python.h>

namespace kovra::ext {

// METH_FASTCALL | METH_KEYWORDS module functions, bound like the methods.
PyObject* shard_of(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept;
PyObject* merge_documents(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;

}  // namespace kovra::ext
