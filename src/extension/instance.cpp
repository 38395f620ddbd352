#include "extension/instance.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "extension/api_access.h"
#include "extension/pending_error.h"

namespace kovra::ext {

namespace {

PyTypeObject* recorded_type = nullptr;  // kept for the process

}  // namespace

void record_graph_diff_type(PyTypeObject* type) noexcept { recorded_type = type; }

PyTypeObject* graph_diff_type() noexcept { return recorded_type; }

Result<PyGraphDiffObject*> check_receiver(PyObject* self) {
  PyTypeObject* type = graph_diff_type();
  if (Py_TYPE(self) == type || PyType_IsSubtype(Py_TYPE(self), type)) {
    return reinterpret_cast<PyGraphDiffObject*>(self);
  }
  return conversion_error(self, kClassName);
}

Result<OwnedRef> new_instance(PyTypeObject* type, GraphDiff&& record) noexcept {
  PyObject* obj = type_alloc(type)(type, 0);
  if (obj == nullptr) return fetch_pending();  // `record` stays with the caller, who drops it
  auto* instance = reinterpret_cast<PyGraphDiffObject*>(obj);
  new (&instance->diff) GraphDiff(std::move(record));
  instance->borrow_flag = 0;
#ifdef KOVRA_CHECK_INVARIANTS
  instance->unchecked_work = 0;
  instance->checked_work = 0;
#endif
  return OwnedRef::steal(obj);
}

#ifdef KOVRA_CHECK_INVARIANTS

namespace {

// The check walks the whole diff. Up to kAlwaysChecked interned ids, groups,
// target entries and pending rows it runs after every call; past that, once the
// work since the last check reaches 1/kCheckedShare of what that check walked,
// so that checking costs at most kCheckedShare units a call, amortised, and a
// test that builds a million edges stays fast. A call counts as one unit, a
// bulk call as the rows by which it changed the diff's size. (What other
// choices cost the sanitizers' run: docs/design.md.)
constexpr std::size_t kAlwaysChecked = 1024;
constexpr std::size_t kCheckedShare = 32;

}  // namespace

void check_rules(PyGraphDiffObject& instance) noexcept {
  const std::size_t walked = instance.diff.rules_work();
  instance.unchecked_work = 0;
  instance.checked_work = walked > kAlwaysChecked ? walked : 0;
  const char* rule = nullptr;
  try {
    rule = instance.diff.broken_rule();
  } catch (const std::bad_alloc&) {
    return;  // no room for the check's scratch: this one is skipped
  }
  if (rule == nullptr) return;
  std::fprintf(stderr, "kovra_api: a rule of the diff is broken (a bug of this module): %s\n",
               rule);
  std::fflush(stderr);
  std::abort();
}

void check_rules_after_call(PyGraphDiffObject& instance, std::size_t size_before) noexcept {
  const std::size_t size = instance.diff.rules_size();
  const std::size_t work = size > size_before ? size - size_before : size_before - size;
  instance.unchecked_work += work > 0 ? work : 1;
  if (instance.unchecked_work >= instance.checked_work / kCheckedShare) check_rules(instance);
}

#endif

}  // namespace kovra::ext
