// A count of the work that the core's lookup structures do: bucket probes in the
// hash tables and key comparisons in their ordered fallback. Tests bound it on
// crafted ids instead of timing anything. Only builds that define
// KOVRA_TEST_HOOKS keep the count; in every other build the macro is empty.
#pragma once

#include <cstdint>

namespace kovra {

#ifdef KOVRA_TEST_HOOKS
inline std::uint64_t probe_count = 0;
#define KOVRA_COUNT_PROBE() (++::kovra::probe_count)
#else
#define KOVRA_COUNT_PROBE() ((void)0)
#endif

}  // namespace kovra
