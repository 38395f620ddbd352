// The edge store's fast paths, counted each time one runs, and the size
// thresholds that choose them, which tests lower so that small histories reach
// both sides. Only builds that define KOVRA_TEST_HOOKS keep the counts and let
// the thresholds move; in every other build the macro is empty and the
// thresholds are constants. tests/cpp/twins_test.cpp holds each fast path to
// its general twin and asserts by these counts that the fast path ran.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovra {

enum class FastPath : std::uint8_t {
  kLogInCache,    // the pending log applied in one pass, the id index in cache
  kLogAhead,      // the same working ahead, the index past the cache
  kPassRekeyed,   // an id hashed ahead, found afresh after a re-key (the interning pass)
  kSortedBatch,   // add_edges past the log's room, sorted by `from` node
  kBatchUndone,   // that batch taken back after a failed allocation
  kDeletedBatch,  // delete_edges past the log's room
  kCount,
};

// The id index's buckets that fit a core's own cache (256 KiB of them on most
// machines): while the index has no more, a lookup costs its instructions, and
// working ahead costs more than it hides.
inline constexpr std::size_t kCachedBuckets = 4096;

#ifdef KOVRA_TEST_HOOKS
inline std::uint64_t fast_path_runs[static_cast<std::size_t>(FastPath::kCount)] = {};
#define KOVRA_COUNT_FAST_PATH(path) \
  (++::kovra::fast_path_runs[static_cast<std::size_t>(::kovra::FastPath::path)])
// Test builds: the threshold in use, which a test or fuzzer may lower.
inline std::size_t cached_buckets = kCachedBuckets;
#else
#define KOVRA_COUNT_FAST_PATH(path) ((void)0)
inline constexpr std::size_t cached_buckets = kCachedBuckets;
#endif

}  // namespace kovra
