#include "codec/node_record_json.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/float32_text.h"

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

// memcpy for the short texts of a record, without the call: whole words, the last
// one overlapping, and never a byte outside either range.
char* copy_text(char* out, std::string_view text) noexcept {
  const char* const p = text.data();
  const std::size_t n = text.size();
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) std::memcpy(out + i, p + i, 8);
    std::memcpy(out + n - 8, p + n - 8, 8);
  } else if (n >= 4) {
    const std::uint32_t first = load4(p);
    const std::uint32_t last = load4(p + n - 4);
    std::memcpy(out, &first, 4);
    std::memcpy(out + n - 4, &last, 4);
  } else if (n != 0) {
    out[0] = p[0];
    out[n / 2] = p[n / 2];
    out[n - 1] = p[n - 1];
  }
  return out + n;
}

// The string's content and closing quote; the opening quote comes with its key.
char* write_string_rest(char* out, std::string_view text, bool plain) noexcept {
  out = plain ? copy_text(out, text) : write_escaped(out, text);
  *out++ = '"';
  return out;
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

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
constexpr std::size_t literal_length(const char (&)[N]) noexcept {
  return N - 1;
}

// Each member is written with the comma that separates it from the one before; the
// first member's comma is then overwritten by the opening brace. Strings carry their
// opening quote in their key.
constexpr char kLabelKey[] = ",\"label\":\"";
constexpr char kSizeKey[] = ",\"size\":";
constexpr char kUrlKey[] = ",\"url\":\"";
constexpr char kRedKey[] = ",\"red\":";
constexpr char kGreenKey[] = ",\"green\":";
constexpr char kBlueKey[] = ",\"blue\":";
constexpr char kShowLabelTrue[] = ",\"showLabel\":true";
constexpr char kShowLabelFalse[] = ",\"showLabel\":false";

// The size is kept whole in the sketch, so that writing never reads it again.
enum SketchFlag : std::uint8_t {
  kLabelNeedsEscapes = 1,
  kUrlNeedsEscapes = 2,
  kSizePresent = 4,
  kSizeNull = 8,
  kSizeNegative = 16,
};

}  // namespace

std::size_t node_record_length(const NodeUpdate& update, RecordSketch& sketch) noexcept {
  sketch = RecordSketch{};
  // Every member counts its leading comma; the first one's is the opening brace.
  std::size_t length = update.empty() ? 2 : 1;
  if (const auto label = update.label()) {
    const std::size_t growth = escape_growth(*label);
    if (growth != 0) sketch.flags |= kLabelNeedsEscapes;
    length += literal_length(kLabelKey) + label->size() + growth + 1;
  }
  if (const auto size = update.size()) {
    length += literal_length(kSizeKey);
    sketch.flags |= kSizePresent;
    if (std::signbit(*size)) sketch.flags |= kSizeNegative;
    if (!std::isfinite(*size)) {
      sketch.flags |= kSizeNull;
      length += 4;
    } else if (*size == 0.0f) {
      length += std::signbit(*size) ? 4u : 3u;
    } else {
      const Float32Decimal decimal = float32_decimal(std::fabs(*size));
      sketch.size_significand = decimal.significand;
      sketch.size_exponent = static_cast<std::int8_t>(decimal.exponent);
      sketch.size_digits = static_cast<std::uint8_t>(decimal.digits);
      length += float32_decimal_text_length(std::signbit(*size), decimal);
    }
  }
  if (const auto url = update.url()) {
    const std::size_t growth = escape_growth(*url);
    if (growth != 0) sketch.flags |= kUrlNeedsEscapes;
    length += literal_length(kUrlKey) + url->size() + growth + 1;
  }
  if (const auto red = update.red()) length += literal_length(kRedKey) + colour_length(*red);
  if (const auto green = update.green()) {
    length += literal_length(kGreenKey) + colour_length(*green);
  }
  if (const auto blue = update.blue()) length += literal_length(kBlueKey) + colour_length(*blue);
  if (const auto show_label = update.show_label()) {
    length += *show_label ? literal_length(kShowLabelTrue) : literal_length(kShowLabelFalse);
  }
  return length;
}

std::size_t node_record_length(const NodeUpdate& update) noexcept {
  RecordSketch sketch;
  return node_record_length(update, sketch);
}

char* write_node_record(const NodeUpdate& update, const RecordSketch& sketch, char* out) noexcept {
  if (update.empty()) return write_literal(out, "{}");
  char* const start = out;
  if (const auto label = update.label()) {
    out = write_string_rest(write_literal(out, kLabelKey), *label,
                            (sketch.flags & kLabelNeedsEscapes) == 0);
  }
  if ((sketch.flags & kSizePresent) != 0) {
    out = write_literal(out, kSizeKey);
    const bool negative = (sketch.flags & kSizeNegative) != 0;
    if ((sketch.flags & kSizeNull) != 0) {
      out = write_literal(out, "null");
    } else if (sketch.size_digits == 0) {
      out = negative ? write_literal(out, "-0.0") : write_literal(out, "0.0");
    } else {
      const Float32Decimal decimal{sketch.size_significand, sketch.size_digits,
                                   sketch.size_exponent};
      out += float32_decimal_to_text(negative, decimal, out);
    }
  }
  if (const auto url = update.url()) {
    out = write_string_rest(write_literal(out, kUrlKey), *url,
                            (sketch.flags & kUrlNeedsEscapes) == 0);
  }
  if (const auto red = update.red()) out = write_colour(write_literal(out, kRedKey), *red);
  if (const auto green = update.green()) {
    out = write_colour(write_literal(out, kGreenKey), *green);
  }
  if (const auto blue = update.blue()) out = write_colour(write_literal(out, kBlueKey), *blue);
  if (const auto show_label = update.show_label()) {
    out = *show_label ? write_literal(out, kShowLabelTrue) : write_literal(out, kShowLabelFalse);
  }
  *start = '{';
  *out++ = '}';
  return out;
}

char* write_node_record(const NodeUpdate& update, char* out) noexcept {
  RecordSketch sketch;
  node_record_length(update, sketch);
  return write_node_record(update, sketch, out);
}

void node_update_to_json(const NodeUpdate& update, std::string& out) {
  const std::size_t start = out.size();
  RecordSketch sketch;
  out.resize(start + node_record_length(update, sketch));
  write_node_record(update, sketch, out.data() + start);
}

namespace {

enum Field : unsigned { kLabel, kSize, kUrl, kRed, kGreen, kBlue, kShowLabel, kUnknown };

Field field_of(std::string_view key) noexcept {
  static constexpr std::string_view kKeys[] = {"label", "size", "url",      "red",
                                               "green", "blue", "showLabel"};
  for (unsigned i = 0; i < 7; ++i) {
    if (key == kKeys[i]) return static_cast<Field>(i);
  }
  return kUnknown;
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

// The fields as they are parsed, turned into a NodeUpdate once the record is complete.
struct RecordValues {
  std::optional<std::string_view> label;
  std::optional<float> size;
  std::optional<std::string_view> url;
  std::optional<std::uint8_t> red;
  std::optional<std::uint8_t> green;
  std::optional<std::uint8_t> blue;
  std::optional<bool> show_label;
  std::string label_buffer;  // label and url point here only when they held escapes
  std::string url_buffer;

  NodeUpdate build() const {
    NodeUpdate update;
    if (label || url) update.set_texts(label, url);
    if (size) update.set_size(*size);
    if (red) update.set_red(*red);
    if (green) update.set_green(*green);
    if (blue) update.set_blue(*blue);
    if (show_label) update.set_show_label(*show_label);
    return update;
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

  // Takes `literal` if the text continues with it.
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

  // The first byte from `p` on that ends a plain run of a string (a quote, a
  // backslash or a control byte), or end_.
  const char* find_special(const char* p) const noexcept {
#if defined(__SSE2__)
    for (; end_ - p >= 16; p += 16) {
      const unsigned mask = special_mask(load16(p));
      if (mask != 0) return p + std::countr_zero(mask);
    }
#endif
    for (; end_ - p >= 8; p += 8) {
      const std::uint64_t found = has_special_byte(load8(p));
      if (found == 0) continue;
      if constexpr (std::endian::native == std::endian::little) {
        return p + std::countr_zero(found) / 8;
      }
      break;
    }
    while (p != end_ && kEscapeGrowth[static_cast<unsigned char>(*p)] == 0) ++p;
    return p;
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

  // One to three digits without a leading zero, and no fraction or exponent after
  // them: what is left of the number grammar is refused for a colour anyway.
  bool parse_colour(std::optional<std::uint8_t>& colour) noexcept {
    const auto digit_at = [this](const char* p) noexcept {
      return p != end_ ? static_cast<unsigned>(static_cast<unsigned char>(*p) - '0') : 10u;
    };
    const char* p = p_;
    unsigned value = digit_at(p);
    if (value > 9) return false;
    ++p;
    if (value != 0) {
      for (int i = 0; i < 2 && digit_at(p) <= 9; ++i) value = value * 10 + digit_at(p++);
    }
    if (p != end_ && (digit_at(p) <= 9 || *p == '.' || *p == 'e' || *p == 'E')) return false;
    if (value > 255) return false;
    colour = static_cast<std::uint8_t>(value);
    p_ = p;
    return true;
  }

  // Parses the value of `field` at p_; null leaves the field absent.
  bool parse_field(Field field, RecordValues& values) {
    if (p_ == end_) return false;
    if (*p_ == 'n') return take("null");
    switch (field) {
      case kLabel:
        return *p_ == '"' && scan_string(&values.label_buffer, &values.label.emplace());
      case kUrl:
        return *p_ == '"' && scan_string(&values.url_buffer, &values.url.emplace());
      case kSize: {
        const char* const after = parse_json_float32(p_, end_, values.size);
        if (after == nullptr) return false;
        p_ = after;
        return values.size.has_value();
      }
      case kRed:
        return parse_colour(values.red);
      case kGreen:
        return parse_colour(values.green);
      case kBlue:
        return parse_colour(values.blue);
      case kShowLabel:
        if (take("true")) {
          values.show_label = true;
          return true;
        }
        if (take("false")) {
          values.show_label = false;
          return true;
        }
        return false;
      case kUnknown:
        break;
    }
    return false;
  }

  // Reads a key and its colon. A known key written plainly, with the colon right
  // behind it, is matched whole; escapes, whitespace and other names take the
  // general path, which gives the same result for the plain form.
  bool read_key(Field& field, std::string& key_buffer) {
    if (p_ == end_ || *p_ != '"') return false;
    const auto known = [&field](Field which) noexcept {
      field = which;
      return true;
    };
    switch (end_ - p_ >= 2 ? p_[1] : '\0') {
      case 'l':
        if (take("\"label\":")) return known(kLabel);
        break;
      case 's':
        if (take("\"size\":")) return known(kSize);
        if (take("\"showLabel\":")) return known(kShowLabel);
        break;
      case 'u':
        if (take("\"url\":")) return known(kUrl);
        break;
      case 'r':
        if (take("\"red\":")) return known(kRed);
        break;
      case 'g':
        if (take("\"green\":")) return known(kGreen);
        break;
      case 'b':
        if (take("\"blue\":")) return known(kBlue);
        break;
      default:
        break;
    }
    std::string_view key;
    if (!scan_string(&key_buffer, &key) || !consume(':')) return false;
    field = field_of(key);
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
      Field field;
      if (!read_key(field, key_buffer)) return false;
      skip_whitespace();
      if (field == kUnknown) {
        if (!skip_value()) return false;
      } else {
        // A repeated key fails even when its first value was null.
        if ((seen & (1u << field)) != 0) return false;
        seen |= 1u << field;
        if (!parse_field(field, values)) return false;
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
    for (unsigned i = 0; i < 7; ++i) {
      if (i > 0 && !consume(',')) return false;
      skip_whitespace();
      if (!parse_field(static_cast<Field>(i), values)) return false;
    }
    return consume(']');
  }

  const char* p_;
  const char* const end_;
};

}  // namespace

std::optional<NodeUpdate> node_update_from_json(std::string_view text) {
  RecordValues values;
  if (!RecordParser(text).parse(values)) return std::nullopt;
  return values.build();
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
#if defined(__SSE2__)
    if (end - p >= 16 &&
        _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) == 0) {
      p += 16;
      continue;
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
