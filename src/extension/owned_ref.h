// OwnedRef: the one owner of a strong Python reference. A new reference goes into
// an OwnedRef on the line that receives it and leaves only through release().
#pragma once

#include <Python.h>

#include <utility>

namespace kovra::ext {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // steal: for results of "new reference" calls; borrow: for arguments and borrowed results.
  static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }
  static OwnedRef borrow(PyObject* obj) noexcept { return OwnedRef(Py_XNewRef(obj)); }
  // None, True and False are immortal from CPython 3.12 on: a reference to one is
  // not counted (Python.h's own Py_RETURN_NONE returns None as it is), and the
  // stable ABI's counting is a call.
  static OwnedRef immortal(PyObject* obj) noexcept { return OwnedRef(obj); }
  OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  OwnedRef& operator=(OwnedRef other) noexcept {  // the old object is dropped with `other`
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace kovra::ext
