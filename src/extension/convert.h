// Conversions between Python objects and the core records: node ids, node
// updates and the numbers inside them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "diff/node_id.h"
#include "diff/node_update.h"
#include "extension/api_access.h"
#include "extension/owned_ref.h"
#include "extension/result.h"

namespace kovra::ext {

// The TypeError of uuid_from_arg for an `obj` that is not 16 bytes, with a note
// when `obj` is a common slip: a uuid.UUID, its text, a bytearray.
PendingError uuid_error(PyObject* obj) noexcept;
// "'T' object cannot be converted to 'PyBytes'" for a document argument that is not
// bytes, with a note when `obj` is a name or another buffer.
PendingError document_error(PyObject* obj) noexcept;

// A 16-byte bytes object (or subclass) -> NodeId; otherwise TypeError
// "failed to extract field PyUuid.0" whose cause says what was wrong. Inline: every
// mutation converts one or two ids.
inline Result<NodeId> uuid_from_arg(PyObject* obj) noexcept {
  // The stored size: a subclass's __len__ is not consulted.
  if (const char* bytes = bytes_of_size(obj, sizeof(NodeId))) [[likely]] {
    return NodeId::from_bytes(bytes);
  }
  return uuid_error(obj);
}
// The 36-character lowercase hyphenated text.
OwnedRef uuid_to_text(const NodeId& id);

// `obj` is argument `parameter` (element < 0) or element `element` of it; a failure
// comes back reported as such, naming the field when one of its values failed.
Result<NodeUpdate> node_update_from_dict(PyObject* obj, const char* parameter,
                                         Py_ssize_t element = -1);
OwnedRef node_update_to_dict(const NodeUpdate& update);

// Nearest binary32, ties to even; no range check. An exact float is read inline.
// These two and u8_from_py may run a caller's __float__ or __index__, during which
// a daemon thread can be ended by the interpreter's finalization: they are not
// noexcept, so that the forced unwind reaches the entry guard, which keeps the
// thread parked, instead of ending the process.
Result<float> f32_from_number(PyObject* obj);
inline Result<float> f32_from_py(PyObject* obj) {
  // IEEE 754 narrowing: nearest, ties to even; overflow gives a signed infinity.
  if (PyFloat_CheckExact(obj)) [[likely]]
    return static_cast<float>(float_value(obj));
  return f32_from_number(obj);
}
Result<std::uint8_t> u8_from_py(PyObject* obj);
// The view stays valid while `obj` lives.
Result<std::string_view> text_from_py(PyObject* obj) noexcept;
Result<bool> bool_from_py(PyObject* obj) noexcept;

// A bytes object of `size` bytes, to be filled in place before anyone sees it.
OwnedRef new_bytes(std::size_t size);

// A binary32 widened exactly to a Python float.
inline OwnedRef float_to_py(float value) {
  return created(PyFloat_FromDouble(static_cast<double>(value)));
}

}  // namespace kovra::ext
