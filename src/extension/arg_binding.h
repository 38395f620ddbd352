// The argument binder: maps positional and keyword arguments onto a method's
// named parameters, with the interpreter's own wording for every refusal.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <span>

#include "extension/result.h"

namespace kovra::ext {

struct MethodSignature {
  const char* class_name;  // nullptr for a module function
  const char* function_name;
  // Every parameter may be given by position or by keyword.
  std::span<const char* const> positional;
  std::size_t required;  // leading parameters that must be given
  // One cell per parameter, filled with the interned name at first use so that
  // keywords from source code match by pointer.
  std::span<PyObject*> interned;

  std::size_t parameter_count() const noexcept { return positional.size(); }
};

// Fills bound[0 .. sig.parameter_count()) with borrowed references, NULL for a
// parameter not given.
// Vector form, as a METH_FASTCALL | METH_KEYWORDS method receives its arguments.
Result<void> bind_vector(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject** bound);
// Tuple-and-dictionary form, as tp_new receives them.
Result<void> bind_tuple_dict(const MethodSignature& sig, PyObject* args, PyObject* kwargs,
                             PyObject** bound);

// A method of any of the C signatures as the PyCFunction a PyMethodDef holds,
// through void(*)(): the interpreter calls it by the signature its ml_flags name.
template <class Fn>
PyCFunction as_cfunction(Fn* fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

template <std::size_t N>
Result<std::array<PyObject*, N>> bind_arguments(const MethodSignature& sig, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames) {
  assert(sig.parameter_count() == N);
  std::array<PyObject*, N> bound{};
  // The common call, every parameter by position and no keyword, needs no binder:
  // inline and with N known, it is N moves.
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == N) {
    std::copy_n(args, N, bound.begin());
    return bound;
  }
  Result<void> done = bind_vector(sig, args, nargs, kwnames, bound.data());
  if (!done) return done.take_error();
  return bound;
}

}  // namespace kovra::ext
