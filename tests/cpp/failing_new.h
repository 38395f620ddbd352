// operator new replaced for the tests that fail allocations one at a time and
// count them (failing_new.cpp). In test builds the core's own blocks that
// bypass operator new (raw_blocks.h) count down the same variable.
#pragma once

#include <cstddef>

#include "diff/raw_blocks.h"

namespace kovra::testing {

#ifdef KOVRA_TEST_HOOKS
using kovra::allocations_left;
#else
// The allocation that finds this at 0 fails; negative never fails.
extern long allocations_left;
#endif
// Blocks taken through operator new so far, for tests that bound how often a
// table is reallocated.
extern std::size_t allocations_made;

}  // namespace kovra::testing
