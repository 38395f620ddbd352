#include "extension/arg_binding.h"

#include <cstring>
#include <string>

#include "extension/api_access.h"

namespace kovra::ext {

namespace {

constexpr std::size_t kMaxParameters = 8;
constexpr std::ptrdiff_t kUnknown = -1;

PendingError type_error_format(PyObject* message) noexcept {
  if (message == nullptr) return fetch_pending();
  return PendingError::lazy(PyExc_TypeError, OwnedRef::steal(message));
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_names(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// "PyGraphDiff.add_node" for a method, "shard_of" for a module function.
std::string callable_name(const MethodSignature& sig) {
  if (sig.class_name == nullptr) return sig.function_name;
  return std::string(sig.class_name) + "." + sig.function_name;
}

void intern_names(const MethodSignature& sig) noexcept {
  for (std::size_t i = 0; i < sig.interned.size(); ++i) {
    if (sig.interned[i] != nullptr) continue;
    sig.interned[i] = PyUnicode_InternFromString(sig.positional[i]);
    // Without the interned name only the pointer shortcut is lost.
    if (sig.interned[i] == nullptr) discard_pending();
  }
}

// Position of the parameter called `name`, or kUnknown.
std::ptrdiff_t find_parameter(const MethodSignature& sig, PyObject* name) noexcept {
  const std::size_t count = sig.parameter_count();
  if (!sig.interned.empty() && sig.interned[0] == nullptr) intern_names(sig);
  for (std::size_t i = 0; i < count && i < sig.interned.size(); ++i) {
    if (sig.interned[i] == name) return static_cast<std::ptrdiff_t>(i);
  }
  // Compare by content: names built at run time (**{"from": x}) are not interned.
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);
  if (text == nullptr) {
    discard_pending();  // an unreadable name is simply unexpected
    return kUnknown;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const char* candidate = sig.positional[i];
    if (std::strlen(candidate) == static_cast<std::size_t>(length) &&
        std::memcmp(candidate, text, static_cast<std::size_t>(length)) == 0) {
      return static_cast<std::ptrdiff_t>(i);
    }
  }
  return kUnknown;
}

class Binder {
 public:
  Binder(const MethodSignature& sig, PyObject** bound) noexcept : sig_(sig), bound_(bound) {}

  // Positional arguments fill the first parameters; more than the signature has fail at once.
  Result<void> place_positional(PyObject* const* args, Py_ssize_t nargs) {
    nargs_ = static_cast<std::size_t>(nargs);
    const std::size_t n = sig_.positional.size();
    if (nargs_ > n) return too_many();
    for (std::size_t i = 0; i < nargs_; ++i) bound_[i] = args[i];
    return {};
  }

  // One keyword argument.
  Result<void> place_keyword(PyObject* name, PyObject* value) {
    const std::ptrdiff_t found = find_parameter(sig_, name);
    if (found == kUnknown) return unexpected(name);
    const auto position = static_cast<std::size_t>(found);
    if (bound_[position] != nullptr) return multiple_values(position);
    bound_[position] = value;
    return {};
  }

  // Missing arguments, named together once every argument is placed.
  Result<void> finish() {
    std::array<const char*, kMaxParameters> names{};
    std::size_t count = 0;
    if (nargs_ < sig_.required) {
      for (std::size_t i = 0; i < sig_.required; ++i) {
        if (bound_[i] == nullptr) names[count++] = sig_.positional[i];
      }
      if (count > 0) return missing({names.data(), count});
    }
    return {};
  }

 private:
  PendingError too_many() const noexcept {
    const std::size_t n = sig_.positional.size();
    const char* verb = nargs_ == 1 ? "was" : "were";
    if (sig_.required == n) {
      return type_error_format(
          PyUnicode_FromFormat("%s() takes %zu positional arguments but %zu %s given",
                               callable_name(sig_).c_str(), n, nargs_, verb));
    }
    return type_error_format(
        PyUnicode_FromFormat("%s() takes from %zu to %zu positional arguments but %zu %s given",
                             callable_name(sig_).c_str(), sig_.required, n, nargs_, verb));
  }

  PendingError unexpected(PyObject* name) const noexcept {
    return type_error_format(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'",
                                                  callable_name(sig_).c_str(), name));
  }

  PendingError multiple_values(std::size_t position) const noexcept {
    return type_error_format(PyUnicode_FromFormat("%s() got multiple values for argument '%s'",
                                                  callable_name(sig_).c_str(),
                                                  sig_.positional[position]));
  }

  PendingError missing(std::span<const char* const> names) const {
    return type_error_format(PyUnicode_FromFormat(
        "%s() missing %zu required positional %s: %s", callable_name(sig_).c_str(), names.size(),
        names.size() == 1 ? "argument" : "arguments", join_names(names).c_str()));
  }

  const MethodSignature& sig_;
  PyObject** bound_;
  std::size_t nargs_ = 0;
};

}  // namespace

Result<void> bind_vector(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject** bound) {
  Binder binder(sig, bound);
  if (auto placed = binder.place_positional(args, nargs); !placed) return placed;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = tuple_size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      auto placed = binder.place_keyword(tuple_item(kwnames, i), args[nargs + i]);
      if (!placed) return placed;
    }
  }
  return binder.finish();
}

Result<void> bind_tuple_dict(const MethodSignature& sig, PyObject* args, PyObject* kwargs,
                             PyObject** bound) {
  Binder binder(sig, bound);
  const Py_ssize_t nargs = tuple_size(args);
  // Only as many as the signature takes are read: more fail without being looked at.
  std::array<PyObject*, kMaxParameters> positional{};
  for (Py_ssize_t i = 0; i < nargs && i < static_cast<Py_ssize_t>(kMaxParameters); ++i) {
    positional[static_cast<std::size_t>(i)] = tuple_item(args, i);
  }
  if (auto placed = binder.place_positional(positional.data(), nargs); !placed) return placed;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      auto placed = binder.place_keyword(name, value);
      if (!placed) return placed;
    }
  }
  return binder.finish();
}

}  // namespace kovra::ext
