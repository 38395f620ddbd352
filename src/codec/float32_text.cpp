#include "codec/float32_text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/decimal_digits.h"

namespace kovra {

namespace {

// P[k] is the binary64 value nearest to 10^k: the compiler converts each decimal
// literal with correct rounding, which repeated multiplication would not give past 1e22.
constexpr double kPowersOfTen[309] = {
    1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,
    1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,
    1e26,  1e27,  1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,
    1e39,  1e40,  1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,  1e48,  1e49,  1e50,  1e51,
    1e52,  1e53,  1e54,  1e55,  1e56,  1e57,  1e58,  1e59,  1e60,  1e61,  1e62,  1e63,  1e64,
    1e65,  1e66,  1e67,  1e68,  1e69,  1e70,  1e71,  1e72,  1e73,  1e74,  1e75,  1e76,  1e77,
    1e78,  1e79,  1e80,  1e81,  1e82,  1e83,  1e84,  1e85,  1e86,  1e87,  1e88,  1e89,  1e90,
    1e91,  1e92,  1e93,  1e94,  1e95,  1e96,  1e97,  1e98,  1e99,  1e100, 1e101, 1e102, 1e103,
    1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116,
    1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142,
    1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155,
    1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168,
    1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181,
    1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194,
    1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207,
    1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220,
    1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233,
    1e234, 1e235, 1e236, 1e237, 1e238, 1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246,
    1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272,
    1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285,
    1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298,
    1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,

};

// 10^k as integers, for the fast path's exact scaling.
constexpr std::uint64_t kPowersOfTenInt[] = {
    1,        10,        100,        1000,        10000,        100000,       1000000,
    10000000, 100000000, 1000000000, 10000000000, 100000000000, 1000000000000};

// 5^k while it stays below 2^24, for the exact short decimals.
constexpr std::uint64_t kPowersOfFive[] = {1,     5,     25,     125,     625,    3125,
                                           15625, 78125, 390625, 1953125, 9765625};
constexpr int kFiveCount = 11;

constexpr int kMaxDigits = 9;  // shortest round-trip binary32 digits never exceed nine

// The fast path scales by 10^k in 64-bit integers: 2^24 * 10^12 still fits.
constexpr int kFastMaxScale = 12;

char* write_zeros(char* out, int count) noexcept {
  std::memset(out, '0', static_cast<std::size_t>(count));
  return out + count;
}

char* write_exponent(char* out, int exponent) noexcept {
  *out++ = 'e';
  if (exponent < 0) {
    *out++ = '-';
    exponent = -exponent;
  }
  if (exponent >= 10) *out++ = static_cast<char>('0' + exponent / 10);
  *out++ = static_cast<char>('0' + exponent % 10);
  return out;
}

// The document format fixes where plain digits give way to the exponent form, so that
// every writer produces the same bytes: by the position of the decimal point after the
// first digit, plain up to 13 places to the right and 5 to the left.
constexpr int kLastPlainPoint = 13;
constexpr int kFirstPlainPoint = -5;

enum class Layout {
  kWhole,         // the digits, zeros up to the point, ".0"
  kSplit,         // digits, the point, more digits
  kLeadingZeros,  // "0.", zeros, the digits
  kExponent,      // one digit, the point and the others if any, the exponent
};

Layout layout_of(const Float32Decimal& decimal) noexcept {
  const int point = decimal.exponent + 1;
  if (point > kLastPlainPoint || point < kFirstPlainPoint) return Layout::kExponent;
  if (point >= decimal.digits) return Layout::kWhole;
  return point > 0 ? Layout::kSplit : Layout::kLeadingZeros;
}

// Writes the last `count` decimal digits of `value` so that they end at `end`.
void write_digits_before(char* end, std::uint32_t value, int count) noexcept {
  for (; count >= 2; count -= 2) {
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * (value % 100), 2);
    value /= 100;
  }
  if (count != 0) end[-1] = static_cast<char>('0' + value % 10);
}

bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

const char* skip_digits(const char* p, const char* end) noexcept {
  while (p != end && is_digit(*p)) ++p;
  return p;
}

// Digits of n, but at most kMaxDigits + 1: anything longer is refused anyway.
int digit_count(std::uint64_t n) noexcept {
  int count = 1;
  for (; count <= kMaxDigits && n >= kPowersOfTenInt[count]; ++count) {
  }
  return count;
}

// The last step of the reader's procedure for a number `places` (1 to 308) digits
// of whose significand stand after the point: the one most records' sizes take.
[[gnu::always_inline]] inline float scaled_down(bool negative, std::uint64_t significand,
                                                int places) noexcept {
  double value = static_cast<double>(significand) / kPowersOfTen[places];
  if (negative) value = -value;
  return static_cast<float>(value);
}

// The end of the reader's procedure, once the digits are in `significand` and the
// point and exponent in `decimal_exponent` (within the limits of a 32-bit integer).
// `integer`: the text had no fraction, no exponent and no dropped digit.
[[gnu::always_inline]] inline std::optional<float> finish_number(
    bool negative, bool integer, std::uint64_t significand,
    std::int64_t decimal_exponent) noexcept {
  if (integer) {
    if (!negative) return static_cast<float>(significand);
    // Round-to-nearest-even is symmetric, so negating the rounded magnitude equals
    // rounding the signed 64-bit value. The text -0 is left to the general path.
    if (significand != 0 && significand <= (std::uint64_t{1} << 63)) {
      return -static_cast<float>(significand);
    }
  }

  if (decimal_exponent < 0 && decimal_exponent >= -308) {
    return scaled_down(negative, significand, static_cast<int>(-decimal_exponent));
  }
  const float signed_zero = negative ? -0.0f : 0.0f;
  double value = static_cast<double>(significand);
  while (decimal_exponent > 308 || decimal_exponent < -308) {
    if (value == 0.0) return signed_zero;
    if (decimal_exponent > 0) return std::nullopt;
    value /= 1e308;
    decimal_exponent += 308;
  }
  if (decimal_exponent >= 0) {
    value *= kPowersOfTen[decimal_exponent];
    if (std::isinf(value)) return std::nullopt;
  } else {
    value /= kPowersOfTen[-decimal_exponent];
  }
  if (negative) value = -value;
  return static_cast<float>(value);
}

}  // namespace

std::size_t float32_decimal_text_length(bool negative, const Float32Decimal& decimal) noexcept {
  const int n = decimal.digits;
  const int point = decimal.exponent + 1;
  int length = 0;
  switch (layout_of(decimal)) {
    case Layout::kWhole:
      length = point + 2;
      break;
    case Layout::kSplit:
      length = n + 1;
      break;
    case Layout::kLeadingZeros:
      length = 2 - point + n;
      break;
    case Layout::kExponent: {
      const int magnitude = decimal.exponent < 0 ? -decimal.exponent : decimal.exponent;
      length = n + (n > 1 ? 1 : 0) + 1 + (decimal.exponent < 0 ? 1 : 0) + (magnitude >= 10 ? 2 : 1);
      break;
    }
  }
  return static_cast<std::size_t>(length) + (negative ? 1 : 0);
}

Float32Decimal float32_decimal(float magnitude) noexcept {
  // Zero has no digits: laid out whole, it is the "0.0" of the format.
  if (magnitude == 0.0f) return Float32Decimal{};
  Float32Decimal decimal;
  if (!float32_decimal_fast(magnitude, decimal)) decimal = float32_decimal_general(magnitude);
  return decimal;
}

bool float32_decimal_fast(float magnitude, Float32Decimal& decimal) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(magnitude);
  const int binary_exponent = static_cast<int>(bits >> 23) - 127;  // magnitude in [2^e, 2^(e+1))
  // From 2^24 up the neighbours are 2 or more apart, so shorter texts may round
  // here; below 2^-14 nine digits would need more than kFastMaxScale places.
  if (binary_exponent < -14 || binary_exponent >= 24) return false;
  const std::uint64_t significand24 = (bits & 0x7fffffu) | 0x800000u;
  const int shift = 23 - binary_exponent;  // magnitude = significand24 / 2^shift
  // A value with f binary places is exactly a decimal with f places, m * 10^-f. When
  // m < 2^24, half the gap to a neighbour is below 10^-f while any decimal with fewer
  // digits lies at least 10^-f away, so m's digits are the shortest: integers and
  // halves, quarters, eighths of moderate size are answered here at once.
  const int trailing_zeros = std::countr_zero(significand24);
  const int places = shift - trailing_zeros;
  std::uint64_t significand;
  int exponent;
  if (places <= 0) {
    significand = significand24 >> shift;
    exponent = 0;
  } else if (places < kFiveCount &&
             (significand24 >> trailing_zeros) * kPowersOfFive[places] < (1u << 24)) {
    significand = (significand24 >> trailing_zeros) * kPowersOfFive[places];
    exponent = -places;
  } else {
    // magnitude * 10^scale = N / 2^shift with N an exact 64-bit integer
    // (2^24 * 10^12 < 2^64). Distances are counted in units of 2^-shift on the grid
    // of 10^-scale; the neighbours lie 10^scale / 2 such units away, and the one
    // below only half that at a power of two.
    const std::uint64_t one = std::uint64_t{1} << shift;
    const int below_doubling = (bits & 0x7fffffu) == 0 ? 2 : 1;
    // Grids coarser than 10^(E+1), E = floor(log10(magnitude)), hold no candidate;
    // 1233/4096 is just below log10(2), so for negative e+1 this bounds E from above.
    int scale = 0;
    if (binary_exponent < 0) scale = std::max(0, -(((binary_exponent + 1) * 1233) >> 12) - 1);
    // On each finer grid the nearest points below and above are the only candidates
    // worth a look; the first grid with one inside the rounding interval gives the
    // fewest digits, and the closer of the two is what to_chars picks. Boundaries
    // and ties are left to the general path rather than reasoned about.
    for (;; ++scale) {
      if (scale > kFastMaxScale) return false;
      const std::uint64_t power = kPowersOfTenInt[scale];
      const std::uint64_t scaled = significand24 * power;
      const std::uint64_t below = scaled & (one - 1);
      const std::uint64_t above = one - below;
      const std::uint64_t below_span = below << below_doubling;
      const std::uint64_t above_span = above << 1;
      if (below_span == power || above_span == power) return false;
      const bool below_inside = below_span < power;
      const bool above_inside = above_span < power;
      if (!below_inside && !above_inside) continue;
      if (below_inside && above_inside && below == above) return false;
      const std::uint64_t floor = scaled >> shift;
      significand = below_inside && (!above_inside || below < above) ? floor : floor + 1;
      exponent = -scale;
      break;
    }
    if (significand == 0) return false;
  }
  while (significand % 10 == 0) {
    significand /= 10;
    ++exponent;
  }
  const int digits = digit_count(significand);
  if (digits > kMaxDigits) return false;
  decimal.significand = static_cast<std::uint32_t>(significand);
  decimal.digits = digits;
  decimal.exponent = exponent + digits - 1;
  return true;
}

Float32Decimal float32_decimal_general(float magnitude) noexcept {
  // The scientific form gives the shortest round-trip digits of the binary32 value
  // itself; the default form would spell out every integer digit of large values.
  char sci[32];
  const auto result =
      std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
  const char* s = sci;
  Float32Decimal decimal;
  decimal.significand = static_cast<std::uint32_t>(*s++ - '0');
  decimal.digits = 1;
  if (*s == '.') {
    for (++s; *s != 'e'; ++s) {
      decimal.significand = decimal.significand * 10 + static_cast<std::uint32_t>(*s - '0');
      ++decimal.digits;
    }
  }
  ++s;  // 'e'
  const bool exponent_negative = *s++ == '-';
  int exponent = 0;
  for (; s != result.ptr; ++s) exponent = exponent * 10 + (*s - '0');
  decimal.exponent = exponent_negative ? -exponent : exponent;
  return decimal;
}

std::size_t float32_decimal_to_text(bool negative, const Float32Decimal& decimal,
                                    char* out) noexcept {
  const int n = decimal.digits;
  char* o = out;
  if (negative) *o++ = '-';
  const int point = decimal.exponent + 1;  // the decimal point's position after the first digit
  switch (layout_of(decimal)) {
    case Layout::kWhole:
      write_digits_before(o + n, decimal.significand, n);
      o = write_zeros(o + n, point - n);
      std::memcpy(o, ".0", 2);
      o += 2;
      break;
    case Layout::kSplit: {
      // The digits before the point, the point, the rest: one backward run split in two.
      const auto scale = static_cast<std::uint32_t>(kPowersOfTenInt[n - point]);
      write_digits_before(o + n + 1, decimal.significand % scale, n - point);
      o[point] = '.';
      write_digits_before(o + point, decimal.significand / scale, point);
      o += n + 1;
      break;
    }
    case Layout::kLeadingZeros:
      std::memcpy(o, "0.", 2);
      o = write_zeros(o + 2, -point);
      write_digits_before(o + n, decimal.significand, n);
      o += n;
      break;
    case Layout::kExponent: {
      char* const first = o;
      std::uint32_t rest = decimal.significand;
      if (n > 1) {
        const auto scale = static_cast<std::uint32_t>(kPowersOfTenInt[n - 1]);
        write_digits_before(o + n + 1, rest % scale, n - 1);
        rest /= scale;
        o[1] = '.';
        o += n + 1;
      } else {
        o += 1;
      }
      *first = static_cast<char>('0' + rest);
      o = write_exponent(o, decimal.exponent);
      break;
    }
  }
  return static_cast<std::size_t>(o - out);
}

namespace {

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
// number, or nullptr if no number starts at p.
const char* scan_json_number(const char* p, const char* end, JsonNumber& number) noexcept {
  number = JsonNumber{};
  if (p != end && *p == '-') {
    number.negative = true;
    ++p;
  }
  if (p == end || !is_digit(*p)) return nullptr;
  const char* digits = p;
  // A leading 0 stands alone; a digit after it is left for the caller to refuse.
  p = *p == '0' ? p + 1 : skip_digits(p, end);
  number.integer = std::string_view(digits, static_cast<std::size_t>(p - digits));
  if (p != end && *p == '.') {
    digits = ++p;
    p = skip_digits(p, end);
    if (p == digits) return nullptr;
    number.has_fraction = true;
    number.fraction = std::string_view(digits, static_cast<std::size_t>(p - digits));
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) {
      number.exponent_negative = *p == '-';
      ++p;
    }
    digits = p;
    p = skip_digits(p, end);
    if (p == digits) return nullptr;
    number.has_exponent = true;
    number.exponent = std::string_view(digits, static_cast<std::size_t>(p - digits));
  }
  return p;
}

// The value of a scanned number; nullopt where the procedure refuses.
std::optional<float> json_number_to_float32(const JsonNumber& number) noexcept {
  constexpr std::uint64_t kAccumulatorLimit = 1844674407370955161u;  // (2^64 - 1) / 10
  constexpr std::int32_t kExponentLimit = 214748364;                 // (2^31 - 1) / 10
  const float signed_zero = number.negative ? -0.0f : 0.0f;

  // Once a digit would overflow the accumulator, every later significand digit is
  // dropped; integer digits still count as powers of ten.
  std::uint64_t significand = 0;
  std::int64_t decimal_exponent = 0;
  bool digits_dropped = false;
  const std::string_view integer = number.integer;
  for (std::size_t i = 0; i < integer.size(); ++i) {
    const auto digit = static_cast<unsigned>(integer[i] - '0');
    if (significand > kAccumulatorLimit || (significand == kAccumulatorLimit && digit > 5)) {
      digits_dropped = true;
      decimal_exponent += static_cast<std::int64_t>(integer.size() - i);
      break;
    }
    significand = significand * 10 + digit;
  }
  if (!digits_dropped) {
    for (const char c : number.fraction) {
      const auto digit = static_cast<unsigned>(c - '0');
      if (significand > kAccumulatorLimit || (significand == kAccumulatorLimit && digit > 5)) {
        digits_dropped = true;
        break;
      }
      significand = significand * 10 + digit;
      --decimal_exponent;
    }
  }

  if (number.has_exponent) {
    std::int32_t exponent = 0;
    for (const char c : number.exponent) {
      const auto digit = c - '0';
      if (exponent > kExponentLimit || (exponent == kExponentLimit && digit > 7)) {
        if (significand != 0 && !number.exponent_negative) return std::nullopt;
        return signed_zero;
      }
      exponent = exponent * 10 + digit;
    }
    decimal_exponent += number.exponent_negative ? -std::int64_t{exponent} : exponent;
  }
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  decimal_exponent = decimal_exponent < kMin   ? kMin
                     : decimal_exponent > kMax ? kMax
                                               : decimal_exponent;

  return finish_number(number.negative,
                       !number.has_fraction && !number.has_exponent && !digits_dropped, significand,
                       decimal_exponent);
}

}  // namespace

const char* read_json_float32(const char* p, const char* end,
                              std::optional<float>& value) noexcept {
  JsonNumber number;
  const char* const after = scan_json_number(p, end, number);
  if (after != nullptr) value = json_number_to_float32(number);
  return after;
}

namespace {

// The value of the eight decimal digits in `digits`, the first in the lowest byte
// and each byte already a digit's value: pairs, then fours, then all eight, each
// step a multiplication by constants.
std::uint64_t eight_digits_value(std::uint64_t digits) noexcept {
  digits = digits * 10 + (digits >> 8);
  constexpr std::uint64_t kMask = 0x000000ff000000ffu;
  constexpr std::uint64_t kHundreds = 100 + (std::uint64_t{1000000} << 32);
  constexpr std::uint64_t kTenThousands = 1 + (std::uint64_t{10000} << 32);
  return ((digits & kMask) * kHundreds + ((digits >> 16) & kMask) * kTenThousands) >> 32;
}

// Out of line, so that the common path above needs no stack frame of its own.
[[gnu::noinline]] const char* one_pass_bytewise(const char* p, const char* end,
                                                std::optional<float>& value) noexcept;

}  // namespace

const char* read_json_float32_one_pass(const char* p, const char* end,
                                       std::optional<float>& value) noexcept {
#if defined(__SSE2__)
  // A record's number usually ends within the 16 bytes from its start: the digits of
  // those bytes are found at once, and a number with a point, up to eight digits on
  // either side of it and no exponent is read eight digits at a time. Anything else
  // goes byte by byte.
  if (end - p >= 16) {
    const __m128i offsets =
        _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8('0'));
    // SSE2 has no unsigned byte compare: a byte is a digit exactly when the unsigned
    // minimum of its offset from '0' and 9 is the offset itself.
    const auto digits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(offsets, _mm_set1_epi8(9)), offsets)));
    const unsigned first = *p == '-' ? 1 : 0;
    const unsigned integer = static_cast<unsigned>(std::countr_zero(~(digits >> first)));
    const unsigned point = first + integer;
    const unsigned places = static_cast<unsigned>(std::countr_zero(~(digits >> (point + 1))));
    const unsigned after = point + 1 + places;
    // One integer digit at least, and a leading 0 alone; one place at least; and
    // no more than eight digits in all, ending within the block.
    if (integer != 0 && places != 0 && integer + places <= 8 && after < 16 && p[point] == '.' &&
        (integer == 1 || p[first] != '0') && (p[after] | 0x20) != 'e') {
      // The eight digits that end with the last one, the point taken out: the
      // fraction's from the eight bytes that end with it, the integer's from the
      // eight that end just before, and the bytes in front of them (the zeros in
      // front of the block among them) cleared.
      alignas(16) std::uint8_t bytes[32] = {};
      _mm_store_si128(reinterpret_cast<__m128i*>(bytes + 16), offsets);
      std::uint64_t integer_word;
      std::uint64_t fraction_word;
      std::memcpy(&integer_word, bytes + 16 + after - 9, 8);
      std::memcpy(&fraction_word, bytes + 16 + after - 8, 8);
      const std::uint64_t fraction = ~std::uint64_t{0} << (8 * (8 - places));
      const std::uint64_t whole = (~std::uint64_t{0} << (8 * (8 - places - integer))) & ~fraction;
      value = scaled_down(first != 0,
                          eight_digits_value((fraction_word & fraction) | (integer_word & whole)),
                          static_cast<int>(places));
      return p + after;
    }
  }
#endif
  return one_pass_bytewise(p, end, value);
}

namespace {

const char* one_pass_bytewise(const char* p, const char* end,
                              std::optional<float>& value) noexcept {
  const char* const start = p;
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  if (p == end || !is_digit(*p)) return nullptr;
  // Digits go straight into the accumulator; past 19 of them, or at an exponent,
  // the general procedure takes over from the start. Wrapping on the way there is
  // harmless, as the value is then dropped.
  std::uint64_t significand = 0;
  const char* const integer = p;
  if (*p == '0') {
    ++p;
  } else {
    for (; p != end && is_digit(*p); ++p) {
      significand = significand * 10 + static_cast<unsigned>(*p - '0');
    }
  }
  std::ptrdiff_t digits = p - integer;
  std::ptrdiff_t places = 0;
  if (p != end && *p == '.') {
    const char* const fraction = ++p;
    for (; p != end && is_digit(*p); ++p) {
      significand = significand * 10 + static_cast<unsigned>(*p - '0');
    }
    places = p - fraction;
    if (places == 0) return nullptr;
    digits += places;
  }
  if (digits > 19 || (p != end && (*p == 'e' || *p == 'E'))) {
    return read_json_float32(start, end, value);
  }
  value = finish_number(negative, places == 0, significand, -places);
  return p;
}

}  // namespace

}  // namespace kovra
