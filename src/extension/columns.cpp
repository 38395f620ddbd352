#include "extension/columns.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "codec/byte_cursor.h"
#include "diff/group_prefetch.h"
#include "extension/api_access.h"
#include "extension/arg_binding.h"
#include "extension/borrow.h"
#include "extension/convert.h"
#include "extension/entry_guard.h"
#include "extension/instance.h"
#include "extension/method_frame.h"

namespace kovra::ext {

namespace {

constexpr std::size_t kIdSize = sizeof(NodeId);
static_assert(kIdSize == 16);

constexpr char kNotAColumn[] = "argument '%s': '%s' object is not a list, a tuple or a buffer";
constexpr char kNotASequence[] = "argument '%s': '%s' object is not a list or a tuple";
constexpr char kNotContiguous[] = "argument '%s': buffer is not C-contiguous";
constexpr char kIdFormat[] =
    "argument '%s': buffer of format '%s' cannot hold ids: expected '16s', '16x' or 'B'";
constexpr char kIdShape[] =
    "argument '%s': buffer of shape %s cannot hold ids: expected (n,) of 16-byte items, "
    "(n, 16) of 'B' or (16*n,) of 'B'";
constexpr char kWeightFormat[] =
    "argument '%s': buffer of format '%s' cannot hold weights: expected 'f' (float32) or 'd' "
    "(float64)";
constexpr char kWeightShape[] =
    "argument '%s': buffer of shape %s cannot hold weights: expected (n,)";
constexpr char kChangedSize[] = "argument '%s': list changed size during conversion";
// Notes for the common slips with columns; the messages above stay as they are.
constexpr char kHintContiguous[] = "pass numpy.ascontiguousarray(...) of it";
constexpr char kHintIdTexts[] =
    "ids are 16 bytes each: convert the texts with uuid.UUID(text).bytes";
constexpr char kHintWeightNumbers[] =
    "convert the column first: numpy.asarray(weight, dtype=numpy.float32)";
constexpr char kHintWeightBytes[] = "for raw float32 bytes: pass memoryview(weight).cast('f')";

// Parameters by position or keyword, all required, named like the single calls'.
constexpr const char* kNodeIds[] = {"ids"};
constexpr const char* kIdsUpdates[] = {"ids", "updates"};

PyObject* add_edges_names[3];
PyObject* delete_edges_names[2];
PyObject* delete_nodes_names[1];
PyObject* add_nodes_names[2];

const MethodSignature kAddEdgesSignature =
    all_required("add_edges", kFromToWeight, add_edges_names);
const MethodSignature kDeleteEdgesSignature =
    all_required("delete_edges", kFromTo, delete_edges_names);
const MethodSignature kDeleteNodesSignature =
    all_required("delete_nodes", kNodeIds, delete_nodes_names);
const MethodSignature kAddNodesSignature = all_required("add_nodes", kIdsUpdates, add_nodes_names);

// "(3, 8)", "(40,)" or "()", as Python writes a shape.
std::string shape_text(const Py_buffer& view) {
  std::string text = "(";
  for (int d = 0; d < view.ndim; ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(view.shape[d]);
  }
  text += view.ndim == 1 ? ",)" : ")";
  return text;
}

// A buffer's format; NULL stands for unsigned bytes.
const char* format_of(const Py_buffer& view) noexcept {
  return view.format != nullptr ? view.format : "B";
}

// The format without its byte-order mark; `native` says whether the mark (or its
// absence) means this machine's byte order.
std::string_view plain_format(const Py_buffer& view, bool& native) noexcept {
  std::string_view format = format_of(view);
  native = true;
  if (!format.empty() && std::string_view("@=<>!").find(format[0]) != std::string_view::npos) {
    const bool little = format[0] == '<';
    const bool big = format[0] == '>' || format[0] == '!';
    native = std::endian::native == std::endian::little ? !big : !little;
    format.remove_prefix(1);
  }
  return format;
}

enum class Items { kIds, kWeights, kUpdates };

// One input column: a list or tuple of the objects the single call takes, or
// (for ids and weights) a C-contiguous buffer held until the column dies.
class Column {
 public:
  Column(const char* name, PyObject* obj) noexcept : name_(name), obj_(obj) {}
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }

  const char* name() const noexcept { return name_; }
  Py_ssize_t length() const noexcept { return length_; }

  Result<void> open(Items items);
  // The column's length() elements, converted in order into `storage`, the first
  // bad one ending the conversion with an error that names it. A buffer is read
  // once, item by item, even when its items are already what the core takes: its
  // memory may be a shared mapping that another process writes, or an array that
  // another thread changes with the interpreter lock released, and the core reads
  // each id more than once (a hash from one read, the stored copy from another).
  // Copied, a changing buffer gives a mixture of old and new rows, never a diff
  // that breaks its own rules.
  Result<void> ids(std::vector<NodeId>& storage) const;
  Result<void> weights(std::vector<float>& storage) const;
  Result<void> read_updates(std::vector<NodeUpdate>& out) const;

 private:
  enum class Layout { kSequence, kIdBytes, kFloat32, kFloat64 };

  Result<void> check_ids();
  Result<void> check_weights();
  std::string type() const { return type_name(Py_TYPE(obj_)); }
  // Python code run by a conversion may shrink the list being read.
  Result<void> still_there(Py_ssize_t i) const noexcept {
    if (i < sequence_size(obj_)) return {};
    return formatted(PyExc_RuntimeError, kChangedSize, name_);
  }

  const char* name_;
  PyObject* obj_;  // borrowed from the call's arguments
  Layout layout_ = Layout::kSequence;
  Py_ssize_t length_ = 0;
  Py_buffer view_{};
};

Result<void> Column::open(Items items) {
  if (is_list(obj_) || is_tuple(obj_)) {
    length_ = sequence_size(obj_);
    return {};
  }
  if (items == Items::kUpdates) {
    return formatted(PyExc_TypeError, kNotASequence, name_, type().c_str());
  }
  if (!PyObject_CheckBuffer(obj_)) {
    return formatted(PyExc_TypeError, kNotAColumn, name_, type().c_str());
  }
  // Strides allowed here, so that a non-contiguous array gets a message of ours.
  if (PyObject_GetBuffer(obj_, &view_, PyBUF_RECORDS_RO) < 0) {
    return argument_error(name_, fetch_pending());
  }
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    return with_note(formatted(PyExc_ValueError, kNotContiguous, name_), kHintContiguous);
  }
  return items == Items::kIds ? check_ids() : check_weights();
}

Result<void> Column::check_ids() {
  bool native = true;
  const std::string_view format = plain_format(view_, native);
  const bool whole_ids = (format == "16s" || format == "16x") && view_.itemsize == 16;
  const bool bytes = format == "B" && view_.itemsize == 1;
  if (!whole_ids && !bytes) {
    // NumPy's fixed-width text (format "36w") is a column of UUID texts.
    const bool texts = format.ends_with('w');
    return with_note(formatted(PyExc_TypeError, kIdFormat, name_, format_of(view_)),
                     texts ? kHintIdTexts : nullptr);
  }
  if (whole_ids && view_.ndim == 1) {
    length_ = view_.shape[0];
  } else if (bytes && view_.ndim == 2 && view_.shape[1] == 16) {
    length_ = view_.shape[0];
  } else if (bytes && view_.ndim == 1 && view_.shape[0] % 16 == 0) {
    length_ = view_.shape[0] / 16;
  } else {
    return formatted(PyExc_ValueError, kIdShape, name_, shape_text(view_).c_str());
  }
  layout_ = Layout::kIdBytes;
  return {};
}

Result<void> Column::check_weights() {
  bool native = true;
  const std::string_view format = plain_format(view_, native);
  if (native && format == "f" && view_.itemsize == 4) {
    layout_ = Layout::kFloat32;
  } else if (native && format == "d" && view_.itemsize == 8) {
    layout_ = Layout::kFloat64;
  } else {
    // Numbers of another type or byte order; raw bytes are most likely float32 ones.
    const bool raw = PyBytes_Check(obj_) || PyByteArray_Check(obj_);
    const bool numbers =
        format.size() == 1 &&
        std::string_view("bBhHiIlLqQnNefd").find(format[0]) != std::string_view::npos;
    return with_note(formatted(PyExc_TypeError, kWeightFormat, name_, format_of(view_)),
                     raw       ? kHintWeightBytes
                     : numbers ? kHintWeightNumbers
                               : nullptr);
  }
  if (view_.ndim != 1) {
    return formatted(PyExc_ValueError, kWeightShape, name_, shape_text(view_).c_str());
  }
  length_ = view_.shape[0];
  return {};
}

Result<void> Column::ids(std::vector<NodeId>& storage) const {
  static_assert(std::is_trivially_copyable_v<NodeId> && sizeof(NodeId) == kIdSize &&
                alignof(NodeId) == 1);
  const auto n = static_cast<std::size_t>(length_);
  if (layout_ == Layout::kIdBytes) {
    const auto* first = static_cast<const NodeId*>(view_.buf);
    storage.assign(first, first + n);  // one copy, with no zeroing before it
    return {};
  }
  // A later column's __buffer__ may have shrunk the list since it was measured;
  // converting an id runs no Python code, so it cannot change during the loop.
  if (sequence_size(obj_) < length_) return formatted(PyExc_RuntimeError, kChangedSize, name_);
  const SequenceItems items(obj_);
  storage.resize(n);
  NodeId* next = storage.data();
  for (Py_ssize_t i = 0; i < length_; ++i, ++next) {
    PyObject* item = items[i];
    if (const char* bytes = bytes_of_size(item, kIdSize)) {
      *next = NodeId::from_bytes(bytes);
      continue;
    }
    auto id = uuid_from_arg(item);
    if (!id) return element_error(name_, i, id.take_error());
    *next = *id;
  }
  return {};
}

Result<void> Column::weights(std::vector<float>& storage) const {
  const auto n = static_cast<std::size_t>(length_);
  if (layout_ == Layout::kFloat32) {
    storage.resize(n);
    if (n != 0) std::memcpy(storage.data(), view_.buf, n * sizeof(float));
    return {};
  }
  storage.reserve(n);
  if (layout_ == Layout::kFloat64) {
    const char* data = static_cast<const char*>(view_.buf);
    for (std::size_t i = 0; i < n; ++i) {
      double value;
      std::memcpy(&value, data + i * sizeof(double), sizeof(double));
      storage.push_back(static_cast<float>(value));
    }
    return {};
  }
  for (Py_ssize_t i = 0; i < length_; ++i) {
    if (auto there = still_there(i); !there) return there.take_error();
    PyObject* item = sequence_item(obj_, i);
    if (PyFloat_CheckExact(item)) {
      storage.push_back(static_cast<float>(float_value(item)));
      continue;
    }
    const OwnedRef held = OwnedRef::borrow(item);  // __float__ may drop it from the list
    auto weight = f32_from_py(item);
    if (!weight) return element_error(name_, i, weight.take_error());
    storage.push_back(*weight);
  }
  return {};
}

Result<void> Column::read_updates(std::vector<NodeUpdate>& out) const {
  out.reserve(out.size() + static_cast<std::size_t>(length_));
  for (Py_ssize_t i = 0; i < length_; ++i) {
    if (auto there = still_there(i); !there) return there.take_error();
    const OwnedRef held = OwnedRef::borrow(sequence_item(obj_, i));
    auto update = node_update_from_dict(held.get(), name_, i);
    if (!update) return update.take_error();
    out.push_back(std::move(*update));
  }
  return {};
}

// ValueError naming each column's length unless they are all equal.
Result<void> same_lengths(const MethodSignature& signature,
                          std::initializer_list<const Column*> columns) {
  bool equal = true;
  for (const Column* column : columns)
    equal = equal && column->length() == (*columns.begin())->length();
  if (equal) return {};
  std::string message = std::string(signature.class_name) + "." + signature.function_name +
                        "() got columns of unequal lengths: ";
  for (const Column* column : columns) {
    if (column != *columns.begin()) message += ", ";
    message += std::string("'") + column->name() + "' has " + std::to_string(column->length());
  }
  OwnedRef text = OwnedRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return fetch_pending();
  return PendingError::lazy(PyExc_ValueError, std::move(text));
}

// Visits every (from, to) pair of `groups` in view order. Target ids sit in
// random places of the slot table, and are asked for ahead as the writer does.
template <class Group, class Visit>
void for_each_target(const GraphDiff& diff, std::span<const Group> groups, Visit visit) {
  EntriesAhead ahead(groups, kEntriesAhead);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    prefetch_group(diff, groups, g);
    const Group& group = groups[g];
    if (group.targets.empty()) continue;
    const NodeId& from = diff.id_of(group.from);
    for (const auto& entry : group.targets) {
      if (const auto* later = ahead.next()) __builtin_prefetch(&diff.id_of(later->key));
      visit(from, diff.id_of(entry.key), entry);
    }
  }
}

char* bytes_data(const OwnedRef& bytes) noexcept { return bytes_buffer(bytes.get()); }

}  // namespace

// Conversion order, the same in every bulk call: argument by argument, left to
// right, each element in order; the first bad element ends the call before the
// diff is touched.

PyObject* add_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  const MethodSignature& sig = kAddEdgesSignature;
  return mutation<3>(sig, self, args, nargs, kwnames, [&](GraphDiff& diff, const Args3& bound) {
    Column from(sig.positional[0], bound[0]);
    Column to(sig.positional[1], bound[1]);
    Column weight(sig.positional[2], bound[2]);
    if (auto opened = from.open(Items::kIds); !opened) return opened;
    if (auto opened = to.open(Items::kIds); !opened) return opened;
    if (auto opened = weight.open(Items::kWeights); !opened) return opened;
    if (auto equal = same_lengths(sig, {&from, &to, &weight}); !equal) return equal;
    std::vector<NodeId> from_ids;
    std::vector<NodeId> to_ids;
    std::vector<float> weights;
    if (auto read = from.ids(from_ids); !read) return read;
    if (auto read = to.ids(to_ids); !read) return read;
    if (auto read = weight.weights(weights); !read) return read;
    diff.add_edges(from_ids, to_ids, weights);
    return Result<void>();
  });
}

PyObject* delete_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  const MethodSignature& sig = kDeleteEdgesSignature;
  return mutation<2>(sig, self, args, nargs, kwnames, [&](GraphDiff& diff, const Args2& bound) {
    Column from(sig.positional[0], bound[0]);
    Column to(sig.positional[1], bound[1]);
    if (auto opened = from.open(Items::kIds); !opened) return opened;
    if (auto opened = to.open(Items::kIds); !opened) return opened;
    if (auto equal = same_lengths(sig, {&from, &to}); !equal) return equal;
    std::vector<NodeId> from_ids;
    std::vector<NodeId> to_ids;
    if (auto read = from.ids(from_ids); !read) return read;
    if (auto read = to.ids(to_ids); !read) return read;
    diff.delete_edges(from_ids, to_ids);
    return Result<void>();
  });
}

PyObject* delete_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  const MethodSignature& sig = kDeleteNodesSignature;
  return mutation<1>(sig, self, args, nargs, kwnames, [&](GraphDiff& diff, const Args1& bound) {
    Column ids(sig.positional[0], bound[0]);
    if (auto opened = ids.open(Items::kIds); !opened) return opened;
    std::vector<NodeId> node_ids;
    if (auto read = ids.ids(node_ids); !read) return read;
    diff.delete_nodes(node_ids);
    return Result<void>();
  });
}

PyObject* add_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  const MethodSignature& sig = kAddNodesSignature;
  return mutation<2>(sig, self, args, nargs, kwnames, [&](GraphDiff& diff, const Args2& bound) {
    Column ids(sig.positional[0], bound[0]);
    Column updates(sig.positional[1], bound[1]);
    if (auto opened = ids.open(Items::kIds); !opened) return opened;
    if (auto opened = updates.open(Items::kUpdates); !opened) return opened;
    if (auto equal = same_lengths(sig, {&ids, &updates}); !equal) return equal;
    std::vector<NodeId> node_ids;
    std::vector<NodeUpdate> node_updates;
    // Read before the updates, whose conversion may run Python code that changes the buffer.
    if (auto read = ids.ids(node_ids); !read) return read;
    if (auto read = updates.read_updates(node_updates); !read) return read;
    diff.add_nodes(node_ids, node_updates);
    return Result<void>();
  });
}

PyObject* edges_columns(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    const auto groups = diff.edge_groups();
    const std::size_t n = entry_count(groups);
    OwnedRef from = new_bytes(kIdSize * n);
    OwnedRef to = new_bytes(kIdSize * n);
    OwnedRef weights = new_bytes(sizeof(float) * n);
    char* from_out = bytes_data(from);
    char* to_out = bytes_data(to);
    char* weight_out = bytes_data(weights);
    for_each_target(diff, groups,
                    [&](const NodeId& source, const NodeId& target, const auto& entry) {
                      std::memcpy(from_out, source.bytes.data(), kIdSize);
                      std::memcpy(to_out, target.bytes.data(), kIdSize);
                      weight_out = put_f32(weight_out, entry.value);
                      from_out += kIdSize;
                      to_out += kIdSize;
                    });
    return created(PyTuple_Pack(3, from.get(), to.get(), weights.get()));
  });
}

PyObject* deleted_edges_columns(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    const auto groups = diff.deleted_groups();
    const std::size_t n = entry_count(groups);
    OwnedRef from = new_bytes(kIdSize * n);
    OwnedRef to = new_bytes(kIdSize * n);
    char* from_out = bytes_data(from);
    char* to_out = bytes_data(to);
    for_each_target(diff, groups, [&](const NodeId& source, const NodeId& target, const auto&) {
      std::memcpy(from_out, source.bytes.data(), kIdSize);
      std::memcpy(to_out, target.bytes.data(), kIdSize);
      from_out += kIdSize;
      to_out += kIdSize;
    });
    return created(PyTuple_Pack(2, from.get(), to.get()));
  });
}

PyObject* deleted_nodes_ids(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    OwnedRef ids = new_bytes(kIdSize * diff.deleted_nodes().size());
    char* out = bytes_data(ids);
    for (const NodeId& id : diff.deleted_nodes()) {
      std::memcpy(out, id.bytes.data(), kIdSize);
      out += kIdSize;
    }
    return ids;
  });
}

}  // namespace kovra::ext
