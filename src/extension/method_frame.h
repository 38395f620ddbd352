// The two frames every method of PyGraphDiff runs in, single and bulk calls alike:
// check the receiver, hold the borrow for the whole call, and hand every error to
// the one entry guard.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "extension/arg_binding.h"
#include "extension/borrow.h"
#include "extension/entry_guard.h"
#include "extension/instance.h"

namespace kovra::ext {

// Edge calls name their parameters alike, one edge or a column of them.
inline constexpr const char* kFromToWeight[] = {"from", "to", "weight"};
inline constexpr const char* kFromTo[] = {"from", "to"};

// Every parameter of a method with arguments may be given by position or keyword,
// and all are required.
constexpr MethodSignature all_required(const char* function, std::span<const char* const> names,
                                       std::span<PyObject*> interned) {
  return MethodSignature{kClassName, function, names, names.size(), interned};
}

using Args1 = std::array<PyObject*, 1>;
using Args2 = std::array<PyObject*, 2>;
using Args3 = std::array<PyObject*, 3>;

// Runs `read` on the diff under a shared borrow.
template <class Read>
PyObject* query(PyObject* self, Read read) noexcept {
  return entry_guard([&]() -> Result<OwnedRef> {
    auto instance = check_receiver(self);
    if (!instance) return instance.take_error();
    auto borrow = borrow_shared(*instance);
    if (!borrow) return borrow.take_error();
    return read(static_cast<const GraphDiff&>((*instance)->diff));
  });
}

// Binds, checks the receiver, and holds the exclusive borrow while `apply`
// converts the arguments and changes the diff.
template <std::size_t N, class Apply>
PyObject* mutation(const MethodSignature& signature, PyObject* self, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, Apply apply) noexcept {
  return entry_guard([&]() -> Result<OwnedRef> {
    auto bound = bind_arguments<N>(signature, args, nargs, kwnames);
    if (!bound) return bound.take_error();
    auto instance = check_receiver(self);
    if (!instance) return instance.take_error();
    auto borrow = borrow_exclusive(*instance);
    if (!borrow) return borrow.take_error();
    Result<void> done = apply((*instance)->diff, *bound);
    if (!done) return done.take_error();
    return OwnedRef::immortal(Py_None);
  });
}

}  // namespace kovra::ext
