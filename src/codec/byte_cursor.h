// The primitives of the document's outer layer: little-endian counts and lengths,
// length-prefixed node ids and texts, binary32 weights; a reading cursor that
// checks the remaining length before every read, and the matching writers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "diff/node_id.h"

namespace kovra {

// The sizes of the document's fields, and so of its entries besides their
// texts and inner entries: the writer measures with them, and the reader bounds
// by them how many entries the rest of an input can hold.
inline constexpr std::size_t kCountSize = 8;  // a count, or a length
inline constexpr std::size_t kIdFieldSize = kCountSize + 16;
inline constexpr std::size_t kWeightSize = 4;
inline constexpr std::size_t kNodeEntryFixed =
    kIdFieldSize + kCountSize;                                         // the id, the text's length
inline constexpr std::size_t kGroupFixed = kIdFieldSize + kCountSize;  // `from`, the target count
inline constexpr std::size_t kEdgeEntry = kIdFieldSize + kWeightSize;
inline constexpr std::size_t kDeletedEdgeEntry = kIdFieldSize;
inline constexpr std::size_t kSectionCounts = 4 * kCountSize;

inline std::uint64_t from_little_endian(std::uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline std::uint32_t from_little_endian(std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

class ByteCursor {
 public:
  explicit ByteCursor(std::string_view data) noexcept : p_(data.data()), remaining_(data.size()) {}

  std::size_t remaining() const noexcept { return remaining_; }

  [[nodiscard]] bool read_u64(std::uint64_t& value) noexcept {
    if (remaining_ < kCountSize) return false;
    value = load_u64(p_);
    advance(kCountSize);
    return true;
  }

  // A length that must be exactly 16, then the id's bytes.
  [[nodiscard]] bool read_id(NodeId& id) noexcept {
    if (remaining_ < kIdFieldSize || !is_id_length(p_)) return false;
    id = NodeId::from_bytes(p_ + 8);
    advance(kIdFieldSize);
    return true;
  }

  // Passes over `count` entries of `entry` bytes that each begin with an id, checking
  // what reading them would check: that they fit, and each id's length.
  [[nodiscard]] bool skip_id_entries(std::uint64_t count, std::size_t entry) noexcept {
    if (count > remaining_ / entry) return false;
    const auto n = static_cast<std::size_t>(count);
    for (std::size_t i = 0; i < n; ++i) {
      if (!is_id_length(p_ + i * entry)) return false;
    }
    advance(n * entry);
    return true;
  }

  // A length, checked against the remaining input, then that many bytes, viewed in place.
  [[nodiscard]] bool read_text(std::string_view& text) noexcept {
    if (remaining_ < kCountSize) return false;
    const std::uint64_t length = load_u64(p_);
    if (length > remaining_ - kCountSize) return false;
    text = std::string_view(p_ + kCountSize, static_cast<std::size_t>(length));
    advance(kCountSize + static_cast<std::size_t>(length));
    return true;
  }

  [[nodiscard]] bool read_f32(float& value) noexcept {
    if (remaining_ < kWeightSize) return false;
    std::uint32_t bits;
    std::memcpy(&bits, p_, kWeightSize);
    bits = from_little_endian(bits);
    std::memcpy(&value, &bits, kWeightSize);
    advance(kWeightSize);
    return true;
  }

 private:
  static std::uint64_t load_u64(const char* p) noexcept {
    std::uint64_t value;
    std::memcpy(&value, p, 8);
    return from_little_endian(value);
  }
  static bool is_id_length(const char* p) noexcept { return load_u64(p) == 16; }
  void advance(std::size_t n) noexcept {
    p_ += n;
    remaining_ -= n;
  }

  const char* p_;
  std::size_t remaining_;
};

inline char* put_u64(char* out, std::uint64_t value) noexcept {
  value = from_little_endian(value);  // the swap is its own inverse
  std::memcpy(out, &value, 8);
  return out + 8;
}

inline char* put_id(char* out, const NodeId& id) noexcept {
  out = put_u64(out, 16);
  std::memcpy(out, id.bytes.data(), 16);
  return out + 16;
}

inline char* put_f32(char* out, float value) noexcept {
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  bits = from_little_endian(bits);
  std::memcpy(out, &bits, 4);
  return out + 4;
}

}  // namespace kovra
