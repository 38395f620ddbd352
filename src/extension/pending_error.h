// PendingError, the error value every fallible step returns, and the few places
// that move errors between it and the interpreter's error indicator.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "extension/owned_ref.h"

namespace kovra::ext {

// A condition the code treats as impossible. Unwinds to the entry guard, which
// alone catches it and raises PanicException.
class InternalFault {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

inline constexpr char kPythonApiFailed[] = "Python API call failed";

// A creation call that has no error path of its own returned NULL: std::bad_alloc
// when the interpreter ran out of memory, else print what it says and fault.
[[noreturn]] void python_api_failed();

// Takes the result of a C API call that creates an object; NULL is an internal fault.
inline OwnedRef created(PyObject* obj) {
  if (obj == nullptr) python_api_failed();
  return OwnedRef::steal(obj);
}

class PendingError {
 public:
  // Lazy errors name their type, which must live for the process (a built-in
  // exception class), and a message; no exception object exists until needed.
  static PendingError lazy(PyObject* type, const char* message) noexcept {
    return PendingError(Kind::kLazyText, type, message, OwnedRef());
  }
  static PendingError lazy(PyObject* type, OwnedRef message) noexcept {
    return PendingError(Kind::kLazyObject, type, nullptr, std::move(message));
  }
  static PendingError raised(OwnedRef exception) noexcept {
    return PendingError(Kind::kRaised, nullptr, nullptr, std::move(exception));
  }
  // PanicException carrying `message` as its only argument.
  static PendingError panic(std::string_view message) noexcept;
  static PendingError no_memory() noexcept {
    return PendingError(Kind::kNoMemory, nullptr, nullptr, OwnedRef());
  }

  PendingError(PendingError&&) noexcept = default;
  PendingError& operator=(PendingError&&) noexcept = default;

  // The exception object, created now if the error is still lazy (borrowed).
  PyObject* exception() noexcept;
  // The exception object, owned by the caller; the error is spent.
  OwnedRef take_exception() noexcept;

 private:
  friend void raise_pending(PendingError&& error) noexcept;
  enum class Kind { kLazyText, kLazyObject, kRaised, kPanic, kNoMemory };
  PendingError(Kind kind, PyObject* type, const char* text, OwnedRef object) noexcept
      : kind_(kind), type_(type), text_(text), object_(std::move(object)) {}

  Kind kind_;
  PyObject* type_;    // lazy forms
  const char* text_;  // kLazyText
  OwnedRef object_;   // message (kLazyObject, kPanic) or exception (kRaised)
};

// Sets the interpreter's error indicator. The only function that raises. Never
// fails: if the exception itself cannot be built, the error of that attempt
// (normally MemoryError) is what stays set.
void raise_pending(PendingError&& error) noexcept;

// Takes the interpreter's exception right after a failed C API call.
PendingError fetch_pending() noexcept;

// Drops the interpreter's current exception, if any, where a failure has a
// fallback of its own.
void discard_pending() noexcept;

// A lazy error of `type` whose message is `format` filled by PyUnicode_FromFormat.
template <class... Args>
PendingError formatted(PyObject* type, const char* format, Args... args) noexcept {
  OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat(format, args...));
  if (!message) return fetch_pending();
  return PendingError::lazy(type, std::move(message));
}

// TypeError "'T' object cannot be converted to 'target'", T being the qualified
// name of obj's type.
PendingError conversion_error(PyObject* obj, const char* target) noexcept;

// Reports a failed conversion of `parameter`: an exact TypeError is renamed
// "argument 'P': ..." and keeps its cause and notes; anything else passes through.
PendingError argument_error(const char* parameter, PendingError error) noexcept;
// The same for element `element` of a column: "argument 'P': element i: ..."; an
// error that passes through gets a note "argument 'P': element i" instead.
PendingError element_error(const char* parameter, Py_ssize_t element, PendingError error) noexcept;
// A failed conversion of field `field` of an update (element < 0: the argument
// itself): the rules above, and the error, whatever its type, gets the note
// "argument 'P': field 'f'" or "argument 'P': element i: field 'f'".
PendingError field_error(const char* parameter, Py_ssize_t element, const char* field,
                         PendingError error) noexcept;

// Adds `note` to the notes of `error` (BaseException.add_note): what to do about a
// common slip, beside the message, which stays as it is. A note that cannot be added
// is dropped, never the error; a null `note` adds nothing.
PendingError with_note(PendingError error, const char* note) noexcept;

// Wraps `inner` as the cause of a new TypeError with `message`.
PendingError type_error_caused_by(const char* message, PendingError inner) noexcept;

// The process-wide PanicException class, created at first use; NULL with an
// error set if it cannot be created.
PyObject* panic_exception_type() noexcept;

}  // namespace kovra::ext
