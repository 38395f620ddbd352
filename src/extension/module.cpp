// Module initialisation: one module per process, built in the first interpreter
// that imports it and handed out again on every later initialisation there.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "extension/api_access.h"
#include "extension/arg_binding.h"
#include "extension/entry_guard.h"
#include "extension/graph_diff_type.h"
#include "extension/shards.h"

namespace kovra::ext {

namespace {

constexpr char kSubinterpreters[] =
    "kovra_api does not yet support subinterpreters: it can only be imported in the "
    "interpreter that imported it first";
constexpr char kAllAppendFailed[] = "could not append __name__ to __all__";

// One stream split across processes (shards.cpp). Module attributes, but not in
// __all__, which names the class alone.
PyMethodDef module_functions[] = {
    {"shard_of", as_cfunction(shard_of), METH_FASTCALL | METH_KEYWORDS,
     "shard_of(id, shards)\n--\n\n"},
    {"merge_documents", as_cfunction(merge_documents), METH_FASTCALL | METH_KEYWORDS,
     "merge_documents(documents)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kovra_api",
    "",  // __doc__ is the empty str, not None
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter to initialise the module owns it for the process.
std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* module_cache = nullptr;

// "TypeName: message", for fault texts.
std::string describe(PyObject* exc) {
  OwnedRef text =
      OwnedRef::steal(PyUnicode_FromFormat("%s: %S", type_name(Py_TYPE(exc)).c_str(), exc));
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    discard_pending();
    return "<unprintable exception>";
  }
  return utf8;
}

Result<void> populate_module(PyObject* module) {
  auto type = create_graph_diff_type();
  if (!type) return type.take_error();

  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PendingError error = fetch_pending();
    if (!PyErr_GivenExceptionMatches(error.exception(), PyExc_AttributeError)) return error;
    all = created(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fetch_pending();
  } else if (!PyList_Check(all.get())) {
    return conversion_error(all.get(), "PyList");
  }

  OwnedRef name = created(PyUnicode_FromString("PyGraphDiff"));
  if (PyList_Append(all.get(), name.get()) < 0) {
    PendingError error = fetch_pending();
    throw InternalFault(std::string(kAllAppendFailed) + ": " + describe(error.exception()));
  }
  if (PyObject_SetAttrString(module, "PyGraphDiff", reinterpret_cast<PyObject*>(*type)) < 0) {
    return fetch_pending();
  }
  if (PyModule_AddStringConstant(module, "__version__", KOVRA_VERSION) < 0) return fetch_pending();
  return {};
}

Result<OwnedRef> init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fetch_pending();
  std::int64_t expected = -1;
  if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return PendingError::lazy(PyExc_ImportError, kSubinterpreters);
  }
  // Re-initialisation (e.g. after `del sys.modules["kovra_api"]`) gives the same
  // module and therefore the same class.
  if (module_cache != nullptr) return OwnedRef::borrow(module_cache);

  OwnedRef module = OwnedRef::steal(PyModule_Create(&module_def));
  if (!module) return fetch_pending();
  // On failure the module is dropped and nothing is cached: the next import retries.
  if (auto populated = populate_module(module.get()); !populated) return populated.take_error();
  module_cache = OwnedRef::borrow(module.get()).release();  // kept for the process
  return module;
}

}  // namespace

}  // namespace kovra::ext

PyMODINIT_FUNC PyInit_kovra_api() noexcept {
  return kovra::ext::entry_guard(kovra::ext::init_module);
}
