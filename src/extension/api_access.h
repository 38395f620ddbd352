// What the module reads of Python objects and types, in the two builds: the full
// C API of one CPython version, or the limited API of 3.12 (KOVRA_STABLE_ABI: one
// .abi3.so for CPython 3.12 and every later version). This is the only file that
// tests Py_LIMITED_API. The full build keeps the interpreter's inline macros; the
// stable build calls the functions behind them, after whatever test can stay inline.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "extension/owned_ref.h"
#include "extension/pending_error.h"

namespace kovra::ext {

// ---- type tests -------------------------------------------------------------------

namespace detail {

// `obj` is an instance of `type` or of a subclass, which `flag` marks. The limited
// API reads a type's flags through a call, so the exact type is tested first there.
inline bool has_type(PyObject* obj, PyTypeObject* type, unsigned long flag) noexcept {
#ifdef Py_LIMITED_API
  if (Py_IS_TYPE(obj, type)) [[likely]]
    return true;
#else
  static_cast<void>(type);
#endif
  return PyType_HasFeature(Py_TYPE(obj), flag);
}

}  // namespace detail

inline bool is_bytes(PyObject* obj) noexcept {
  return detail::has_type(obj, &PyBytes_Type, Py_TPFLAGS_BYTES_SUBCLASS);
}
inline bool is_str(PyObject* obj) noexcept {
  return detail::has_type(obj, &PyUnicode_Type, Py_TPFLAGS_UNICODE_SUBCLASS);
}
inline bool is_dict(PyObject* obj) noexcept {
  return detail::has_type(obj, &PyDict_Type, Py_TPFLAGS_DICT_SUBCLASS);
}
inline bool is_list(PyObject* obj) noexcept {
  return detail::has_type(obj, &PyList_Type, Py_TPFLAGS_LIST_SUBCLASS);
}
inline bool is_tuple(PyObject* obj) noexcept {
  return detail::has_type(obj, &PyTuple_Type, Py_TPFLAGS_TUPLE_SUBCLASS);
}

// ---- values -----------------------------------------------------------------------

// The stored bytes of a bytes object (or subclass): its __len__ is not consulted.
inline std::string_view bytes_contents(PyObject* bytes) noexcept {
#ifdef Py_LIMITED_API
  char* data = nullptr;
  Py_ssize_t size = 0;
  // Fails only for an object that is not bytes.
  static_cast<void>(PyBytes_AsStringAndSize(bytes, &data, &size));
  return {data, static_cast<std::size_t>(size)};
#else
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
#endif
}

// The stored bytes of `obj` if it is a bytes object (or subclass) of exactly
// `size` bytes, else nullptr: an id's read. A bytes object's length is its
// PyVarObject size, which the stable ABI exposes too, so only an id of the right
// size pays for the call that finds its bytes there.
inline const char* bytes_of_size(PyObject* obj, std::size_t size) noexcept {
  if (!is_bytes(obj) || Py_SIZE(obj) != static_cast<Py_ssize_t>(size)) return nullptr;
#ifdef Py_LIMITED_API
  const char* data = PyBytes_AsString(obj);
  if (data == nullptr) __builtin_unreachable();  // fails only for an object that is not bytes
  return data;
#else
  return PyBytes_AS_STRING(obj);
#endif
}

// The buffer of a bytes object that nobody else has seen yet, to be filled in place.
inline char* bytes_buffer(PyObject* bytes) noexcept {
#ifdef Py_LIMITED_API
  return PyBytes_AsString(bytes);
#else
  return PyBytes_AS_STRING(bytes);
#endif
}

// The value of an exact float.
inline double float_value(PyObject* exact_float) noexcept {
#ifdef Py_LIMITED_API
  return PyFloat_AsDouble(exact_float);
#else
  return PyFloat_AS_DOUBLE(exact_float);
#endif
}

inline Py_ssize_t str_length(PyObject* str) noexcept {
#ifdef Py_LIMITED_API
  return PyUnicode_GetLength(str);
#else
  return PyUnicode_GET_LENGTH(str);
#endif
}

inline Py_ssize_t dict_size(PyObject* dict) noexcept {
#ifdef Py_LIMITED_API
  return PyDict_Size(dict);
#else
  return PyDict_GET_SIZE(dict);
#endif
}

// A str of N ASCII characters that `fill` writes, given room for exactly N.
template <std::size_t N, class Fill>
OwnedRef ascii_text(Fill fill) {
#ifdef Py_LIMITED_API
  // No stable way to write into a new str: the text is made on the stack and
  // decoded, which for ASCII is a check and a copy.
  std::array<char, N> buffer;
  fill(buffer.data());
  return created(PyUnicode_DecodeLatin1(buffer.data(), static_cast<Py_ssize_t>(N), nullptr));
#else
  OwnedRef text = created(PyUnicode_New(static_cast<Py_ssize_t>(N), 127));
  fill(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())));
  return text;
#endif
}

// ---- lists and tuples ---------------------------------------------------------------

// A list's or tuple's length is its PyVarObject size, read inline in both builds.
inline Py_ssize_t tuple_size(PyObject* tuple) noexcept { return Py_SIZE(tuple); }
// For an argument tuple or the keyword names of a call.
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) noexcept {  // borrowed
#ifdef Py_LIMITED_API
  return PyTuple_GetItem(tuple, i);
#else
  return PyTuple_GET_ITEM(tuple, i);
#endif
}

// Stores `item` at `i` of a new list, which is not yet seen by anyone.
inline void list_fill(PyObject* list, Py_ssize_t i, OwnedRef item) noexcept {
#ifdef Py_LIMITED_API
  // Steals the item; fails only for an index out of range.
  static_cast<void>(PyList_SetItem(list, i, item.release()));
#else
  PyList_SET_ITEM(list, i, item.release());
#endif
}

// A list or tuple (or subclass) read by position, as PySequence_Fast's result is.
inline Py_ssize_t sequence_size(PyObject* list_or_tuple) noexcept { return Py_SIZE(list_or_tuple); }
inline PyObject* sequence_item(PyObject* list_or_tuple, Py_ssize_t i) noexcept {  // borrowed
#ifdef Py_LIMITED_API
  return is_list(list_or_tuple) ? PyList_GetItem(list_or_tuple, i)
                                : PyTuple_GetItem(list_or_tuple, i);
#else
  return PySequence_Fast_GET_ITEM(list_or_tuple, i);
#endif
}

// The items of a list or tuple for a loop that runs no Python code, which could
// change the list: the full build reads its item array, the stable one asks for
// each item.
#ifdef Py_LIMITED_API
class SequenceItems {
 public:
  explicit SequenceItems(PyObject* list_or_tuple) noexcept
      : sequence_(list_or_tuple), list_(is_list(list_or_tuple)) {}
  PyObject* operator[](Py_ssize_t i) const noexcept {  // borrowed
    return list_ ? PyList_GetItem(sequence_, i) : PyTuple_GetItem(sequence_, i);
  }

 private:
  PyObject* sequence_;
  bool list_;
};
#else
class SequenceItems {
 public:
  explicit SequenceItems(PyObject* list_or_tuple) noexcept
      : items_(PySequence_Fast_ITEMS(list_or_tuple)) {}
  PyObject* operator[](Py_ssize_t i) const noexcept { return items_[i]; }  // borrowed

 private:
  PyObject* const* items_;
};
#endif

// ---- types --------------------------------------------------------------------------

// The allocator, release and truth test of a type (nullptr for a type without one).
inline allocfunc type_alloc(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
  auto* alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
#else
  allocfunc alloc = type->tp_alloc;
#endif
  return alloc != nullptr ? alloc : PyType_GenericAlloc;
}
inline freefunc type_free(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
  return reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
#else
  return type->tp_free;
#endif
}
inline inquiry type_truth(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
  return reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
#else
  return type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
#endif
}

// The type's name as the interpreter's own messages give it (tp_name): "int",
// "numpy.bool", a class's __name__. For messages only, so it never fails.
inline std::string type_name(PyTypeObject* type) {
#ifdef Py_LIMITED_API
  // tp_name is out of reach, so it is rebuilt: a class's is its __name__, a static
  // type's "module.name", without the module for one of builtins. (An extension's
  // heap type made from a spec is the one kind named differently: by __name__
  // alone, where its tp_name has the module too.)
  OwnedRef name = OwnedRef::steal(PyType_GetName(type));
  const char* name_text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (name_text == nullptr) {
    discard_pending();
    return "?";
  }
  if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return name_text;
  // Looked up by one interned name: the interpreter's attribute cache keeps the name
  // object of each look-up in a slot picked by its address, so a new name object
  // per call would fill the cache with copies of "__module__".
  static PyObject* const module_key = PyUnicode_InternFromString("__module__");
  OwnedRef module = OwnedRef::steal(
      module_key != nullptr ? PyObject_GetAttr(reinterpret_cast<PyObject*>(type), module_key)
                            : nullptr);
  const char* module_text =
      module && is_str(module.get()) ? PyUnicode_AsUTF8AndSize(module.get(), nullptr) : nullptr;
  if (module_text == nullptr) {
    discard_pending();
    return name_text;
  }
  if (std::string_view(module_text) == "builtins") return name_text;
  return std::string(module_text) + "." + name_text;
#else
  return type->tp_name;
#endif
}

}  // namespace kovra::ext
