// The core's blocks that do not come from operator new: the hash indexes'
// buckets (calloc, so that a large table comes as fresh zero pages) and list
// blocks past the arena's classes (malloc and realloc, so that a long list
// grows in place). They come through here so that test builds can make any
// allocation fail, these as well as operator new's, from one count.
#pragma once

#include <cstddef>
#include <cstdlib>

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

}  // namespace kovra
