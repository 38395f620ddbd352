// Number text both ways: the writer's layout of shortest binary32 digits, and the
// reader's fixed procedure, including the places where it is not correct rounding.
#include "codec/float32_text.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "check.h"

namespace {

using kovra::float32_to_text;

std::string text_of(float value) {
  char buffer[kovra::kFloat32TextMax];
  return std::string(buffer, float32_to_text(value, buffer));
}

// The reader's value of a whole text; nullopt if it is no number or is refused. The
// one-pass parse must agree with the two steps on where the number ends and its value.
std::optional<float> read_number(const std::string& text) {
  const char* end = text.data() + text.size();
  std::optional<float> value;
  const char* const scanned = kovra::read_json_float32(text.data(), end, value);
  std::optional<float> fused;
  const char* const parsed = kovra::read_json_float32_one_pass(text.data(), end, fused);
  if (parsed != scanned || (scanned && (fused.has_value() != value.has_value() ||
                                        (value && std::bit_cast<std::uint32_t>(*fused) !=
                                                      std::bit_cast<std::uint32_t>(*value))))) {
    CHECK_EQ(text, std::string("parsed alike in one pass and in two"));
  }
  if (scanned != end) return std::nullopt;
  return value;
}

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

// Writes, reads back, and reports any value that does not survive bit for bit.
void check_round_trip(float value) {
  const std::string text = text_of(value);
  const auto back = read_number(text);
  if (!back || bits_of(*back) != bits_of(value) || text.size() > kovra::kFloat32TextMax) {
    CHECK_EQ(text + " from bits " + std::to_string(bits_of(value)), std::string("round trip"));
  }
}

}  // namespace

TEST(layout_rules) {
  const struct {
    float value;
    const char* text;
  } rows[] = {
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {100.0f, "100.0"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e13"},
      {2.5f, "2.5"},
      {-1234.5f, "-1234.5"},
      {0.1f, "0.1"},
      {0.000001f, "0.000001"},
      {1e-7f, "1e-7"},
      {1.5e-7f, "1.5e-7"},
      {std::numeric_limits<float>::max(), "3.4028235e38"},
      {-std::numeric_limits<float>::max(), "-3.4028235e38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {std::numeric_limits<float>::min(), "1.1754944e-38"},
      {1.0f, "1.0"},
      {0.5f, "0.5"},
      {1e-5f, "0.00001"},
      {1.2345678e-6f, "0.0000012345678"},
      {-1.2345678e-6f, "-0.0000012345678"},
      {1.5e13f, "1.5e13"},
      {1234567.9f, "1234567.9"},
      {16777216.0f, "16777216.0"},
      // 2^25 + 16: the shortest digits lie on the rounding boundary, which counts
      // because the significand is even.
      {33554448.0f, "33554450.0"},
      {123456789.0f, "123456790.0"},
      {1e38f, "1e38"},
      {-1e-40f, "-1e-40"},
  };
  for (const auto& row : rows) CHECK_EQ(text_of(row.value), std::string(row.text));
}

TEST(reader_values) {
  const struct {
    const char* text;
    float value;
  } rows[] = {
      {"5", 5.0f},
      {"-5", -5.0f},
      {"0.1", 0.1f},
      {"1E+2", 100.0f},
      {"1e-2", 0.01f},
      {"2.5e0", 2.5f},
      {"33554450.0", 33554448.0f},
      {"3.4028235e38", std::numeric_limits<float>::max()},
      {"1e39", std::numeric_limits<float>::infinity()},
      {"-1e39", -std::numeric_limits<float>::infinity()},
      {"1e-45", std::numeric_limits<float>::denorm_min()},
      {"1e-400", 0.0f},
      {"0e400", 0.0f},
      {"0e2147483648", 0.0f},
      {"1e-2147483648", 0.0f},
      {"1e-99999999999", 0.0f},
      // The integer path rounds the 64-bit value once; a fraction or exponent goes
      // through binary64 and rounds twice (2^60 + 2^36 + 1 is the witness).
      {"1152921573326323713", 1152921642045800448.0f},
      {"1152921573326323713.0", 1152921504606846976.0f},
      {"-1152921573326323713", -1152921642045800448.0f},
      {"18446744073709551615", 18446744073709551616.0f},
      // Negative integers beyond -2^63 take the binary64 path (2^63 + 2^39 + 1).
      {"9223372586610589697", 9223373136366403584.0f},
      {"-9223372586610589697", -9223372036854775808.0f},
      {"-9223372036854775808", -9223372036854775808.0f},
  };
  for (const auto& row : rows) {
    const auto value = read_number(row.text);
    CHECK(value.has_value());
    if (value) CHECK_EQ(bits_of(*value), bits_of(row.value));
  }
}

TEST(reader_signed_zeros) {
  for (const char* text :
       {"-0", "-0.0", "-0e5", "-0e400", "-1e-400", "-1e-2147483648", "-0e99999999999"}) {
    const auto value = read_number(text);
    CHECK(value.has_value());
    if (value) CHECK_EQ(bits_of(*value), bits_of(-0.0f));
  }
  const auto zero = read_number("0");
  CHECK(zero && bits_of(*zero) == 0);
}

TEST(reader_refusals) {
  for (const char* text :
       {"1e400", "1e309", "1e2147483647", "1e2147483648", "1e+99999999999", "-1e400", "", "-", "01",
        "1.", ".5", "1e", "1e+", "+1", "0x10", "1.e5", "--1", "NaN", "Infinity"}) {
    CHECK(!read_number(text).has_value());
  }
}

TEST(reader_skips_digits_past_the_accumulator) {
  // 20 digits fit; the 21st and later integer digits only raise the exponent.
  const std::string four_hundred_zeros(400, '0');
  CHECK_EQ(read_number("1" + four_hundred_zeros + "e-400"), std::optional<float>(1.0f));
  CHECK(!read_number("1" + four_hundred_zeros).has_value());
  // 18446744073709551616 overflows at its last digit.
  const auto skipped = read_number("18446744073709551616");
  const float expected = static_cast<float>(1844674407370955161.0 * 10.0);
  CHECK(skipped && bits_of(*skipped) == bits_of(expected));
  // Fraction digits past the accumulator are dropped without moving the exponent.
  const auto ones = read_number("0." + std::string(30, '1'));
  const float expected_ones = static_cast<float>(11111111111111111111.0 / 1e20);
  CHECK(ones && bits_of(*ones) == bits_of(expected_ones));
  // Leading fraction zeros are digits taken like any other.
  CHECK_EQ(read_number("0." + std::string(330, '0') + "1e331"), std::optional<float>(1.0f));
}

TEST(reader_divides_beyond_the_table) {
  // 1e-320 as binary64 is subnormal and narrows to zero; 123e-300 stays in the table.
  const auto tiny = read_number("12345678901234567890e-330");
  CHECK(tiny && bits_of(*tiny) == 0);
  const auto small = read_number("123e-300");
  CHECK(small && bits_of(*small) == 0);
  const auto large = read_number("0.0000000000000000000001e330");
  CHECK(large && *large == std::numeric_limits<float>::infinity());
  CHECK(!read_number("0.00000000000000000001e330").has_value());
}

TEST(round_trip_extremes) {
  for (std::uint32_t bits = 0; bits < 4096; ++bits) {
    check_round_trip(from_bits(bits));                       // smallest subnormals
    check_round_trip(from_bits(0x7f7fffffu - bits));         // largest finite
    check_round_trip(from_bits(0x00800000u + bits - 2048));  // subnormal/normal border
    check_round_trip(-from_bits(bits));
  }
  for (int e = -45; e <= 38; ++e) {
    const float power = static_cast<float>(std::pow(10.0, e));
    for (std::int32_t step = -300; step <= 300; ++step) {
      const std::int64_t bits = std::int64_t{bits_of(power)} + step;
      if (bits > 0 && bits < 0x7f800000)
        check_round_trip(from_bits(static_cast<std::uint32_t>(bits)));
    }
  }
  for (int e = -149; e <= 127; ++e) {
    const float power = std::ldexp(1.0f, e);
    for (std::int32_t step = -8; step <= 8; ++step) {
      const std::int64_t bits = std::int64_t{bits_of(power)} + step;
      if (bits > 0 && bits < 0x7f800000)
        check_round_trip(from_bits(static_cast<std::uint32_t>(bits)));
    }
  }
}

TEST(round_trip_random_sample) {
  std::mt19937 random(20240611u);
  for (int i = 0; i < 3000000; ++i) {
    const float value = from_bits(static_cast<std::uint32_t>(random()));
    if (std::isfinite(value)) check_round_trip(value);
  }
}

TEST(number_parse_in_one_pass_matches_two_steps) {
  // Random texts around the places where the one-pass parse hands over: 19 digits,
  // an exponent, a leading zero, a bare point; read_number compares both ways.
  std::mt19937 random(7u);
  const auto digits = [&random](std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('0' + random() % 10));
    return text;
  };
  for (int i = 0; i < 200000; ++i) {
    std::string text = random() % 4 == 0 ? "-" : "";
    text += digits(random() % 22);
    // Appending piece by piece sidesteps a false -Wrestrict in g++ 12 at -O3.
    if (random() % 2 == 0) {
      text += '.';
      text += digits(random() % 22);
    }
    if (random() % 4 == 0) {
      text += random() % 2 ? "e-" : "E-";
      text += digits(random() % 4);
    }
    if (random() % 8 == 0) text += "x";
    read_number(text);
  }
}

TEST(fast_path_agrees_with_to_chars) {
  // The opt-in sweep checks every value; this samples the regions where the fast
  // path's reasoning could slip: exact short decimals, powers of two and ten, and
  // the edges of its range.
  const auto check = [](float value) {
    kovra::Float32Decimal fast;
    if (!kovra::float32_decimal_fast(value, fast)) return;
    const kovra::Float32Decimal general = kovra::float32_decimal_general(value);
    if (!(fast == general)) {
      CHECK_EQ(std::to_string(fast.significand) + "e" + std::to_string(fast.exponent) +
                   " for bits " + std::to_string(bits_of(value)),
               std::to_string(general.significand) + "e" + std::to_string(general.exponent));
    }
  };
  for (int places = 0; places <= 14; ++places) {
    for (std::uint32_t i = 1; i < (1u << 16); ++i)
      check(std::ldexp(static_cast<float>(i), -places));
  }
  for (int e = -15; e <= 8; ++e) {
    const float power = static_cast<float>(std::pow(10.0, e));
    for (std::int32_t step = -3000; step <= 3000; ++step) {
      check(from_bits(static_cast<std::uint32_t>(std::int64_t{bits_of(power)} + step)));
    }
  }
  for (int e = -16; e <= 25; ++e) {
    const float power = std::ldexp(1.0f, e);
    for (std::int32_t step = -64; step <= 64; ++step) {
      check(from_bits(static_cast<std::uint32_t>(std::int64_t{bits_of(power)} + step)));
    }
  }
  std::mt19937 random(99u);
  for (int i = 0; i < 1000000; ++i) {
    check(from_bits(bits_of(std::ldexp(1.0f, -15)) +
                    static_cast<std::uint32_t>(random()) %
                        (bits_of(std::ldexp(1.0f, 25)) - bits_of(std::ldexp(1.0f, -15)))));
  }
  // Values a record usually holds take the fast path.
  kovra::Float32Decimal decimal;
  for (const float value : {0.1f, 2.25f, 100.0f, 0.001f, 3.14159f, 16777215.0f, 1234567.9f}) {
    CHECK(kovra::float32_decimal_fast(value, decimal));
  }
}

TEST(measured_length_is_written_length) {
  std::mt19937 random(5u);
  for (int i = 0; i < 300000; ++i) {
    const float value = from_bits(static_cast<std::uint32_t>(random()));
    if (std::isfinite(value)) CHECK_EQ(kovra::float32_text_length(value), text_of(value).size());
  }
  for (const float value : {0.0f, -0.0f, 1e12f, 1e13f, 0.000001f, 1e-7f, -1.2345678e-6f}) {
    CHECK_EQ(kovra::float32_text_length(value), text_of(value).size());
  }
}
