// Binary32 numbers in node record texts: the shortest round-trip digits in the
// document's fixed layout, and the reader's fixed decimal-to-binary procedure.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kovra {

// Longest text float32_to_text writes: a negative value below 0.00001 with nine digits.
inline constexpr std::size_t kFloat32TextMax = 17;

// Writes the text of a finite `value` (room for kFloat32TextMax chars); returns its length.
std::size_t float32_to_text(float value, char* out) noexcept;

// A JSON number split into its parts by scan_json_number; the views point into the text.
struct JsonNumber {
  bool negative = false;
  bool has_fraction = false;
  bool has_exponent = false;
  bool exponent_negative = false;
  std::string_view integer;   // digits of the integer part
  std::string_view fraction;  // digits after the point
  std::string_view exponent;  // digits after e or E and the optional sign
};

// Checks the JSON number grammar at [p, end) and returns the first byte after the
// number, or nullptr if no number starts at p. What follows is the caller's business.
const char* scan_json_number(const char* p, const char* end, JsonNumber& number) noexcept;

// The reader's value of a number: a fixed procedure, not a correctly rounded
// conversion. nullopt where the procedure refuses (an exponent too large for a
// nonzero significand).
std::optional<float> json_number_to_float32(const JsonNumber& number) noexcept;

}  // namespace kovra
