#include "codec/node_record_json.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/decimal_digits.h"
#include "codec/float32_text.h"
#include "diff/short_copy.h"

namespace kovra {

namespace {

// Bytes a string member grows by when a byte is escaped: one for the two-character
// escapes, five for \u00xx, zero for bytes copied as they are.
constexpr std::array<std::uint8_t, 256> kEscapeGrowth = [] {
  std::array<std::uint8_t, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 5;
  for (const char c : {'\b', '\t', '\n', '\f', '\r', '"', '\\'}) {
    table[static_cast<unsigned char>(c)] = 1;
  }
  return table;
}();

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

std::uint64_t load8(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

std::uint32_t load4(const char* p) noexcept {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

// Nonzero when any of the eight bytes of `word` is a control byte, a quote or a
// backslash: the bytes that end a plain run inside a JSON string. The lowest set
// bit marks the first such byte in memory order (on little-endian machines); bits
// above it may be false alarms.
std::uint64_t has_special_byte(std::uint64_t word) noexcept {
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  return ((word - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~word & ~quote &
         ~backslash & kHighBits;
}

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
// Bit i is set when byte i of `bytes` needs an escape.
unsigned special_mask(__m128i bytes) noexcept {
  const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
  // SSE2 has no unsigned byte compare: a byte is at most 0x1F exactly when the unsigned
  // minimum of it and 0x1F is the byte itself.
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1f)), bytes);
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}

__m128i load16(const char* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

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

// Each member is written with the comma that separates it from the one before; the
// first member's comma is then overwritten by the opening brace. Strings carry their
// opening quote in their member's start; a flag's member is written whole.
enum class MemberPart { kStart, kTrue, kFalse };

// The bytes of a member part of field F, built from the field list at compile time,
// in an array of their exact size so that copying them is a fixed-size move.
template <NodeField F, MemberPart P>
constexpr auto kMember = [] {
  constexpr std::string_view kKey = info_of(F).record_key;
  constexpr std::string_view kValueStart = P == MemberPart::kTrue                    ? "true"
                                           : P == MemberPart::kFalse                 ? "false"
                                           : info_of(F).kind == NodeFieldKind::kText ? "\""
                                                                                     : "";
  std::array<char, kKey.size() + 4 + kValueStart.size()> bytes{};
  std::size_t n = 0;
  for (const std::string_view part :
       {std::string_view(",\""), kKey, std::string_view("\":"), kValueStart}) {
    for (const char c : part) bytes[n++] = c;
  }
  return bytes;
}();

// The key in quotes and its colon: the start of field F's member without the comma.
template <NodeField F>
constexpr std::string_view kQuotedKey(kMember<F, MemberPart::kStart>.data() + 1,
                                      info_of(F).record_key.size() + 3);

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

namespace {

// For each byte, 1 + the position of the first field whose key starts with it, or 0.
constexpr std::array<std::uint8_t, 256> kFirstWithLetter = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t i = kNodeFieldCount; i-- > 0;) {
    table[static_cast<unsigned char>(kNodeFields[i].record_key[0])] =
        static_cast<std::uint8_t>(i + 1);
  }
  return table;
}();

// The position in kNodeFields of the field a record key names, or kNodeFieldCount.
std::size_t position_of(std::string_view key) noexcept {
  for (std::size_t i = 0; i < kNodeFieldCount; ++i) {
    if (key == kNodeFields[i].record_key) return i;
  }
  return kNodeFieldCount;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  char bytes[4];
  std::size_t n;
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    n = 1;
  } else if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 2;
  } else if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    n = 4;
  }
  out.append(bytes, n);
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One to three digits without a leading zero, and no fraction or exponent after
// them: what is left of the number grammar is refused for a colour anyway. Returns
// the first byte after the digits, or nullptr.
[[gnu::always_inline]] inline const char* parse_colour(
    const char* p, const char* const end, std::optional<std::uint8_t>& colour) noexcept {
  // A byte below '0' wraps around to a large unsigned value, so one `<= 9` test
  // accepts exactly the digits; the end of the text reads as 10, a non-digit.
  const auto digit_at = [end](const char* at) noexcept {
    return at != end ? static_cast<unsigned>(static_cast<unsigned char>(*at) - '0') : 10u;
  };
  unsigned value = digit_at(p);
  if (value > 9) return nullptr;
  ++p;
  if (value != 0) {
    for (int i = 0; i < 2 && digit_at(p) <= 9; ++i) value = value * 10 + digit_at(p++);
  }
  if (p != end && (digit_at(p) <= 9 || *p == '.' || *p == 'e' || *p == 'E')) return nullptr;
  if (value > 255) return nullptr;
  colour = static_cast<std::uint8_t>(value);
  return p;
}

// Whether the `size` bytes at `p` are those of `kText`: whole words compared with
// constants (overlapping at the end), since the compiler expands memcmp inline
// only for string literals.
template <std::size_t kSize>
bool same_bytes(const char* p, const char* text) noexcept {
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

// The fields as they are parsed, put into a NodeUpdate once the record is complete.
// Texts are views into the record, or into the strict parser's buffers when they
// held escapes.
struct RecordValues {
  std::optional<std::string_view> label;
  std::optional<float> size;
  std::optional<std::string_view> url;
  std::optional<std::uint8_t> red;
  std::optional<std::uint8_t> green;
  std::optional<std::uint8_t> blue;
  std::optional<bool> show_label;

  // `update` is new: it holds no field yet.
  void fill(NodeUpdate& update, TextChunks* chunks) const {
    if (label || url) update.set_new_texts(label, url, chunks);
    if (size) update.set_size(*size);
    if (red) update.set_red(*red);
    if (green) update.set_green(*green);
    if (blue) update.set_blue(*blue);
    if (show_label) update.set_show_label(*show_label);
  }
};

class RecordParser {
 public:
  explicit RecordParser(std::string_view text) noexcept
      : p_(text.data()), end_(text.data() + text.size()) {}

  bool parse(RecordValues& values) {
    skip_whitespace();
    if (p_ == end_) return false;
    if (*p_ == '{') {
      if (!parse_object(values)) return false;
    } else if (*p_ == '[') {
      if (!parse_array(values)) return false;
    } else {
      return false;
    }
    skip_whitespace();
    return p_ == end_;
  }

 private:
  static bool is_whitespace(char c) noexcept {
    constexpr std::uint64_t kWhitespace = std::uint64_t{1} << ' ' | std::uint64_t{1} << '\t' |
                                          std::uint64_t{1} << '\n' | std::uint64_t{1} << '\r';
    const auto byte = static_cast<unsigned char>(c);
    return byte <= ' ' && ((kWhitespace >> byte) & 1) != 0;
  }

  void skip_whitespace() noexcept {
    while (p_ != end_ && is_whitespace(*p_)) ++p_;
  }

  bool consume(char c) noexcept {
    skip_whitespace();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // Takes `kText` if the record continues with it: two overlapping words compared with
  // constants, since the compiler expands memcmp inline only for string literals.
  template <const std::string_view& kText>
  bool take_constant() noexcept {
    constexpr std::size_t kSize = kText.size();
    if (static_cast<std::size_t>(end_ - p_) < kSize || !same_bytes<kSize>(p_, kText.data())) {
      return false;
    }
    p_ += kSize;
    return true;
  }
  template <std::size_t N>
  bool take(const char (&literal)[N]) noexcept {
    if (static_cast<std::size_t>(end_ - p_) < N - 1 || std::memcmp(p_, literal, N - 1) != 0) {
      return false;
    }
    p_ += N - 1;
    return true;
  }

  bool read_hex4(std::uint32_t& value) noexcept {
    if (end_ - p_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_value(*p_++);
      if (digit < 0) return false;
      value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  const char* find_special(const char* p) const noexcept {
    unsigned high = 0;  // the text was checked as UTF-8 before
    return kovra::find_special(p, end_, high);
  }

  // Reads the string at p_ (an opening quote). `text` receives its decoded content:
  // a view into the record when it holds no escape, else into `scratch`. With
  // scratch == nullptr the string is only checked.
  bool scan_string(std::string* scratch, std::string_view* text) {
    const char* const start = p_ + 1;
    p_ = find_special(start);
    if (p_ == end_) return false;
    if (*p_ == '"') {
      if (text != nullptr) *text = std::string_view(start, static_cast<std::size_t>(p_ - start));
      ++p_;
      return true;
    }
    if (*p_ != '\\') return false;  // a raw control byte
    if (scratch != nullptr) scratch->assign(start, p_);
    for (;;) {
      const char* const run = p_;
      p_ = find_special(p_);
      if (scratch != nullptr) scratch->append(run, p_);
      if (p_ == end_) return false;
      const char c = *p_++;
      if (c == '"') {
        if (text != nullptr) *text = *scratch;
        return true;
      }
      if (c != '\\' || p_ == end_) return false;
      char decoded;
      switch (*p_++) {
        case '"':
          decoded = '"';
          break;
        case '\\':
          decoded = '\\';
          break;
        case '/':
          decoded = '/';
          break;
        case 'b':
          decoded = '\b';
          break;
        case 'f':
          decoded = '\f';
          break;
        case 'n':
          decoded = '\n';
          break;
        case 'r':
          decoded = '\r';
          break;
        case 't':
          decoded = '\t';
          break;
        case 'u': {
          std::uint32_t code_point;
          if (!read_hex4(code_point)) return false;
          if (code_point >= 0xDC00 && code_point <= 0xDFFF) return false;
          if (code_point >= 0xD800 && code_point <= 0xDBFF) {
            std::uint32_t low;
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            if (!read_hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
          }
          if (scratch != nullptr) append_utf8(*scratch, code_point);
          continue;
        }
        default:
          return false;
      }
      if (scratch != nullptr) scratch->push_back(decoded);
    }
  }

  bool skip_number() noexcept {
    JsonNumber number;
    const char* const after = scan_json_number(p_, end_, number);
    if (after == nullptr) return false;
    p_ = after;
    return true;
  }

  // Skips a key, its colon and the whitespace around them.
  bool skip_key() {
    skip_whitespace();
    if (p_ == end_ || *p_ != '"' || !scan_string(nullptr, nullptr)) return false;
    return consume(':');
  }

  // Checks and skips one value of any depth. Open containers are kept on an explicit
  // stack, since a record may nest a million levels deep.
  bool skip_value() {
    std::string open;
    for (;;) {
      skip_whitespace();
      if (p_ == end_) return false;
      switch (*p_) {
        case '{':
          ++p_;
          skip_whitespace();
          if (p_ != end_ && *p_ == '}') {
            ++p_;
            break;
          }
          if (!skip_key()) return false;
          open.push_back('}');
          continue;
        case '[':
          ++p_;
          skip_whitespace();
          if (p_ != end_ && *p_ == ']') {
            ++p_;
            break;
          }
          open.push_back(']');
          continue;
        case '"':
          if (!scan_string(nullptr, nullptr)) return false;
          break;
        case 't':
          if (!take("true")) return false;
          break;
        case 'f':
          if (!take("false")) return false;
          break;
        case 'n':
          if (!take("null")) return false;
          break;
        default:
          if (!skip_number()) return false;
      }
      // A value is complete: close containers until one expects another element.
      for (;;) {
        if (open.empty()) return true;
        skip_whitespace();
        if (p_ == end_) return false;
        if (*p_ == ',') {
          ++p_;
          if (open.back() == '}' && !skip_key()) return false;
          break;
        }
        if (*p_ != open.back()) return false;
        ++p_;
        open.pop_back();
      }
    }
  }

  bool parse_colour(std::optional<std::uint8_t>& colour) noexcept {
    const char* const after = kovra::parse_colour(p_, end_, colour);
    if (after == nullptr) return false;
    p_ = after;
    return true;
  }

  // Parses the value of `field` at p_; null leaves the field absent.
  bool parse_field(NodeField field, RecordValues& values) {
    if (p_ == end_) return false;
    if (*p_ == 'n') return take("null");
    switch (field) {
      case NodeField::kLabel:
        return *p_ == '"' && scan_string(&label_buffer_, &values.label.emplace());
      case NodeField::kUrl:
        return *p_ == '"' && scan_string(&url_buffer_, &values.url.emplace());
      case NodeField::kSize: {
        const char* const after = parse_json_float32(p_, end_, values.size);
        if (after == nullptr) return false;
        p_ = after;
        return values.size.has_value();
      }
      case NodeField::kRed:
        return parse_colour(values.red);
      case NodeField::kGreen:
        return parse_colour(values.green);
      case NodeField::kBlue:
        return parse_colour(values.blue);
      case NodeField::kShowLabel:
        if (take("true")) {
          values.show_label = true;
          return true;
        }
        if (take("false")) {
          values.show_label = false;
          return true;
        }
        return false;
    }
    return false;
  }

  // Takes the key in quotes and its colon of the first field from position I on whose
  // key starts with kLetter and follows at p_, if any.
  template <std::size_t I, char kLetter = kNodeFields[I].record_key[0]>
  bool take_key_from(std::size_t& field) noexcept {
    if constexpr (I == kNodeFieldCount) {
      return false;
    } else {
      constexpr NodeField F = kNodeFields[I].field;
      if constexpr (info_of(F).record_key[0] == kLetter) {
        if (take_constant<kQuotedKey<F>>()) {
          field = I;
          return true;
        }
      }
      return take_key_from<I + 1, kLetter>(field);
    }
  }

  // Reads a key and its colon; `field` is the key's position in kNodeFields, or
  // kNodeFieldCount for an unknown key. A known key written plainly, with the colon
  // right behind it, is matched whole; escapes, whitespace and other names take the
  // general path, which gives the same result for the plain form.
  bool read_key(std::size_t& field, std::string& key_buffer) {
    if (p_ == end_ || *p_ != '"') return false;
    field = kNodeFieldCount;
    // The key's first letter picks the first field with that letter, which tries the
    // later ones with the same letter too.
    const std::size_t first =
        end_ - p_ >= 2 ? kFirstWithLetter[static_cast<unsigned char>(p_[1])] : 0;
    const bool known = [&]<std::size_t... I>(std::index_sequence<I...>) {
      bool taken = false;
      static_cast<void>(((first == I + 1 && (taken = take_key_from<I>(field), true)) || ...));
      return taken;
    }(std::make_index_sequence<kNodeFieldCount>{});
    if (known) return true;
    std::string_view key;
    if (!scan_string(&key_buffer, &key) || !consume(':')) return false;
    field = position_of(key);
    return true;
  }

  bool parse_object(RecordValues& values) {
    ++p_;
    skip_whitespace();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    unsigned seen = 0;
    std::string key_buffer;
    for (;;) {
      std::size_t field;
      if (!read_key(field, key_buffer)) return false;
      skip_whitespace();
      if (field == kNodeFieldCount) {
        if (!skip_value()) return false;
      } else {
        // A repeated key fails even when its first value was null.
        if ((seen & (1u << field)) != 0) return false;
        seen |= 1u << field;
        if (!parse_field(kNodeFields[field].field, values)) return false;
      }
      // Records as the writer makes them have no whitespace: look before skipping.
      if (p_ != end_ && *p_ != ',' && *p_ != '}') skip_whitespace();
      if (p_ == end_) return false;
      const char c = *p_++;
      if (c == '}') return true;
      if (c != ',') return false;
      if (p_ != end_ && *p_ != '"') skip_whitespace();
    }
  }

  bool parse_array(RecordValues& values) {
    ++p_;
    for (std::size_t i = 0; i < kNodeFieldCount; ++i) {
      if (i > 0 && !consume(',')) return false;
      skip_whitespace();
      if (!parse_field(kNodeFields[i].field, values)) return false;
    }
    return consume(']');
  }

  const char* p_;
  const char* const end_;
  std::string label_buffer_;  // the texts that held escapes, decoded
  std::string url_buffer_;
};

// Records exactly as the writer makes them: members in field order, no
// whitespace, strings without escapes. A text in any other form is left to the
// strict parser, which reads it from the start; every text this accepts, the
// strict parser accepts with the same values, so which one reads a record
// never shows. Most records come from the writer, and this reads them without
// looking up keys or skipping whitespace.
class WrittenFormParser {
 public:
  explicit WrittenFormParser(std::string_view text) noexcept
      : p_(text.data()), end_(text.data() + text.size()) {}

  // Inlined whole into its caller, so that the position lives in a register rather
  // than in memory that every store of a value might alias.
  [[gnu::always_inline]] bool parse(RecordValues& values) noexcept {
    if (end_ - p_ < 2 || *p_ != '{') return false;
    // A member stopped the walk: an unknown key, another order.
    if (!members(values, std::make_index_sequence<kNodeFieldCount>{})) return false;
    if (first_) ++p_;  // an empty record: its brace
    return end_ - p_ == 1 && *p_ == '}';
  }

 private:
  // The members in field order, unrolled: a fold rather than a lambda, which the
  // compiler would not always inline.
  template <std::size_t... I>
  [[gnu::always_inline]] bool members(RecordValues& values, std::index_sequence<I...>) noexcept {
    return (member<kNodeFields[I].field>(values) && ...);
  }

  // Takes field F's member if it is next: false only if it is there but not in the
  // written form. A value need not check what follows it: anything but the comma
  // of the next member or the closing brace stops the record there.
  template <NodeField F>
  [[gnu::always_inline]] bool member(RecordValues& values) noexcept {
    constexpr NodeFieldKind kKind = info_of(F).kind;
    if constexpr (kKind == NodeFieldKind::kFlag) {
      if (take<kMember<F, MemberPart::kTrue>>()) {
        values.show_label = true;
      } else if (take<kMember<F, MemberPart::kFalse>>()) {
        values.show_label = false;
      }
      return true;
    } else {
      if (!take<kMember<F, MemberPart::kStart>>()) return true;
      if constexpr (kKind == NodeFieldKind::kText) {
        const char* const start = p_;
        unsigned high = 0;
        p_ = find_special(p_, end_, high);
        if (p_ == end_ || *p_ != '"') return false;
        const std::string_view text(start, static_cast<std::size_t>(p_ - start));
        // Bytes outside texts were matched as ASCII: a record read here is valid
        // UTF-8 once its texts are.
        if (high != 0 && !is_valid_utf8(text)) return false;
        (F == NodeField::kLabel ? values.label : values.url).emplace(text);
        ++p_;
        return true;
      } else if constexpr (kKind == NodeFieldKind::kNumber) {
        p_ = parse_json_float32(p_, end_, values.size);
        return p_ != nullptr && values.size.has_value();
      } else {
        auto& colour = F == NodeField::kRed     ? values.red
                       : F == NodeField::kGreen ? values.green
                                                : values.blue;
        if (end_ - p_ < 3) {
          p_ = parse_colour(p_, end_, colour);
          return p_ != nullptr;
        }
        // A digit's offset from '0' is below 10; any other byte's, as unsigned, is not.
        const unsigned d0 = static_cast<unsigned char>(p_[0]) - unsigned{'0'};
        const unsigned d1 = static_cast<unsigned char>(p_[1]) - unsigned{'0'};
        const unsigned d2 = static_cast<unsigned char>(p_[2]) - unsigned{'0'};
        if (d0 > 9) return false;
        if (d1 > 9) {
          colour = static_cast<std::uint8_t>(d0);
          p_ += 1;
          return true;
        }
        if (d0 == 0) return false;  // a leading zero
        if (d2 > 9) {
          colour = static_cast<std::uint8_t>(d0 * 10 + d1);
          p_ += 2;
          return true;
        }
        const unsigned value = d0 * 100 + d1 * 10 + d2;
        if (value > 255) return false;
        colour = static_cast<std::uint8_t>(value);
        p_ += 3;
        return true;
      }
    }
  }

  // Takes a member's start (or a flag's whole member) if it follows; the first
  // member opens the record where the others have their comma.
  template <const auto& kBytes>
  [[gnu::always_inline]] bool take() noexcept {
    constexpr std::size_t kSize = kBytes.size();
    if (static_cast<std::size_t>(end_ - p_) < kSize || *p_ != (first_ ? '{' : ',') ||
        !same_bytes<kSize - 1>(p_ + 1, kBytes.data() + 1)) {
      return false;
    }
    p_ += kSize;
    first_ = false;
    return true;
  }

  const char* p_;
  const char* const end_;
  bool first_ = true;
};

}  // namespace

namespace {

// The one way from a record's text to its values, which go to `use`: the written
// form where it fits, else the strict parser, after the whole text is checked as
// UTF-8 if `check_utf8` asks for it (what the written form reads, it has checked).
template <class Use>
RecordCheck read_record(std::string_view text, bool check_utf8, Use&& use) {
  RecordValues values;
  if (WrittenFormParser(text).parse(values)) {
    use(values);
    return RecordCheck::kValid;
  }
  if (check_utf8 && !is_valid_utf8(text)) return RecordCheck::kNotUtf8;
  RecordParser strict(text);
  if (!strict.parse(values = {})) return RecordCheck::kInvalid;
  use(values);
  return RecordCheck::kValid;
}

}  // namespace

std::optional<NodeUpdate> node_update_from_json(std::string_view text, TextChunks* chunks) {
  std::optional<NodeUpdate> update;  // one update, built where it is returned
  read_record(text, false,
              [&](const RecordValues& values) { values.fill(update.emplace(), chunks); });
  return update;
}

std::optional<NodeUpdate> node_update_from_json_strict(std::string_view text) {
  std::optional<NodeUpdate> update;
  RecordValues values;
  if (RecordParser strict(text); strict.parse(values)) values.fill(update.emplace(), nullptr);
  return update;
}

RecordCheck read_node_record(std::string_view bytes, TextChunks* chunks,
                             std::optional<NodeUpdate>& update) {
  return read_record(bytes, true,
                     [&](const RecordValues& values) { values.fill(update.emplace(), chunks); });
}

RecordCheck check_node_record(std::string_view bytes) {
  return read_record(bytes, true, [](const RecordValues&) {});
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
#if defined(__SSE2__)
  const auto ascii16 = [](const unsigned char* at) noexcept {
    return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))) == 0;
  };
#endif
  while (p != end) {
#if defined(__SSE2__)
    if (end - p >= 16) {
      if (ascii16(p)) {
        p += 16;
        continue;
      }
    } else if (text.size() >= 16 && ascii16(end - 16)) {
      // The last 16 bytes are plain ASCII, and those before p have been checked.
      return true;
    }
#endif
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & kHighBits) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    // The second byte's range depends on the lead: that is what excludes overlong
    // forms, UTF-16 surrogates and code points above U+10FFFF.
    std::ptrdiff_t length;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (end - p < length || p[1] < low || p[1] > high) return false;
    for (std::ptrdiff_t i = 2; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += length;
  }
  return true;
}

}  // namespace kovra
