#include "extension/convert.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "diff/huge_pages.h"

namespace kovra::ext {

namespace {

constexpr char kUuidField[] = "failed to extract field PyUuid.0";
constexpr char kExpected16Bytes[] = "Expected 16 bytes.";
constexpr char kU8OutOfRange[] = "out of range integral type conversion attempted";

// Notes for the slips users make most with ids and documents; the messages above stay
// as they are.
constexpr char kHintUuidObject[] = "pass the id's 16 bytes, uuid.UUID(...).bytes, not the UUID";
constexpr char kHintUuidText[] = "pass the id's 16 bytes, uuid.UUID(text).bytes, not its text";
constexpr char kHintUuidTextBytes[] =
    "these bytes spell a UUID: pass the id's 16 bytes, uuid.UUID(text).bytes";
constexpr char kHintIdCopy[] = "ids are bytes objects: pass bytes(...) of it";
constexpr char kHintDocumentName[] =
    "pass the document's bytes (from a file: pathlib.Path(name).read_bytes()), not a name";
constexpr char kHintDocumentCopy[] = "documents are bytes objects: pass bytes(...) of it";

// Update dicts are read, and node views built, with the two texts first: the order in
// which a dict's conversion errors are reported and a view's keys are listed.
constexpr auto kDictOrder = [] {
  std::array<NodeFieldInfo, kNodeFieldCount> order{};
  std::size_t n = 0;
  for (const NodeFieldInfo& info : kNodeFields) {
    if (info.kind == NodeFieldKind::kText) order[n++] = info;
  }
  for (const NodeFieldInfo& info : kNodeFields) {
    if (info.kind != NodeFieldKind::kText) order[n++] = info;
  }
  return order;
}();

// The dict keys, by position_of(field).
using FieldKeys = std::array<PyObject*, kNodeFieldCount>;

// Interned once for the process: every lookup then hits the dict's pointer
// comparison, and no key object is built per call.
const FieldKeys& field_keys() {
  static FieldKeys keys{};
  if (keys[kNodeFieldCount - 1] == nullptr) {
    for (std::size_t i = 0; i < kNodeFieldCount; ++i) {
      if (keys[i] != nullptr) continue;
      const std::string_view name = kNodeFields[i].python_key;
      PyObject* key =
          created(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))
              .release();
      PyUnicode_InternInPlace(&key);
      keys[i] = key;
    }
  }
  return keys;
}

// Above this many entries, seven lookups beat one pass over the entries.
constexpr Py_ssize_t kGatherLimit = 16;

// index_of the field that `key` names, or kNodeFieldCount. Literal keys in source code
// are interned and match by pointer; keys built at run time match by content.
std::size_t field_of(PyObject* key, const FieldKeys& keys) noexcept {
  for (std::size_t i = 0; i < kNodeFieldCount; ++i) {
    if (key == keys[i]) return i;
  }
  const Py_ssize_t length = str_length(key);
  for (std::size_t i = 0; i < kNodeFieldCount; ++i) {
    // Every python_key is a literal, so its data() ends in a NUL.
    const std::string_view name = kNodeFields[i].python_key;
    if (static_cast<std::size_t>(length) == name.size() &&
        PyUnicode_CompareWithASCIIString(key, name.data()) == 0) {
      return i;
    }
  }
  return kNodeFieldCount;
}

// One pass over a small dict whose keys are all exact str finds exactly what the
// seven lookups would: such keys compare by text, run no code and cannot fail.
// Returns false (and finds nothing) when that does not hold.
bool gather_fields(PyObject* dict, const FieldKeys& keys,
                   std::array<OwnedRef, kNodeFieldCount>& found) noexcept {
  if (dict_size(dict) > kGatherLimit) return false;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) {
      found = {};
      return false;
    }
    const std::size_t field = field_of(key, keys);
    if (field != kNodeFieldCount) found[field] = OwnedRef::borrow(value);
  }
  return true;
}

// Values of these types convert without running Python code.
bool converts_without_code(PyObject* value) noexcept {
  return PyUnicode_CheckExact(value) || PyFloat_CheckExact(value) || PyLong_CheckExact(value) ||
         PyBool_Check(value);
}

Result<void> store_field(NodeUpdate& update, NodeField field, PyObject* value) {
  switch (field) {
    case NodeField::kLabel:
    case NodeField::kUrl: {
      auto text = text_from_py(value);
      if (!text) return text.take_error();
      field == NodeField::kLabel ? update.set_label(*text) : update.set_url(*text);
      return {};
    }
    case NodeField::kSize: {
      auto size = f32_from_py(value);
      if (!size) return size.take_error();
      update.set_size(*size);
      return {};
    }
    case NodeField::kRed:
    case NodeField::kGreen:
    case NodeField::kBlue: {
      auto colour = u8_from_py(value);
      if (!colour) return colour.take_error();
      if (field == NodeField::kRed) update.set_red(*colour);
      if (field == NodeField::kGreen) update.set_green(*colour);
      if (field == NodeField::kBlue) update.set_blue(*colour);
      return {};
    }
    case NodeField::kShowLabel: {
      auto show = bool_from_py(value);
      if (!show) return show.take_error();
      update.set_show_label(*show);
      return {};
    }
  }
  return {};
}

// A field's value as the Python object a node view holds, by the value's type.
OwnedRef value_to_py(std::string_view text) {
  return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
OwnedRef value_to_py(float size) { return float_to_py(size); }
OwnedRef value_to_py(std::uint8_t colour) { return created(PyLong_FromLong(colour)); }
OwnedRef value_to_py(bool show_label) {
  return OwnedRef::immortal(show_label ? Py_True : Py_False);
}

bool is_numpy_bool(PyTypeObject* type) noexcept {
  // NumPy 1 names its scalar type "numpy.bool_", NumPy 2 "numpy.bool".
  const std::string name = type_name(type);
  return name == "numpy.bool_" || name == "numpy.bool";
}

}  // namespace

namespace {

// Whether `text` is a UUID as uuid.UUID(text) reads one: 32 hex digits, with any
// hyphens, inside braces or after "urn:uuid:".
bool spells_uuid(std::string_view text) noexcept {
  if (text.starts_with("urn:uuid:")) text.remove_prefix(9);
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, text.size() - 2);
  }
  std::size_t digits = 0;
  for (const char c : text) {
    if (c == '-') continue;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex || ++digits > 32) return false;
  }
  return digits == 32;
}

// An instance of uuid.UUID; no UUID exists unless the module was imported, so it is
// looked up, never imported, and the check runs no Python code.
bool is_uuid_object(PyObject* obj) noexcept {
  // Interned once, as the attribute cache keeps each look-up's name object.
  static PyObject* const module_name = PyUnicode_InternFromString("uuid");
  static PyObject* const type_name = PyUnicode_InternFromString("UUID");
  OwnedRef module =
      OwnedRef::steal(module_name && type_name ? PyImport_GetModule(module_name) : nullptr);
  OwnedRef type = OwnedRef::steal(module ? PyObject_GetAttr(module.get(), type_name) : nullptr);
  if (!type) {
    discard_pending();
    return false;
  }
  return PyType_Check(type.get()) &&
         PyType_IsSubtype(Py_TYPE(obj), reinterpret_cast<PyTypeObject*>(type.get()));
}

const char* id_hint(PyObject* obj) noexcept {
  if (PyBytes_Check(obj)) {
    const char* data = PyBytes_AsString(obj);
    const Py_ssize_t size = PyBytes_Size(obj);
    if (data == nullptr || size < 0) {
      discard_pending();
      return nullptr;
    }
    return spells_uuid(std::string_view(data, static_cast<std::size_t>(size))) ? kHintUuidTextBytes
                                                                               : nullptr;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {  // lone surrogates: no UUID either
      discard_pending();
      return nullptr;
    }
    return spells_uuid(std::string_view(data, static_cast<std::size_t>(size))) ? kHintUuidText
                                                                               : nullptr;
  }
  if (PyByteArray_Check(obj) || PyMemoryView_Check(obj)) return kHintIdCopy;
  return is_uuid_object(obj) ? kHintUuidObject : nullptr;
}

}  // namespace

PendingError uuid_error(PyObject* obj) noexcept {
  if (PyBytes_Check(obj)) {
    return with_note(
        type_error_caused_by(kUuidField, PendingError::lazy(PyExc_Exception, kExpected16Bytes)),
        id_hint(obj));
  }
  return with_note(type_error_caused_by(kUuidField, conversion_error(obj, "PyBytes")),
                   id_hint(obj));
}

PendingError document_error(PyObject* obj) noexcept {
  const char* hint = PyUnicode_Check(obj)        ? kHintDocumentName
                     : PyObject_CheckBuffer(obj) ? kHintDocumentCopy
                                                 : nullptr;
  return with_note(conversion_error(obj, "PyBytes"), hint);
}

OwnedRef uuid_to_text(const NodeId& id) {
  return ascii_text<36>([&](char* out) { node_id_to_text(id, out); });
}

Result<float> f32_from_number(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return fetch_pending();
  return static_cast<float>(value);
}

Result<std::uint8_t> u8_from_py(PyObject* obj) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return fetch_pending();
  if (value < 0 || value > 255) return PendingError::lazy(PyExc_OverflowError, kU8OutOfRange);
  return static_cast<std::uint8_t>(value);
}

Result<std::string_view> text_from_py(PyObject* obj) noexcept {
  if (!is_str(obj)) return conversion_error(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return fetch_pending();  // lone surrogates: UnicodeEncodeError
  return std::string_view(data, static_cast<std::size_t>(size));
}

Result<bool> bool_from_py(PyObject* obj) noexcept {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  PyTypeObject* type = Py_TYPE(obj);
  if (!is_numpy_bool(type)) return conversion_error(obj, "PyBool");
  const inquiry nb_bool = type_truth(type);
  if (nb_bool == nullptr) {
    OwnedRef message = OwnedRef::steal(
        PyUnicode_FromFormat("object of type '%S' does not define a '__bool__' conversion", type));
    if (!message) return fetch_pending();
    return PendingError::lazy(PyExc_TypeError, std::move(message));
  }
  const int truth = nb_bool(obj);
  if (truth == 0) return false;
  if (truth == 1) return true;
  return fetch_pending();
}

Result<NodeUpdate> node_update_from_dict(PyObject* obj, const char* parameter, Py_ssize_t element) {
  const auto whole = [&](PendingError error) {
    return element < 0 ? argument_error(parameter, std::move(error))
                       : element_error(parameter, element, std::move(error));
  };
  if (!is_dict(obj)) return whole(conversion_error(obj, "PyDict"));
  const auto& keys = field_keys();
  std::array<OwnedRef, kNodeFieldCount> gathered;
  bool use_gathered = gather_fields(obj, keys, gathered);
  NodeUpdate update;
  std::optional<PendingError> failure;
  // Fixed order; the first failing field ends the conversion.
  any_node_field<kDictOrder>([&](auto tag) {
    constexpr NodeField F = decltype(tag)::value;
    OwnedRef value;
    if (use_gathered) {
      value = std::move(gathered[position_of(F)]);
    } else {
      // The dict's own table: a subclass's __getitem__ or __missing__ is never called.
      PyObject* found = PyDict_GetItemWithError(obj, keys[position_of(F)]);
      if (found == nullptr && PyErr_Occurred()) {
        failure = whole(fetch_pending());
        return true;
      }
      // Held: converting it may run __float__ or __index__, which may empty the dict.
      value = OwnedRef::borrow(found);
    }
    if (!value) return false;
    // Python code run by this conversion may change the dict: look up the rest.
    if (!converts_without_code(value.get())) use_gathered = false;
    if (auto stored = store_field(update, F, value.get()); !stored) {
      failure = field_error(parameter, element, kNodeFields[position_of(F)].python_key.data(),
                            stored.take_error());
      return true;
    }
    return false;
  });
  if (failure) return std::move(*failure);
  return update;
}

OwnedRef node_update_to_dict(const NodeUpdate& update) {
  OwnedRef dict = created(PyDict_New());
  if (update.empty()) return dict;
  const auto& keys = field_keys();
  for_each_node_field<kDictOrder>([&](auto tag) {
    constexpr NodeField F = decltype(tag)::value;
    if (update.has(F)) {
      const OwnedRef object = value_to_py(update.value<F>());
      // A failed insertion loses that one field; the view of the node still comes back.
      if (PyDict_SetItem(dict.get(), keys[position_of(F)], object.get()) < 0) discard_pending();
    }
  });
  return dict;
}

OwnedRef new_bytes(std::size_t size) {
  OwnedRef bytes = created(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  // A large document is written once into fresh pages: see diff/huge_pages.h.
  fault_in_huge_pages(bytes_buffer(bytes.get()), size);
  return bytes;
}

}  // namespace kovra::ext
