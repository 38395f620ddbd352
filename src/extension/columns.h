// Whole columns in and out of a PyGraphDiff: bulk mutations from lists, tuples or
// buffers, and the edge and node-deletion collections as packed bytes.
#pragma once

#include <Python.h>

namespace kovra::ext {

// METH_FASTCALL | METH_KEYWORDS, bound like the single mutations.
PyObject* add_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;
PyObject* delete_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;
PyObject* delete_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;
PyObject* add_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

// METH_NOARGS, under a shared borrow.
PyObject* edges_columns(PyObject* self, PyObject*) noexcept;
PyObject* deleted_edges_columns(PyObject* self, PyObject*) noexcept;
PyObject* deleted_nodes_ids(PyObject* self, PyObject*) noexcept;

}  // namespace kovra::ext
