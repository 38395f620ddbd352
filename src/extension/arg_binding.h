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

  std::size_t slot_count() const noexcept { return positional.size(); }
};

// Fills slots[0 .. sig.slot_count()) with borrowed references; empty slots are NULL.
// Vector form, as a METH_FASTCALL | METH_KEYWORDS method receives its arguments.
Result<void> bind_vector(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject** slots);
// Tuple-and-dictionary form, as tp_new receives them.
Result<void> bind_tuple_dict(const MethodSignature& sig, PyObject* args, PyObject* kwargs,
                             PyObject** slots);

template <std::size_t N>
Result<std::array<PyObject*, N>> bind_arguments(const MethodSignature& sig, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames) {
  assert(sig.slot_count() == N);
  std::array<PyObject*, N> slots{};
  // The common call, every parameter by position and no keyword, needs no binder:
  // inline and with N known, it is N moves.
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == N) {
    std::copy_n(args, N, slots.begin());
    return slots;
  }
  Result<void> bound = bind_vector(sig, args, nargs, kwnames, slots.data());
  if (!bound) return bound.take_error();
  return slots;
}

}  // namespace kovra::ext
