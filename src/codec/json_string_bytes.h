// The bytes of JSON strings that the record writer and both record parsers test:
// which bytes end a plain run of a string (a quote, a backslash, a control byte),
// found a word or sixteen bytes at a time, and constant keys compared as words.
// Every block test here has a byte-at-a-time twin in kEscapeGrowth, which
// find_special finishes with and the writer escapes by; the escape rows of
// tests/cpp/node_record_json_test.cpp (strings_with_a_special_byte_anywhere puts
// each special byte at every position of every block) and the record fuzzer hold
// them together.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kovra::json_bytes {

// Bytes a string member grows by when a byte is escaped: one for the two-character
// escapes, five for \u00xx, zero for bytes copied as they are.
inline constexpr std::array<std::uint8_t, 256> kEscapeGrowth = [] {
  std::array<std::uint8_t, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 5;
  for (const char c : {'\b', '\t', '\n', '\f', '\r', '"', '\\'}) {
    table[static_cast<unsigned char>(c)] = 1;
  }
  return table;
}();

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080u;

inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

inline std::uint32_t load4(const char* p) noexcept {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

// Nonzero when any of the eight bytes of `word` is a control byte, a quote or a
// backslash: the bytes that end a plain run inside a JSON string. The lowest set
// bit marks the first such byte in memory order (on little-endian machines); bits
// above it may be false alarms.
inline std::uint64_t has_special_byte(std::uint64_t word) noexcept {
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  return ((word - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~word & ~quote &
         ~backslash & kHighBits;
}

#if defined(__SSE2__)
// Bit i is set when byte i of `bytes` needs an escape.
inline unsigned special_mask(__m128i bytes) noexcept {
  const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
  // SSE2 has no unsigned byte compare: a byte is at most 0x1F exactly when the unsigned
  // minimum of it and 0x1F is the byte itself.
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1f)), bytes);
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}

inline __m128i load16(const char* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

#endif

// The first byte from `p` on that ends a plain run of a string (a quote, a
// backslash or a control byte), or `end`. `high` becomes nonzero if a byte of the
// run has its top bit set, and may as a false alarm for some bytes just after it.
[[gnu::always_inline]] inline const char* find_special(const char* p, const char* const end,
                                                       unsigned& high) noexcept {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    const __m128i bytes = load16(p);
    high |= static_cast<unsigned>(_mm_movemask_epi8(bytes));
    const unsigned mask = special_mask(bytes);
    if (mask != 0) return p + std::countr_zero(mask);
  }
#endif
  for (; end - p >= 8; p += 8) {
    const std::uint64_t word = load8(p);
    high |= (word & kHighBits) != 0 ? 1u : 0u;
    const std::uint64_t found = has_special_byte(word);
    if (found == 0) continue;
    if constexpr (std::endian::native == std::endian::little) {
      return p + std::countr_zero(found) / 8;
    }
    break;
  }
  for (; p != end && kEscapeGrowth[static_cast<unsigned char>(*p)] == 0; ++p) {
    high |= static_cast<unsigned char>(*p) & 0x80u;
  }
  return p;
}

// Whether the `size` bytes at `p` are those of `kText`: whole words compared with
// constants (overlapping at the end), since the compiler expands memcmp inline
// only for string literals.
template <std::size_t kSize>
inline bool same_bytes(const char* p, const char* text) noexcept {
  static_assert(kSize >= 4);
  if constexpr (std::endian::native != std::endian::little) {
    return std::memcmp(p, text, kSize) == 0;
  } else if constexpr (kSize >= 8) {
    bool same = load8(p + kSize - 8) == load8(text + kSize - 8);
    for (std::size_t i = 0; i + 8 < kSize; i += 8) same &= load8(p + i) == load8(text + i);
    return same;
  } else {
    return load4(p) == load4(text) && load4(p + kSize - 4) == load4(text + kSize - 4);
  }
}

}  // namespace kovra::json_bytes
