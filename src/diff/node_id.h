// The 16-byte node identifier and the fixed-key hash that every table in the
// core uses, so that iteration order is the same in every process.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

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

// Folds a 128-bit product: ids that differ in a single byte land far apart,
// and no seed is involved, so table order is reproducible across runs.
inline std::uint64_t mix64(std::uint64_t a, std::uint64_t b) noexcept {
  __extension__ using U128 = unsigned __int128;
  U128 product = static_cast<U128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

struct NodeIdHash {
  // Boost's tables skip their own post-mixing when the hash says it avalanches.
  using is_avalanching = std::true_type;
  std::size_t operator()(const NodeId& id) const noexcept {
    return mix64(id.low() ^ 0x9e3779b97f4a7c15ULL, id.high() ^ 0xd6e8feb86659fd93ULL);
  }
};

}  // namespace kovra
