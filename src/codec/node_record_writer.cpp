// The record writer: the one fixed form of a node record, measured first and then
// written into exactly that room. Measuring tests a text for escapes a block at a
// time (special_bytes); the byte-at-a-time kEscapeGrowth that counts and writes the
// escapes is its twin, and writer_escapes_every_control_byte and
// strings_with_a_special_byte_anywhere (tests/cpp/node_record_json_test.cpp), with
// the record fuzzer's exact-size buffer, hold the measured length to the written one.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/decimal_digits.h"
#include "codec/float32_text.h"
#include "codec/json_string_bytes.h"
#include "codec/node_record_json.h"
#include "codec/node_record_parts.h"
#include "diff/short_copy.h"

namespace kovra {

namespace {

using json_bytes::has_special_byte;
using json_bytes::kEscapeGrowth;
using json_bytes::kOnes;
using json_bytes::load4;
using json_bytes::load8;
#if defined(__SSE2__)
using json_bytes::load16;
using json_bytes::special_mask;
#endif

// Filler for the unused bytes of a short text's word: a letter, never special.
constexpr std::uint64_t kPlainFill = kOnes * 'a';

// A word holding every byte of a text of one to seven bytes, padded with plain bytes.
std::uint64_t short_text_word(const char* p, std::size_t n) noexcept {
  if (n >= 4) return load4(p) | std::uint64_t{load4(p + n - 4)} << 32;
  // The first, middle and last bytes cover every byte of a text of one to three.
  return static_cast<unsigned char>(p[0]) |
         std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
         std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16 | kPlainFill << 24;
}

#if defined(__SSE2__)
// Nonzero when `text` holds a byte that needs an escape. Reads whole blocks,
// overlapping at the end rather than finishing byte by byte.
std::uint64_t special_bytes(std::string_view text) noexcept {
  const char* const p = text.data();
  const std::size_t n = text.size();
  if (n >= 16) {
    unsigned found = 0;
    for (std::size_t i = 0; i + 16 < n; i += 16) found |= special_mask(load16(p + i));
    return found | special_mask(load16(p + n - 16));
  }
  if (n >= 8) {
    const auto first = static_cast<long long>(load8(p));
    const auto last = static_cast<long long>(load8(p + n - 8));
    return special_mask(_mm_set_epi64x(last, first));
  }
  if (n == 0) return 0;
  return has_special_byte(short_text_word(p, n));
}
#else
std::uint64_t special_bytes(std::string_view text) noexcept {
  const char* const p = text.data();
  const std::size_t n = text.size();
  if (n >= 8) {
    std::uint64_t found = 0;
    for (std::size_t i = 0; i + 8 < n; i += 8) found |= has_special_byte(load8(p + i));
    return found | has_special_byte(load8(p + n - 8));
  }
  if (n == 0) return 0;
  return has_special_byte(short_text_word(p, n));
}
#endif

// Growth of `text` by its escapes; 0 for the common text that needs none.
std::size_t escape_growth(std::string_view text) noexcept {
  if (special_bytes(text) == 0) return 0;
  std::size_t growth = 0;
  for (const char c : text) growth += kEscapeGrowth[static_cast<unsigned char>(c)];
  return growth;
}

char* write_escape(char* out, unsigned char c) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  *out++ = '\\';
  switch (c) {
    case '"':
      *out++ = '"';
      break;
    case '\\':
      *out++ = '\\';
      break;
    case '\b':
      *out++ = 'b';
      break;
    case '\t':
      *out++ = 't';
      break;
    case '\n':
      *out++ = 'n';
      break;
    case '\f':
      *out++ = 'f';
      break;
    case '\r':
      *out++ = 'r';
      break;
    default:
      std::memcpy(out, "u00", 3);
      out[3] = kHex[c >> 4];
      out[4] = kHex[c & 15];
      out += 5;
  }
  return out;
}

char* write_escaped(char* out, std::string_view text) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* run = p;
  for (; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (kEscapeGrowth[c] == 0) continue;
    std::memcpy(out, run, static_cast<std::size_t>(p - run));
    out = write_escape(out + (p - run), c);
    run = p + 1;
  }
  if (run != end) {  // an empty text may have no storage at all
    std::memcpy(out, run, static_cast<std::size_t>(end - run));
    out += end - run;
  }
  return out;
}

// The string's content and closing quote; the opening quote comes with its key.
char* write_string_rest(char* out, std::string_view text, bool plain) noexcept {
  out = plain ? copy_short(out, text.data(), text.size()) : write_escaped(out, text);
  *out++ = '"';
  return out;
}

std::size_t colour_length(std::uint8_t value) noexcept {
  return value >= 100 ? 3 : value >= 10 ? 2 : 1;
}

char* write_colour(char* out, std::uint8_t value) noexcept {
  if (value >= 100) {
    *out++ = value >= 200 ? '2' : '1';
    value = static_cast<std::uint8_t>(value % 100);
    std::memcpy(out, kDigitPairs + 2 * value, 2);
    return out + 2;
  }
  if (value >= 10) {
    std::memcpy(out, kDigitPairs + 2 * value, 2);
    return out + 2;
  }
  *out = static_cast<char>('0' + value);
  return out + 1;
}

template <std::size_t N>
char* write_literal(char* out, const char (&text)[N]) noexcept {
  std::memcpy(out, text, N - 1);
  return out + (N - 1);
}

template <std::size_t N>
char* write_bytes(char* out, const std::array<char, N>& bytes) noexcept {
  std::memcpy(out, bytes.data(), N);
  return out + N;
}

// The size is kept whole in the sketch, so that writing never reads it again.
enum SketchFlag : std::uint8_t {
  kLabelNeedsEscapes = 1,
  kUrlNeedsEscapes = 2,
  kSizePresent = 4,
  kSizeNull = 8,
  kSizeNegative = 16,
};

constexpr std::uint8_t needs_escapes(NodeField text_field) noexcept {
  return text_field == NodeField::kLabel ? kLabelNeedsEscapes : kUrlNeedsEscapes;
}

}  // namespace

std::size_t node_record_length(const NodeUpdate& update, RecordSketch& sketch) noexcept {
  sketch = RecordSketch{};
  // Every member counts its leading comma; the first one's is the opening brace.
  std::size_t length = update.empty() ? 2 : 1;
  for_each_node_field<kNodeFields>([&](auto tag) {
    constexpr NodeField F = decltype(tag)::value;
    constexpr NodeFieldKind kKind = info_of(F).kind;
    if (!update.has(F)) return;
    const auto value = update.value<F>();
    if constexpr (kKind == NodeFieldKind::kText) {
      const std::size_t growth = escape_growth(value);
      if (growth != 0) sketch.flags |= needs_escapes(F);
      length += kMember<F, MemberPart::kStart>.size() + value.size() + growth + 1;
    } else if constexpr (kKind == NodeFieldKind::kNumber) {
      length += kMember<F, MemberPart::kStart>.size();
      sketch.flags |= kSizePresent;
      if (std::signbit(value)) sketch.flags |= kSizeNegative;
      if (!std::isfinite(value)) {
        sketch.flags |= kSizeNull;
        length += 4;
      } else {
        const Float32Decimal decimal = float32_decimal(std::fabs(value));
        sketch.size_significand = decimal.significand;
        sketch.size_exponent = static_cast<std::int8_t>(decimal.exponent);
        sketch.size_digits = static_cast<std::uint8_t>(decimal.digits);
        length += float32_decimal_text_length(std::signbit(value), decimal);
      }
    } else if constexpr (kKind == NodeFieldKind::kColour) {
      length += kMember<F, MemberPart::kStart>.size() + colour_length(value);
    } else {
      length +=
          value ? kMember<F, MemberPart::kTrue>.size() : kMember<F, MemberPart::kFalse>.size();
    }
  });
  return length;
}

char* write_node_record(const NodeUpdate& update, const RecordSketch& sketch, char* out) noexcept {
  if (update.empty()) return write_literal(out, "{}");
  char* const start = out;
  for_each_node_field<kNodeFields>([&](auto tag) {
    constexpr NodeField F = decltype(tag)::value;
    constexpr NodeFieldKind kKind = info_of(F).kind;
    if constexpr (kKind == NodeFieldKind::kNumber) {
      if ((sketch.flags & kSizePresent) == 0) return;
      out = write_bytes(out, kMember<F, MemberPart::kStart>);
      const bool negative = (sketch.flags & kSizeNegative) != 0;
      if ((sketch.flags & kSizeNull) != 0) {
        out = write_literal(out, "null");
      } else {
        const Float32Decimal decimal{sketch.size_significand, sketch.size_digits,
                                     sketch.size_exponent};
        out += float32_decimal_to_text(negative, decimal, out);
      }
    } else {
      if (!update.has(F)) return;
      const auto value = update.value<F>();
      if constexpr (kKind == NodeFieldKind::kText) {
        out = write_string_rest(write_bytes(out, kMember<F, MemberPart::kStart>), value,
                                (sketch.flags & needs_escapes(F)) == 0);
      } else if constexpr (kKind == NodeFieldKind::kColour) {
        out = write_colour(write_bytes(out, kMember<F, MemberPart::kStart>), value);
      } else {
        out = value ? write_bytes(out, kMember<F, MemberPart::kTrue>)
                    : write_bytes(out, kMember<F, MemberPart::kFalse>);
      }
    }
  });
  *start = '{';
  *out++ = '}';
  return out;
}

}  // namespace kovra
