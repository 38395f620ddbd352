// The partition of node ids among shards. It is part of the document format's
// contract (docs/format.md gives it for other languages), so it must give the same
// shard in every process, on every machine and in every release: it uses fixed
// constants of its own and nothing of the tables' hashing.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/byte_cursor.h"
#include "diff/node_id.h"

namespace kovra {

// The splitmix64 finalizer: a bijection whose every input bit reaches every
// output bit, so the fixed version and variant bits of random UUIDs cost nothing.
inline constexpr std::uint64_t shard_mix(std::uint64_t x) noexcept {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// mix(low ^ mix(high)) of the id's two little-endian halves, then the high 64 bits
// of its product with `shards`: every shard gets 2^64 / shards hash values, give or
// take one, where a remainder would favour the low shards. `shards` is at least 1.
inline std::uint64_t shard_of(const NodeId& id, std::uint64_t shards) noexcept {
  std::uint64_t low;
  std::uint64_t high;
  std::memcpy(&low, id.bytes.data(), 8);
  std::memcpy(&high, id.bytes.data() + 8, 8);
  const std::uint64_t hash =
      shard_mix(from_little_endian(low) ^ shard_mix(from_little_endian(high)));
  return static_cast<std::uint64_t>((static_cast<__uint128_t>(hash) * shards) >> 64);
}

}  // namespace kovra
