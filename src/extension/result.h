// Result<T>: a step's value or the PendingError that ends the call. Ignoring one
// is a compile-time warning, so a failure cannot be dropped by accident.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "extension/pending_error.h"

namespace kovra::ext {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit on purpose
      : state_(std::in_place_index<0>, std::move(value)) {}
  Result(PendingError error) noexcept  // NOLINT: implicit on purpose
      : state_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return state_.index() == 0; }
  T& operator*() noexcept { return *std::get_if<0>(&state_); }
  T* operator->() noexcept { return std::get_if<0>(&state_); }
  PendingError take_error() noexcept { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, PendingError> state_;
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
