#include "extension/shards.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "codec/document_merge.h"
#include "codec/shard.h"
#include "extension/api_access.h"
#include "extension/arg_binding.h"
#include "extension/convert.h"
#include "extension/entry_guard.h"
#include "extension/instance.h"
#include "extension/interpreter_released.h"

namespace kovra::ext {

namespace {

constexpr char kTooFewShards[] = "argument 'shards': must be at least 1, not %S";
constexpr char kTooManyShards[] = "argument 'shards': must be at most 2**64 - 1, not %S";
constexpr char kOneDocument[] =
    "argument 'documents': expected an iterable of documents, not one '%s' object";
constexpr char kNodesDiffer[] = "Node %s differs between documents %zu and %zu.";
constexpr char kDeletedNodesDiffer[] = "Deleted node %s differs between documents %zu and %zu.";
constexpr char kEdgesInTwo[] = "Edges from %s are in documents %zu and %zu.";

constexpr const char* kIdShards[] = {"id", "shards"};
constexpr const char* kDocuments[] = {"documents"};

PyObject* shard_of_names[2];
PyObject* merge_documents_names[1];

// As the methods: every parameter by position or keyword, all required.
constexpr MethodSignature module_function(const char* function, std::span<const char* const> names,
                                          std::span<PyObject*> interned) {
  return MethodSignature{nullptr, function, names, names.size(), interned};
}

const MethodSignature kShardOfSignature = module_function("shard_of", kIdShards, shard_of_names);
const MethodSignature kMergeDocumentsSignature =
    module_function("merge_documents", kDocuments, merge_documents_names);

// A shard count: an int (or an object with __index__) from 1 to 2**64 - 1. The
// interpreter's own errors pass through (a float's TypeError); a count past the
// range is refused in the words of one below it, with the type the interpreter
// gives it.
Result<std::uint64_t> shard_count_from_py(PyObject* obj) {
  OwnedRef as_int = OwnedRef::steal(PyNumber_Index(obj));
  if (!as_int) return fetch_pending();
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
  if (small == -1 && PyErr_Occurred()) return fetch_pending();
  if (overflow > 0) {
    const unsigned long long large = PyLong_AsUnsignedLongLong(as_int.get());
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PendingError error = fetch_pending();
      if (!PyErr_GivenExceptionMatches(error.exception(), PyExc_OverflowError)) return error;
      return formatted(PyExc_OverflowError, kTooManyShards, as_int.get());
    }
    return large;
  }
  if (overflow < 0 || small < 1) return formatted(PyExc_ValueError, kTooFewShards, as_int.get());
  return static_cast<std::uint64_t>(small);
}

PendingError conflict_error(const MergeConflict& conflict) {
  char text[37] = {};
  node_id_to_text(conflict.id, text);
  const char* format = conflict.kind == MergeConflict::Kind::kNode          ? kNodesDiffer
                       : conflict.kind == MergeConflict::Kind::kDeletedNode ? kDeletedNodesDiffer
                                                                            : kEdgesInTwo;
  return formatted(PyExc_ValueError, format, text, conflict.first, conflict.second);
}

}  // namespace

PyObject* shard_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return entry_guard([&]() -> Result<OwnedRef> {
    auto bound = bind_arguments<2>(kShardOfSignature, args, nargs, kwnames);
    if (!bound) return bound.take_error();
    auto id = uuid_from_arg((*bound)[0]);
    if (!id) return argument_error("id", id.take_error());
    auto shards = shard_count_from_py((*bound)[1]);
    if (!shards) return argument_error("shards", shards.take_error());
    return created(PyLong_FromUnsignedLongLong(kovra::shard_of(*id, *shards)));
  });
}

PyObject* merge_documents(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return entry_guard([&]() -> Result<OwnedRef> {
    auto bound = bind_arguments<1>(kMergeDocumentsSignature, args, nargs, kwnames);
    if (!bound) return bound.take_error();
    // Any iterable, taken whole first: a generator of futures' results works too.
    // One document is an iterable too, of ints, which would be refused at its first.
    PyObject* given = (*bound)[0];
    if (is_bytes(given) || PyByteArray_Check(given) || PyMemoryView_Check(given)) {
      return formatted(PyExc_TypeError, kOneDocument, type_name(Py_TYPE(given)).c_str());
    }
    OwnedRef items = is_list(given) || is_tuple(given) ? OwnedRef::borrow(given)
                                                       : OwnedRef::steal(PySequence_List(given));
    if (!items) return argument_error("documents", fetch_pending());
    const Py_ssize_t count = sequence_size(items.get());
    // Each document is held while the lock is released: nothing the caller does to
    // the list meanwhile can free one.
    std::vector<OwnedRef> held;
    std::vector<std::string_view> documents;
    held.reserve(static_cast<std::size_t>(count));
    documents.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = sequence_item(items.get(), i);
      if (!is_bytes(item)) {
        return element_error("documents", i, document_error(item));
      }
      held.push_back(OwnedRef::borrow(item));
      documents.push_back(bytes_contents(item));
    }

    MergeOutcome outcome =
        InterpreterReleased::run([&] { return kovra::merge_documents(documents); });
    if (std::holds_alternative<MalformedDocument>(outcome)) {
      return PendingError::lazy(PyExc_Exception, kDeserializeFailed);
    }
    if (const auto* conflict = std::get_if<MergeConflict>(&outcome))
      return conflict_error(*conflict);
    const MergedDocument& merged = std::get<MergedDocument>(outcome);
    // No longer than the inputs together; only a 32-bit build could reach this.
    if (merged.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PendingError::no_memory();
    OwnedRef result = new_bytes(merged.size());
    char* out = bytes_buffer(result.get());
    // The new object is not visible to any other thread yet.
    InterpreterReleased::run([&] { merged.write(out); });
    return result;
  });
}

}  // namespace kovra::ext
