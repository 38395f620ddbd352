// The one place where a call's outcome crosses back into the interpreter: a
// result, or a raised exception. No C++ exception gets past it.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>
#include <optional>

#include "extension/interpreter_released.h"
#include "extension/owned_ref.h"
#include "extension/pending_error.h"
#include "extension/result.h"

namespace kovra::ext {

namespace detail {

// The C++ runtime makes a thread's exception state at the thread's first throw,
// and when that allocation fails the process aborts: a thread whose first throw
// is a std::bad_alloc would never see its MemoryError. So the state is made at
// the thread's first call, before the call allocates anything. The flag sits in
// the static TLS block, which exists in every thread without an allocation.
[[gnu::tls_model("initial-exec")]] inline thread_local bool exception_state_made = false;

inline void make_exception_state() noexcept {
  if (exception_state_made) [[likely]]
    return;
  // Asking for the state is what creates it; storing a result of the call keeps
  // it from being dropped as one without effect. (Not std::uncaught_exceptions,
  // which needs a newer C++ runtime than the wheel's tag allows.)
  exception_state_made = abi::__cxa_get_globals() != nullptr;
}

// Runs `body`, turning faults into errors. Only the guard calls it.
template <class Body>
std::optional<PendingError> run_guarded(Body& body, OwnedRef& out) noexcept {
  make_exception_state();
  try {
    Result<OwnedRef> result = body();
    if (result) {
      out = std::move(*result);
      return std::nullopt;
    }
    return result.take_error();
  } catch (const InternalFault& fault) {
    return PendingError::panic(fault.message());
  } catch (const std::bad_alloc&) {
    // The core leaves a diff unchanged when it runs out of memory, so the
    // interpreter can carry on.
    return PendingError::no_memory();
  } catch (const std::exception& error) {
    return PendingError::panic(error.what());
  } catch (...) {
    // Nothing of this module throws anything else: this is the forced unwind of a
    // daemon thread whose Python code, run by a conversion, asked for the lock
    // back while the interpreter finalized. It cannot pass this frame.
    park_thread_forever();
    return PendingError::panic("a thread ended by the interpreter's finalization");
  }
}

}  // namespace detail

// Every C entry point is one call to this: a new reference, or NULL with an
// exception set. Raising happens after the body, outside the fault handling.
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
  OwnedRef out;
  std::optional<PendingError> error = detail::run_guarded(body, out);
  if (!error) return out.release();
  raise_pending(std::move(*error));
  return nullptr;
}

// For tp_dealloc, which has no way to report: errors go to sys.unraisablehook.
template <class Body>
void entry_guard_unraisable(Body&& body) noexcept {
  auto wrapped = [&]() -> Result<OwnedRef> {
    Result<void> done = body();
    if (!done) return done.take_error();
    return OwnedRef::immortal(Py_None);
  };
  OwnedRef out;
  std::optional<PendingError> error = detail::run_guarded(wrapped, out);
  if (!error) return;
  // Objects are often released while an exception propagates; keep that one.
  PyObject* propagating = PyErr_GetRaisedException();
  raise_pending(std::move(*error));
  PyErr_WriteUnraisable(nullptr);
  PyErr_SetRaisedException(propagating);
}

}  // namespace kovra::ext
