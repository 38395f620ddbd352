#include "extension/pending_error.h"

#include <new>

namespace kovra::ext {

namespace {

constexpr char kNoneSet[] = "attempted to fetch exception but none was set";
constexpr char kUnknownTypeName[] = "<failed to extract type name>";
constexpr char kPanicName[] = "kovra_native.PanicException";
constexpr char kPanicDoc[] =
    "Raised when the native code of kovra_api meets an internal fault.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "usually propagates all the way up and ends the interpreter.";

void set_lazy(PyObject* type, PyObject* argument) noexcept {
  if (PyExceptionClass_Check(type)) {
    PyErr_SetObject(type, argument);
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

}  // namespace

void discard_pending() noexcept { OwnedRef::steal(PyErr_GetRaisedException()); }

void python_api_failed() {
  // The interpreter out of memory is no internal fault: it is raised as MemoryError,
  // as the core's own out-of-memory is, so that `except Exception` sees it.
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    discard_pending();
    throw std::bad_alloc();
  }
  PyErr_Print();
  throw InternalFault(kPythonApiFailed);
}

PendingError PendingError::panic(std::string_view message) noexcept {
  OwnedRef text = OwnedRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return fetch_pending();
  return PendingError(Kind::kPanic, nullptr, nullptr, std::move(text));
}

PyObject* PendingError::exception() noexcept {
  if (kind_ != Kind::kRaised) {
    raise_pending(std::move(*this));
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {  // raise_pending always sets something; stay safe regardless
      PyErr_SetString(PyExc_SystemError, kNoneSet);
      exc = PyErr_GetRaisedException();
    }
    *this = raised(OwnedRef::steal(exc));
  }
  return object_.get();
}

OwnedRef PendingError::take_exception() noexcept {
  exception();
  return std::move(object_);
}

void raise_pending(PendingError&& error) noexcept {
  PendingError spent = std::move(error);
  switch (spent.kind_) {
    case PendingError::Kind::kRaised:
      PyErr_SetRaisedException(spent.object_.release());
      return;
    case PendingError::Kind::kNoMemory:
      PyErr_NoMemory();
      return;
    case PendingError::Kind::kLazyText: {
      OwnedRef message = OwnedRef::steal(PyUnicode_FromString(spent.text_));
      if (message) set_lazy(spent.type_, message.get());
      return;
    }
    case PendingError::Kind::kLazyObject:
      set_lazy(spent.type_, spent.object_.get());
      return;
    case PendingError::Kind::kPanic: {
      PyObject* type = panic_exception_type();
      if (type == nullptr) return;
      OwnedRef args = OwnedRef::steal(PyTuple_Pack(1, spent.object_.get()));
      if (args) set_lazy(type, args.get());
      return;
    }
  }
}

PendingError fetch_pending() noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return PendingError::lazy(PyExc_SystemError, kNoneSet);
  return PendingError::raised(OwnedRef::steal(exc));
}

PendingError conversion_error(PyObject* obj, const char* target) noexcept {
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  // The name goes into the message as UTF-8, so a __qualname__ with lone
  // surrogates counts as unreadable.
  if (!name || PyUnicode_AsUTF8AndSize(name.get(), nullptr) == nullptr) {
    discard_pending();
    name = OwnedRef::steal(PyUnicode_FromString(kUnknownTypeName));
    if (!name) return fetch_pending();
  }
  OwnedRef message = OwnedRef::steal(
      PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target));
  if (!message) return fetch_pending();
  return PendingError::lazy(PyExc_TypeError, std::move(message));
}

namespace {

// The argument-error rule; `element` >= 0 names an element of a column too.
PendingError renamed_argument_error(const char* parameter, Py_ssize_t element,
                                    PendingError error) noexcept {
  PyObject* exc = error.exception();
  // A subclass of TypeError is somebody else's error and passes through unchanged.
  if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;

  OwnedRef text = OwnedRef::steal(PyObject_Str(exc));
  if (!text) {
    PyErr_WriteUnraisable(exc);
    OwnedRef type_name = OwnedRef::steal(PyType_GetName(Py_TYPE(exc)));
    text =
        OwnedRef::steal(type_name ? PyUnicode_FromFormat("<unprintable %U object>", type_name.get())
                                  : PyUnicode_FromString("<unprintable object>"));
    if (!text) return fetch_pending();
  }
  OwnedRef message =
      OwnedRef::steal(element < 0 ? PyUnicode_FromFormat("argument '%s': %U", parameter, text.get())
                                  : PyUnicode_FromFormat("argument '%s': element %zd: %U",
                                                         parameter, element, text.get()));
  if (!message) return fetch_pending();
  OwnedRef renamed = PendingError::lazy(PyExc_TypeError, std::move(message)).take_exception();
  // Called even without a cause, so that __suppress_context__ is always set.
  PyException_SetCause(renamed.get(), PyException_GetCause(exc));
  // A hint noted by the converter stays with the error the caller sees.
  // Interned once: the interpreter's attribute cache keeps the name object of each
  // look-up in a slot picked by its address, so a new name per failed call would
  // fill it with copies.
  static PyObject* const notes_key = PyUnicode_InternFromString("__notes__");
  OwnedRef notes = OwnedRef::steal(notes_key ? PyObject_GetAttr(exc, notes_key) : nullptr);
  if (!notes) {
    discard_pending();
  } else if (OwnedRef copy = OwnedRef::steal(PySequence_List(notes.get()));
             !copy || PyObject_SetAttr(renamed.get(), notes_key, copy.get()) < 0) {
    discard_pending();  // a broken __notes__ costs the notes, not the error
  }
  return PendingError::raised(std::move(renamed));
}

}  // namespace

PendingError argument_error(const char* parameter, PendingError error) noexcept {
  return renamed_argument_error(parameter, -1, std::move(error));
}

namespace {

PendingError add_note_object(PendingError error, PyObject* note) noexcept {
  static PyObject* const add_note_key = PyUnicode_InternFromString("add_note");  // as __notes__
  OwnedRef added = OwnedRef::steal(
      add_note_key ? PyObject_CallMethodObjArgs(error.exception(), add_note_key, note, nullptr)
                   : nullptr);
  if (!added) discard_pending();  // a broken __notes__ costs the note, not the error
  return error;
}

// Adds "argument 'P'[: element i][: field 'f']" to the notes of `error`.
PendingError noted(PendingError error, const char* parameter, Py_ssize_t element,
                   const char* field) noexcept {
  OwnedRef location = OwnedRef::steal(
      element < 0 ? PyUnicode_FromFormat("argument '%s'", parameter)
                  : PyUnicode_FromFormat("argument '%s': element %zd", parameter, element));
  if (location && field != nullptr) {
    location = OwnedRef::steal(PyUnicode_FromFormat("%U: field '%s'", location.get(), field));
  }
  if (!location) return fetch_pending();
  return add_note_object(std::move(error), location.get());
}

}  // namespace

PendingError with_note(PendingError error, const char* note) noexcept {
  if (note == nullptr) return error;
  OwnedRef text = OwnedRef::steal(PyUnicode_FromString(note));
  if (!text) {
    discard_pending();
    return error;
  }
  return add_note_object(std::move(error), text.get());
}

PendingError element_error(const char* parameter, Py_ssize_t element, PendingError error) noexcept {
  PendingError renamed = renamed_argument_error(parameter, element, std::move(error));
  // A renamed TypeError says where it arose in its text; other errors keep their type
  // and text, and a note says it instead.
  if (Py_TYPE(renamed.exception()) == reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return renamed;
  }
  return noted(std::move(renamed), parameter, element, nullptr);
}

PendingError field_error(const char* parameter, Py_ssize_t element, const char* field,
                         PendingError error) noexcept {
  // Neither the converters' texts nor the renamed prefix name the field.
  return noted(renamed_argument_error(parameter, element, std::move(error)), parameter, element,
               field);
}

PendingError type_error_caused_by(const char* message, PendingError inner) noexcept {
  OwnedRef cause = inner.take_exception();
  OwnedRef outer = PendingError::lazy(PyExc_TypeError, message).take_exception();
  PyException_SetCause(outer.get(), cause.release());
  return PendingError::raised(std::move(outer));
}

PyObject* panic_exception_type() noexcept {
  // Created once and kept for the process; a failed attempt is retried next time.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace kovra::ext
