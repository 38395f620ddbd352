#include "extension/graph_diff_type.h"

#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/document_reader.h"
#include "codec/document_writer.h"
#include "diff/group_prefetch.h"
#include "extension/api_access.h"
#include "extension/arg_binding.h"
#include "extension/borrow.h"
#include "extension/columns.h"
#include "extension/convert.h"
#include "extension/entry_guard.h"
#include "extension/instance.h"
#include "extension/interpreter_released.h"
#include "extension/method_frame.h"

namespace kovra::ext {

namespace {

constexpr char kInstanceCreationFailed[] = "failed to create a PyGraphDiff for the decoded diff";
constexpr char kSerializeFailed[] = "Failed to serialize graph diff.";

// Below this size a document decodes in a few microseconds, about what handing
// the interpreter to another thread and taking it back can cost.
constexpr std::size_t kDecodeWithoutInterpreter = 64 * 1024;

// ---- signatures -------------------------------------------------------------

constexpr const char* kIdUpdate[] = {"id", "update"};
constexpr const char* kId[] = {"id"};
constexpr const char* kBytes[] = {"bytes"};

PyObject* add_node_names[2];
PyObject* delete_node_names[1];
PyObject* add_edge_names[3];
PyObject* delete_edge_names[2];
PyObject* from_bytes_names[1];

const MethodSignature kNewSignature = all_required("__new__", {}, {});
const MethodSignature kAddNodeSignature = all_required("add_node", kIdUpdate, add_node_names);
const MethodSignature kDeleteNodeSignature = all_required("delete_node", kId, delete_node_names);
const MethodSignature kAddEdgeSignature = all_required("add_edge", kFromToWeight, add_edge_names);
const MethodSignature kDeleteEdgeSignature =
    all_required("delete_edge", kFromTo, delete_edge_names);
const MethodSignature kFromBytesSignature = all_required("from_bytes", kBytes, from_bytes_names);

// ---- queries --------------------------------------------------------------------

PyObject* num_nodes(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    return created(PyLong_FromUnsignedLongLong(diff.num_nodes()));
  });
}

PyObject* num_edges(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    return created(PyLong_FromUnsignedLongLong(diff.num_edges()));
  });
}

PyObject* new_or_updated_nodes(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    OwnedRef view = created(PyDict_New());
    for (const auto& [id, update] : diff.nodes()) {
      OwnedRef key = uuid_to_text(id);
      OwnedRef value = node_update_to_dict(update);
      if (PyDict_SetItem(view.get(), key.get(), value.get()) < 0) return fetch_pending();
    }
    return view;
  });
}

PyObject* deleted_nodes(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    OwnedRef view = created(PyList_New(static_cast<Py_ssize_t>(diff.deleted_nodes().size())));
    Py_ssize_t i = 0;
    for (const NodeId& id : diff.deleted_nodes()) {
      list_fill(view.get(), i++, uuid_to_text(id));
    }
    return view;
  });
}

// The texts of the ids that the edge views name. A target id recurs in the
// groups of all its sources, so each interned id's text is made once per view
// and shared by every dict or list that names it: a str is immutable, and a
// shared one also keeps its cached hash, so the dict inserts do not hash the
// same text again. A view that names few ids of a large diff makes them one by
// one instead of setting up a table for every interned id.
class IdTexts {
 public:
  IdTexts(const GraphDiff& diff, std::size_t entries) : diff_(diff) {
    constexpr std::size_t kEntriesPerSlot = 16;
    if (entries >= diff.number_bound() / kEntriesPerSlot) texts_.resize(diff.number_bound());
  }
  IdTexts(const IdTexts&) = delete;
  IdTexts& operator=(const IdTexts&) = delete;
  ~IdTexts() {
    for (PyObject* text : texts_) Py_XDECREF(text);
  }

  OwnedRef text(NodeNumber number) {
    if (texts_.empty()) return uuid_to_text(diff_.id_of(number));
    PyObject*& text = texts_[number];
    if (text == nullptr) text = uuid_to_text(diff_.id_of(number)).release();
    return OwnedRef::borrow(text);
  }

  // Asks early for what text(number) will read, in two stages since a shared
  // text's address is itself in the table: the table's cell for an entry far
  // ahead (`far`), then, for a nearer one (`near`), the text once made (its cached
  // hash) or else the id.
  template <class Entry>
  void prefetch(const Entry* far, const Entry* near) const noexcept {
    if (texts_.empty()) {
      if (near != nullptr) __builtin_prefetch(&diff_.id_of(near->key));
      return;
    }
    if (far != nullptr) __builtin_prefetch(&texts_[far->key]);
    if (near == nullptr) return;
    PyObject* const text = texts_[near->key];
    if (text != nullptr) {
      __builtin_prefetch(text);
    } else {
      __builtin_prefetch(&diff_.id_of(near->key));
    }
  }

 private:
  const GraphDiff& diff_;
  std::vector<PyObject*> texts_;
};

PyObject* new_or_updated_edges(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    const auto groups = diff.edge_groups();
    IdTexts texts(diff, entry_count(groups));
    EntriesAhead far(groups, kFarEntriesAhead);
    EntriesAhead near(groups, kEntriesAhead);
    OwnedRef view = created(PyDict_New());
    for (std::size_t g = 0; g < groups.size(); ++g) {
      const EdgeGroup& group = groups[g];
      prefetch_group(diff, groups, g);
      // Node deletion can leave a group with no targets; the view hides it.
      if (group.targets.empty()) continue;
      OwnedRef targets = created(PyDict_New());
      for (const auto& entry : group.targets) {
        texts.prefetch(far.next(), near.next());
        OwnedRef to = texts.text(entry.key);
        OwnedRef weight = float_to_py(entry.value);
        if (PyDict_SetItem(targets.get(), to.get(), weight.get()) < 0) return fetch_pending();
      }
      OwnedRef from = texts.text(group.from);
      if (PyDict_SetItem(view.get(), from.get(), targets.get()) < 0) return fetch_pending();
    }
    return view;
  });
}

PyObject* deleted_edges(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    const auto groups = diff.deleted_groups();
    IdTexts texts(diff, entry_count(groups));
    EntriesAhead far(groups, kFarEntriesAhead);
    EntriesAhead near(groups, kEntriesAhead);
    OwnedRef view = created(PyDict_New());
    for (std::size_t g = 0; g < groups.size(); ++g) {
      const DeletedGroup& group = groups[g];
      prefetch_group(diff, groups, g);
      if (group.targets.empty()) continue;
      OwnedRef targets = created(PyList_New(static_cast<Py_ssize_t>(group.targets.size())));
      Py_ssize_t i = 0;
      for (const auto& entry : group.targets) {
        texts.prefetch(far.next(), near.next());
        list_fill(targets.get(), i++, texts.text(entry.key));
      }
      OwnedRef from = texts.text(group.from);
      if (PyDict_SetItem(view.get(), from.get(), targets.get()) < 0) return fetch_pending();
    }
    return view;
  });
}

// The document of `diff`, which to_bytes and pickling both give.
Result<OwnedRef> document_of(const GraphDiff& diff) {
  std::optional<DocumentWriter> writer = DocumentWriter::measure(diff);
  if (!writer || writer->size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    return PendingError::lazy(PyExc_Exception, kSerializeFailed);
  }
  // Written straight into the bytes object: the document is never copied.
  OwnedRef bytes = new_bytes(writer->size());
  writer->write(bytes_buffer(bytes.get()));
  return bytes;
}

PyObject* to_bytes(PyObject* self, PyObject*) noexcept { return query(self, document_of); }

// ---- mutations ------------------------------------------------------------------

PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return mutation<2>(kAddNodeSignature, self, args, nargs, kwnames,
                     [](GraphDiff& diff, const Args2& bound) -> Result<void> {
                       auto id = uuid_from_arg(bound[0]);
                       if (!id) return argument_error("id", id.take_error());
                       auto update = node_update_from_dict(bound[1], "update");
                       if (!update) return update.take_error();
                       diff.add_node(*id, std::move(*update));
                       return {};
                     });
}

PyObject* delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return mutation<1>(kDeleteNodeSignature, self, args, nargs, kwnames,
                     [](GraphDiff& diff, const Args1& bound) -> Result<void> {
                       auto id = uuid_from_arg(bound[0]);
                       if (!id) return argument_error("id", id.take_error());
                       diff.delete_node(*id);
                       return {};
                     });
}

PyObject* add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return mutation<3>(kAddEdgeSignature, self, args, nargs, kwnames,
                     [](GraphDiff& diff, const Args3& bound) -> Result<void> {
                       auto from = uuid_from_arg(bound[0]);
                       if (!from) return argument_error("from", from.take_error());
                       auto to = uuid_from_arg(bound[1]);
                       if (!to) return argument_error("to", to.take_error());
                       auto weight = f32_from_py(bound[2]);
                       if (!weight) return argument_error("weight", weight.take_error());
                       // An edge touching a node marked deleted is refused silently.
                       static_cast<void>(diff.add_edge(*from, *to, *weight));
                       return {};
                     });
}

PyObject* delete_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return mutation<2>(kDeleteEdgeSignature, self, args, nargs, kwnames,
                     [](GraphDiff& diff, const Args2& bound) -> Result<void> {
                       auto from = uuid_from_arg(bound[0]);
                       if (!from) return argument_error("from", from.take_error());
                       auto to = uuid_from_arg(bound[1]);
                       if (!to) return argument_error("to", to.take_error());
                       diff.delete_edge(*from, *to);
                       return {};
                     });
}

PyObject* clear(PyObject* self, PyObject*) noexcept {
  return entry_guard([&]() -> Result<OwnedRef> {
    auto instance = check_receiver(self);
    if (!instance) return instance.take_error();
    auto borrow = borrow_exclusive(*instance);
    if (!borrow) return borrow.take_error();
    (*instance)->diff.clear();
    return OwnedRef::immortal(Py_None);
  });
}

// ---- the object protocol: pickling, copying, size ---------------------------------

// pickle, copy and multiprocessing rebuild a diff as from_bytes of its
// document: the document is the stable format, so a pickle made by one release
// loads in the next, and the class is found by reference as
// kovra_api.PyGraphDiff.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    auto document = document_of(diff);
    if (!document) return document.take_error();
    OwnedRef rebuild = OwnedRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(graph_diff_type()), "from_bytes"));
    if (!rebuild) return fetch_pending();
    OwnedRef arguments = created(PyTuple_Pack(1, document->get()));
    return created(PyTuple_Pack(2, rebuild.get(), arguments.get()));
  });
}

// The instance and the native memory its diff holds, so that sys.getsizeof
// follows the content.
PyObject* size_of(PyObject* self, PyObject*) noexcept {
  return query(self, [](const GraphDiff& diff) -> Result<OwnedRef> {
    return created(PyLong_FromSize_t(sizeof(PyGraphDiffObject) + diff.heap_bytes()));
  });
}

// ---- construction -----------------------------------------------------------------

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return entry_guard([&]() -> Result<OwnedRef> {
    auto bound = bind_arguments<1>(kFromBytesSignature, args, nargs, kwnames);
    if (!bound) return bound.take_error();
    PyObject* data = (*bound)[0];
    if (!is_bytes(data)) return argument_error("bytes", document_error(data));
    // A bytes object never changes, and this call holds a reference to it, so
    // the decode, which touches no Python object, needs no interpreter.
    const std::string_view document = bytes_contents(data);
    std::optional<GraphDiff> decoded;
    if (document.size() >= kDecodeWithoutInterpreter) {
      decoded = InterpreterReleased::run([&] { return deserialize_graph_diff(document); });
    } else {
      decoded = deserialize_graph_diff(document);
    }
    if (!decoded) return PendingError::lazy(PyExc_Exception, kDeserializeFailed);
    auto instance = new_instance(graph_diff_type(), std::move(*decoded));
    if (!instance) {
      PendingError error = instance.take_error();
      if (PyErr_GivenExceptionMatches(error.exception(), PyExc_MemoryError)) return error;
      raise_pending(std::move(error));
      PyErr_Print();
      throw InternalFault(kInstanceCreationFailed);
    }
#ifdef KOVRA_CHECK_INVARIANTS
    check_rules(*reinterpret_cast<PyGraphDiffObject*>(instance->get()));
#endif
    return std::move(*instance);
  });
}

PyObject* graph_diff_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return entry_guard([&]() -> Result<OwnedRef> {
    if (auto bound = bind_tuple_dict(kNewSignature, args, kwargs, nullptr); !bound) {
      return bound.take_error();
    }
    return new_instance(subtype, GraphDiff());
  });
}

void graph_diff_dealloc(PyObject* self) noexcept {
  entry_guard_unraisable([&]() -> Result<void> {
    reinterpret_cast<PyGraphDiffObject*>(self)->diff.~GraphDiff();
    PyTypeObject* type = Py_TYPE(self);
    type_free(type)(self);
    Py_DECREF(type);  // tp_alloc took it for the instance
    return {};
  });
}

// ---- type -------------------------------------------------------------------------

PyMethodDef methods[] = {
    {"new_or_updated_nodes", as_cfunction(new_or_updated_nodes), METH_NOARGS,
     "new_or_updated_nodes($self)\n--\n\n"},
    {"deleted_nodes", as_cfunction(deleted_nodes), METH_NOARGS, "deleted_nodes($self)\n--\n\n"},
    {"new_or_updated_edges", as_cfunction(new_or_updated_edges), METH_NOARGS,
     "new_or_updated_edges($self)\n--\n\n"},
    {"deleted_edges", as_cfunction(deleted_edges), METH_NOARGS, "deleted_edges($self)\n--\n\n"},
    {"num_nodes", as_cfunction(num_nodes), METH_NOARGS, "num_nodes($self)\n--\n\n"},
    {"num_edges", as_cfunction(num_edges), METH_NOARGS, "num_edges($self)\n--\n\n"},
    {"add_node", as_cfunction(add_node), METH_FASTCALL | METH_KEYWORDS,
     "add_node($self, id, update)\n--\n\n"},
    {"delete_node", as_cfunction(delete_node), METH_FASTCALL | METH_KEYWORDS,
     "delete_node($self, id)\n--\n\n"},
    {"add_edge", as_cfunction(add_edge), METH_FASTCALL | METH_KEYWORDS,
     "add_edge($self, from, to, weight)\n--\n\n"},
    {"delete_edge", as_cfunction(delete_edge), METH_FASTCALL | METH_KEYWORDS,
     "delete_edge($self, from, to)\n--\n\n"},
    {"clear", as_cfunction(clear), METH_NOARGS, "clear($self)\n--\n\n"},
    {"to_bytes", as_cfunction(to_bytes), METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", as_cfunction(from_bytes), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "from_bytes(bytes)\n--\n\n"},
    // Whole columns in and out (columns.cpp).
    {"add_edges", as_cfunction(add_edges), METH_FASTCALL | METH_KEYWORDS,
     "add_edges($self, from, to, weight)\n--\n\n"},
    {"delete_edges", as_cfunction(delete_edges), METH_FASTCALL | METH_KEYWORDS,
     "delete_edges($self, from, to)\n--\n\n"},
    {"delete_nodes", as_cfunction(delete_nodes), METH_FASTCALL | METH_KEYWORDS,
     "delete_nodes($self, ids)\n--\n\n"},
    {"add_nodes", as_cfunction(add_nodes), METH_FASTCALL | METH_KEYWORDS,
     "add_nodes($self, ids, updates)\n--\n\n"},
    {"edges_columns", as_cfunction(edges_columns), METH_NOARGS, "edges_columns($self)\n--\n\n"},
    {"deleted_edges_columns", as_cfunction(deleted_edges_columns), METH_NOARGS,
     "deleted_edges_columns($self)\n--\n\n"},
    {"deleted_nodes_ids", as_cfunction(deleted_nodes_ids), METH_NOARGS,
     "deleted_nodes_ids($self)\n--\n\n"},
    // The object protocol, above.
    {"__reduce__", as_cfunction(reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__sizeof__", as_cfunction(size_of), METH_NOARGS, "__sizeof__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

char class_doc[] = "PyGraphDiff()\n--\n\n";

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, class_doc},
    {Py_tp_new, reinterpret_cast<void*>(graph_diff_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_diff_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// Not BASETYPE: the class cannot be subclassed. Not GC: an instance refers to no
// Python object, so it can take part in no cycle.
PyType_Spec spec = {"kovra_api.PyGraphDiff", static_cast<int>(sizeof(PyGraphDiffObject)), 0,
                    Py_TPFLAGS_DEFAULT, slots};

}  // namespace

Result<PyTypeObject*> create_graph_diff_type() noexcept {
  if (PyTypeObject* type = graph_diff_type(); type != nullptr) return type;
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return fetch_pending();  // nothing recorded; the next call retries
  record_graph_diff_type(reinterpret_cast<PyTypeObject*>(type));
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace kovra::ext
