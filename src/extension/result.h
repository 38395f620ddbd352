// Result<T>: a step's value or the PendingError that ends the call. Ignoring one
// is a compile-time warning, so a failure cannot be dropped by accident.
#pragma once

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "extension/pending_error.h"

namespace kovra::ext {

// A tagged union rather than std::variant: every call of a method builds and drops
// several of these, and one flag test is all either needs.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit on purpose
      : ok_(true) {
    std::construct_at(&value_, std::move(value));
  }
  Result(PendingError error) noexcept  // NOLINT: implicit on purpose
      : ok_(false) {
    std::construct_at(&error_, std::move(error));
  }
  Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T>) : ok_(other.ok_) {
    if (ok_) {
      std::construct_at(&value_, std::move(other.value_));
    } else {
      std::construct_at(&error_, std::move(other.error_));
    }
  }
  Result& operator=(Result&&) = delete;
  ~Result() {
    if (ok_) {
      std::destroy_at(&value_);
    } else {
      std::destroy_at(&error_);
    }
  }

  explicit operator bool() const noexcept { return ok_; }
  T& operator*() noexcept { return value_; }
  T* operator->() noexcept { return &value_; }
  PendingError take_error() noexcept { return std::move(error_); }

 private:
  bool ok_;
  union {
    T value_;
    PendingError error_;
  };
};

// For steps that produce nothing but may fail.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() noexcept = default;
  Result(PendingError error) noexcept : error_(std::move(error)) {}  // NOLINT: implicit

  explicit operator bool() const noexcept { return !error_.has_value(); }
  PendingError take_error() noexcept { return std::move(*error_); }

 private:
  std::optional<PendingError> error_;
};

}  // namespace kovra::ext
