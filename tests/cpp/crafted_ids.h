// Ids crafted against the tables' hash keys, for the C++ tests that need
// collisions: the keys fixed to the public schedule, and ids computed against it.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.h"
#include "diff/node_id.h"

#ifndef KOVRA_TEST_HOOKS
#error "crafted ids need a core built with KOVRA_TEST_HOOKS"
#endif

namespace kovra::testing {

inline NodeId id_of(std::uint64_t low, std::uint64_t high) {
  NodeId id;
  std::memcpy(id.bytes.data(), &low, 8);
  std::memcpy(id.bytes.data() + 8, &high, 8);
  return id;
}

// Tables made while one lives start from key_schedule(0) and re-key along the
// schedule, as an attacker who knew the keys would have them.
struct FixedKeys {
  FixedKeys() noexcept { fix_hash_keys(true); }
  ~FixedKeys() { fix_hash_keys(false); }
  FixedKeys(const FixedKeys&) = delete;
  FixedKeys& operator=(const FixedKeys&) = delete;
};

// `per_key` ids for each of the first `keys` keys of the schedule, each group
// with one and the same full hash under its key: the low half cancels its key
// word, which zeroes the product whatever the high half. Computed, not searched for.
inline std::vector<NodeId> fully_colliding_ids(std::size_t per_key, unsigned keys) {
  std::mt19937_64 rng(19);
  std::vector<NodeId> ids;
  for (unsigned k = 0; k < keys; ++k) {
    const HashKey key = key_schedule(k);
    for (std::size_t i = 0; i < per_key; ++i) {
      const NodeId id = id_of(key.k0, rng());
      CHECK_EQ(hash_id(id, key), std::uint64_t{0});
      ids.push_back(id);
    }
  }
  return ids;
}

}  // namespace kovra::testing
