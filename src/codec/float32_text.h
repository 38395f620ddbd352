// Binary32 numbers in node record texts: the shortest round-trip digits in the
// document's fixed layout, and the reader's fixed decimal-to-binary procedure.
// Each way has a fast path and its general twin: float32_decimal_fast beside
// float32_decimal_general, read_json_float32_one_pass beside read_json_float32.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kovra {

// Room for the longest text of a size, 16 characters (a negative value below
// 0.00001 with eight digits; `make sweep` writes every binary32), and one spare.
inline constexpr std::size_t kFloat32TextMax = 17;

// The shortest round-trip decimal of a finite magnitude: `significand`, which has
// `digits` digits and no trailing zero, times 10^(exponent - digits + 1). Zero is the
// decimal with no digits.
struct Float32Decimal {
  std::uint32_t significand = 0;
  int digits = 0;
  int exponent = 0;
  friend bool operator==(const Float32Decimal&, const Float32Decimal&) = default;
};

// The cheap way to the shortest decimal, in exact integer arithmetic; it answers for
// magnitudes from 2^-14 up to 2^24, except the few whose candidates lie on a
// rounding boundary or tie. Returns false when it does not decide. Its general
// twin is float32_decimal_general: fast_path_agrees_with_to_chars
// (tests/cpp/float32_text_test.cpp) and tools/sweep_float32.cpp, over every
// binary32 value, hold the two together.
bool float32_decimal_fast(float magnitude, Float32Decimal& decimal) noexcept;

// The shortest decimal of any finite nonzero magnitude, through std::to_chars.
Float32Decimal float32_decimal_general(float magnitude) noexcept;

// Zero, else the fast path where it answers, else the general one.
Float32Decimal float32_decimal(float magnitude) noexcept;

// Lays out a decimal in the document's fixed number form (room for kFloat32TextMax
// chars); returns the length.
std::size_t float32_decimal_to_text(bool negative, const Float32Decimal& decimal,
                                    char* out) noexcept;

// What float32_decimal_to_text returns, without writing anything.
std::size_t float32_decimal_text_length(bool negative, const Float32Decimal& decimal) noexcept;

// Test-only, for the tests and the sweep tool: the record writer measures a size once
// and keeps its decimal (see RecordSketch).
// The text of a finite `value` (room for kFloat32TextMax chars); returns its length.
inline std::size_t float32_to_text(float value, char* out) noexcept {
  return float32_decimal_to_text(std::signbit(value), float32_decimal(std::fabs(value)), out);
}
// What float32_to_text(value, ...) returns, without writing anything.
inline std::size_t float32_text_length(float value) noexcept {
  return float32_decimal_text_length(std::signbit(value), float32_decimal(std::fabs(value)));
}

// The reader's value of the JSON number at [p, end): a fixed procedure, not a
// correctly rounded conversion, defined here in two steps (the grammar, then the
// value). Returns the first byte after the number, or nullptr if no number starts
// at p, and then leaves `value` alone; what follows the number is the caller's
// business. `value` is nullopt where the procedure refuses (an exponent too large
// for a nonzero significand).
const char* read_json_float32(const char* p, const char* end, std::optional<float>& value) noexcept;

// read_json_float32 in a single pass, for the short numbers that records hold:
// the one the record parsers call. It falls back on read_json_float32, its
// general twin, past 19 digits or at an exponent; number_parse_in_one_pass_matches_two_steps
// and every number read in tests/cpp/float32_text_test.cpp, and
// tools/sweep_float32.cpp over every binary32 text, hold the two together.
const char* read_json_float32_one_pass(const char* p, const char* end,
                                       std::optional<float>& value) noexcept;

}  // namespace kovra
