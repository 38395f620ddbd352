// Borrow guards over a PyGraphDiff instance. A guard holds the flag and gives it
// back when it dies, on every path. It takes no reference of its own: the caller
// lends the receiver for the whole call, so the instance outlives the guard
// whatever Python code a conversion runs meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "extension/instance.h"
#include "extension/result.h"

namespace kovra::ext {

inline constexpr std::uintptr_t kExclusive = std::numeric_limits<std::uintptr_t>::max();
inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr char kAlreadyBorrowed[] = "Already borrowed";

// A plain word is enough: the interpreter lock is held, and the flag only has to
// stop re-entry from __float__, __index__ or a key's __eq__.
template <bool Exclusive>
class BorrowGuard {
 public:
  BorrowGuard(BorrowGuard&& other) noexcept : instance_(std::exchange(other.instance_, nullptr)) {}
  BorrowGuard& operator=(BorrowGuard&&) = delete;
  ~BorrowGuard() {
    if (instance_ == nullptr) return;
#ifdef KOVRA_CHECK_INVARIANTS
    // Every call on a diff, read or write, ends here, on every path (instance.h).
    check_rules_after_call(*instance_, size_before_);
#endif
    if constexpr (Exclusive) {
      instance_->borrow_flag = 0;
    } else {
      instance_->borrow_flag -= 1;
    }
  }

  PyGraphDiffObject* operator->() const noexcept { return instance_; }

 private:
  template <bool E>
  friend Result<BorrowGuard<E>> take_borrow(PyGraphDiffObject* instance) noexcept;
  explicit BorrowGuard(PyGraphDiffObject* instance) noexcept : instance_(instance) {}

  PyGraphDiffObject* instance_;
#ifdef KOVRA_CHECK_INVARIANTS
  // A guard moves only on its way to the call, before the diff changes, so the
  // size it is measured at is the same in every copy.
  std::size_t size_before_ = instance_ != nullptr ? instance_->diff.rules_size() : 0;
#endif
};

using SharedBorrow = BorrowGuard<false>;
using ExclusiveBorrow = BorrowGuard<true>;

template <bool Exclusive>
Result<BorrowGuard<Exclusive>> take_borrow(PyGraphDiffObject* instance) noexcept {
  if constexpr (Exclusive) {
    if (instance->borrow_flag != 0) {
      return PendingError::lazy(PyExc_RuntimeError, kAlreadyBorrowed);
    }
    instance->borrow_flag = kExclusive;
  } else {
    if (instance->borrow_flag == kExclusive) {
      return PendingError::lazy(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
    }
    instance->borrow_flag += 1;
  }
  return BorrowGuard<Exclusive>(instance);
}

inline Result<SharedBorrow> borrow_shared(PyGraphDiffObject* instance) noexcept {
  return take_borrow<false>(instance);
}
inline Result<ExclusiveBorrow> borrow_exclusive(PyGraphDiffObject* instance) noexcept {
  return take_borrow<true>(instance);
}

}  // namespace kovra::ext
