#include "failing_new.h"

#include <cstdlib>
#include <new>

namespace kovra::testing {

#ifndef KOVRA_TEST_HOOKS
long allocations_left = -1;
#endif
std::size_t allocations_made = 0;

}  // namespace kovra::testing

void* operator new(std::size_t size) {
  using kovra::testing::allocations_left;
  ++kovra::testing::allocations_made;
  if (allocations_left == 0) throw std::bad_alloc();
  if (allocations_left > 0) --allocations_left;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The replacement new above takes its blocks from malloc, so free is the match;
// GCC cannot see that once it inlines a container's new next to this delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
