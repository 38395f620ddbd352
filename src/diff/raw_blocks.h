// The core's blocks that do not come from operator new: the hash indexes'
// buckets (calloc, so that a large table comes as fresh zero pages), list
// blocks past the arena's classes (malloc and realloc, so that a long list
// grows in place) and scratch arrays of a run-time length. They come through
// here so that test builds can make any allocation fail, these as well as
// operator new's, from one count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace kovra {

#ifdef KOVRA_TEST_HOOKS
// Test builds only: the allocation that finds this at 0 fails; negative never
// fails. A test's operator new counts down the same variable.
inline long allocations_left = -1;
#endif

// Each returns null when out of memory, as the C functions do.
inline bool allocation_fails() noexcept {
#ifdef KOVRA_TEST_HOOKS
  if (allocations_left == 0) return true;
  if (allocations_left > 0) --allocations_left;
#endif
  return false;
}
inline void* malloc_block(std::size_t bytes) noexcept {
  return allocation_fails() ? nullptr : std::malloc(bytes);
}
inline void* calloc_block(std::size_t bytes) noexcept {
  return allocation_fails() ? nullptr : std::calloc(1, bytes);
}
inline void* realloc_block(void* block, std::size_t bytes) noexcept {
  return allocation_fails() ? nullptr : std::realloc(block, bytes);
}

// An array of `count` uninitialised T, or std::bad_alloc. Not `new T[count]`:
// its check of the length's overflow calls into a C++ runtime newer than the
// wheel's manylinux2014 tag allows (__cxa_throw_bad_array_new_length).
struct FreeArray {
  void operator()(void* block) const noexcept { std::free(block); }
};
template <class T>
using RawArray = std::unique_ptr<T[], FreeArray>;
template <class T>
RawArray<T> raw_array(std::size_t count) {
  static_assert(std::is_trivially_default_constructible_v<T> &&
                std::is_trivially_destructible_v<T>);
  if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
  void* block = malloc_block(count == 0 ? 1 : count * sizeof(T));
  if (block == nullptr) throw std::bad_alloc();
  return RawArray<T>(static_cast<T*>(block));
}

}  // namespace kovra
