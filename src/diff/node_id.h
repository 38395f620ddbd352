// The 16-byte node identifier and the secret-keyed hash that every table in the
// core uses.
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

// What interning gives an id: the position of its slot in the edge store.
using NodeNumber = std::uint32_t;
// No number, position or group: what every lookup of the core returns for
// "absent", and what a field holds that names nothing.
inline constexpr std::uint32_t kNone = 0xffffffffu;

// Writes the 36-character lowercase hyphenated text of `id` into `out`.
void node_id_to_text(const NodeId& id, char* out) noexcept;

// The keyed hash behind every table in the core. Keys are secret: the first one
// is drawn from the operating system once per process, and every re-key of a
// table draws a fresh one (see bounded_index.h). Iteration order never depends
// on hash values (tables list their dense entry arrays), so views and documents
// are the same in every process for the same history, whatever the keys.
struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
  friend bool operator==(const HashKey&, const HashKey&) = default;
};

// The key every table starts with: drawn once per process, at first use.
HashKey initial_hash_key() noexcept;
// A key no table of this process has had, for a table that re-keys.
HashKey fresh_hash_key() noexcept;

#ifdef KOVRA_TEST_HOOKS
// Test builds only: while fixed, tables start with key_schedule(0) and re-keys
// take key_schedule(1), key_schedule(2) ... in turn, so that tests can craft ids
// against known keys. fix_hash_keys(false) returns to secret keys.
void fix_hash_keys(bool fixed) noexcept;
#endif

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

// Key number `n` of a splitmix64 stream from a fixed origin: the public schedule
// that tables once used, kept for tests (see fix_hash_keys) and as the mixer of
// the fallback when the system has no random source.
inline HashKey key_schedule(std::uint64_t n) noexcept {
  const std::uint64_t base = 0x6a09e667f3bcc909ULL + 2 * n * 0x9e3779b97f4a7c15ULL;
  return HashKey{fmix64(base) | 1, fmix64(base + 0x9e3779b97f4a7c15ULL)};
}

// One multiply, folded: the 128-bit product of the two halves, each xored with
// its word of the key, with its high and low words xored together. Every bit of
// either half reaches the high bits of the product, which give the home bucket
// and the tag. It costs a tenth of two finalizer rounds, and what it gives up
// needs the key: a half equal to its key word zeroes the product whatever the
// other half, so ids that collide are as easy to compute as under any hash of
// this speed for whoever knows the key, and as hard as guessing it for anyone
// else. The bound does not rest on the hash: ids that collide under a table's
// key, found or computed, make it re-key and at worst turn into a tree
// (bounded_index.h).
__extension__ typedef unsigned __int128 HashProduct;
[[gnu::always_inline]] inline std::uint64_t hash_id(const NodeId& id, HashKey key) noexcept {
  const HashProduct product = static_cast<HashProduct>(id.low() ^ key.k0) * (id.high() ^ key.k1);
  return static_cast<std::uint64_t>(product >> 64) ^ static_cast<std::uint64_t>(product);
}

// For interned numbers: a bijection of the index under the key.
inline std::uint64_t hash_number(std::uint32_t number, HashKey key) noexcept {
  return fmix64(number ^ key.k0);
}

}  // namespace kovra
