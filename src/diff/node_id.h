// The 16-byte node identifier and the fixed-key hash that every table in the
// core uses, so that iteration order is the same in every process.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace kovra {

struct NodeId {
  std::array<std::uint8_t, 16> bytes{};

  static NodeId from_bytes(const void* data) noexcept {
    NodeId id;
    std::memcpy(id.bytes.data(), data, 16);
    return id;
  }
  std::uint64_t low() const noexcept {
    std::uint64_t v;
    std::memcpy(&v, bytes.data(), 8);
    return v;
  }
  std::uint64_t high() const noexcept {
    std::uint64_t v;
    std::memcpy(&v, bytes.data() + 8, 8);
    return v;
  }
  friend bool operator==(const NodeId& a, const NodeId& b) noexcept {
    return a.low() == b.low() && a.high() == b.high();
  }
};

// Writes the 36-character lowercase hyphenated text of `id` into `out`.
void node_id_to_text(const NodeId& id, char* out) noexcept;

// The keyed hash behind every table in the core. Keys come from a fixed schedule
// (no per-process seed), so the same history gives the same tables in every run;
// a table moves to the next key of the schedule only when its own history says
// so (see bounded_index.h).
struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

// The murmur3 64-bit finalizer: a bijection in which every input bit flips each
// output bit with probability close to 1/2.
inline std::uint64_t fmix64(std::uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Key number `n` of the schedule: a splitmix64 stream from a fixed origin.
inline HashKey hash_key(unsigned n) noexcept {
  const std::uint64_t base = 0x6a09e667f3bcc909ULL + 2 * std::uint64_t{n} * 0x9e3779b97f4a7c15ULL;
  return HashKey{fmix64(base) | 1, fmix64(base + 0x9e3779b97f4a7c15ULL)};
}

// Two finalizer rounds chained through the key: for a fixed value of either half
// the map from the other half to the hash is a bijection, so no value of one half
// collapses the other (a product of the two halves is zero whenever one factor
// is), and every one of the 128 bits reaches every output bit.
[[gnu::always_inline]] inline std::uint64_t hash_id(const NodeId& id, HashKey key) noexcept {
  return fmix64(id.low() ^ key.k1 ^ fmix64(id.high() ^ key.k0));
}

// For interned indexes: a bijection of the index under the key.
inline std::uint64_t hash_index(std::uint32_t index, HashKey key) noexcept {
  return fmix64(index ^ key.k0);
}

}  // namespace kovra
