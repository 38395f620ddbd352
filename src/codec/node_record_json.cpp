#include "codec/node_record_json.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

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

// Nonzero when any of the eight bytes of `word` is a control byte, a quote or a
// backslash: the bytes that end a plain run inside a JSON string.
std::uint64_t has_special_byte(std::uint64_t word) noexcept {
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  return ((word - kOnes * 0x20) & ~word & kHighBits) | ((quote - kOnes) & ~quote & kHighBits) |
         ((backslash - kOnes) & ~backslash & kHighBits);
}

std::size_t escaped_length(std::string_view text) noexcept {
  std::size_t growth = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
  for (; end - p >= 8; p += 8) {
    if (has_special_byte(load8(p)) == 0) continue;
    for (int i = 0; i < 8; ++i) growth += kEscapeGrowth[static_cast<unsigned char>(p[i])];
  }
  for (; p != end; ++p) growth += kEscapeGrowth[static_cast<unsigned char>(*p)];
  return text.size() + 2 + growth;
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

char* write_string(char* out, std::string_view text) noexcept {
  *out++ = '"';
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* run = p;
  while (p != end) {
    if (end - p >= 8 && has_special_byte(load8(p)) == 0) {
      p += 8;
      continue;
    }
    const auto c = static_cast<unsigned char>(*p);
    if (kEscapeGrowth[c] == 0) {
      ++p;
      continue;
    }
    std::memcpy(out, run, static_cast<std::size_t>(p - run));
    out = write_escape(out + (p - run), c);
    run = ++p;
  }
  if (run != end) {  // an empty text may have no storage at all
    std::memcpy(out, run, static_cast<std::size_t>(end - run));
    out += end - run;
  }
  *out++ = '"';
  return out;
}

std::size_t digit_count(std::uint8_t value) noexcept {
  return value >= 100 ? 3 : value >= 10 ? 2 : 1;
}

char* write_colour(char* out, std::uint8_t value) noexcept {
  if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
  if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
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

constexpr char kLabelKey[] = "\"label\":";
constexpr char kSizeKey[] = "\"size\":";
constexpr char kUrlKey[] = "\"url\":";
constexpr char kRedKey[] = "\"red\":";
constexpr char kGreenKey[] = "\"green\":";
constexpr char kBlueKey[] = "\"blue\":";
constexpr char kShowLabelKey[] = "\"showLabel\":";

std::size_t size_text_length(float value) noexcept {
  if (!std::isfinite(value)) return 4;
  char buffer[kFloat32TextMax];
  return float32_to_text(value, buffer);
}

}  // namespace

std::size_t node_record_length(const NodeUpdate& update) noexcept {
  std::size_t length = 2;
  std::size_t members = 0;
  if (const auto label = update.label()) {
    length += literal_length(kLabelKey) + escaped_length(*label);
    ++members;
  }
  if (const auto size = update.size()) {
    length += literal_length(kSizeKey) + size_text_length(*size);
    ++members;
  }
  if (const auto url = update.url()) {
    length += literal_length(kUrlKey) + escaped_length(*url);
    ++members;
  }
  if (const auto red = update.red()) {
    length += literal_length(kRedKey) + digit_count(*red);
    ++members;
  }
  if (const auto green = update.green()) {
    length += literal_length(kGreenKey) + digit_count(*green);
    ++members;
  }
  if (const auto blue = update.blue()) {
    length += literal_length(kBlueKey) + digit_count(*blue);
    ++members;
  }
  if (const auto show_label = update.show_label()) {
    length += literal_length(kShowLabelKey) + (*show_label ? 4 : 5);
    ++members;
  }
  return members == 0 ? length : length + members - 1;
}

char* write_node_record(const NodeUpdate& update, char* out) noexcept {
  *out++ = '{';
  char separator = '\0';  // becomes a comma once the first member is written
  const auto open_member = [&](char* at) noexcept {
    if (separator != '\0') *at++ = separator;
    separator = ',';
    return at;
  };
  if (const auto label = update.label()) {
    out = write_string(write_literal(open_member(out), kLabelKey), *label);
  }
  if (const auto size = update.size()) {
    out = write_literal(open_member(out), kSizeKey);
    if (std::isfinite(*size)) {
      out += float32_to_text(*size, out);
    } else {
      out = write_literal(out, "null");
    }
  }
  if (const auto url = update.url()) {
    out = write_string(write_literal(open_member(out), kUrlKey), *url);
  }
  if (const auto red = update.red()) {
    out = write_colour(write_literal(open_member(out), kRedKey), *red);
  }
  if (const auto green = update.green()) {
    out = write_colour(write_literal(open_member(out), kGreenKey), *green);
  }
  if (const auto blue = update.blue()) {
    out = write_colour(write_literal(open_member(out), kBlueKey), *blue);
  }
  if (const auto show_label = update.show_label()) {
    out = write_literal(open_member(out), kShowLabelKey);
    out = *show_label ? write_literal(out, "true") : write_literal(out, "false");
  }
  *out++ = '}';
  return out;
}

void node_update_to_json(const NodeUpdate& update, std::string& out) {
  const std::size_t start = out.size();
  const std::size_t length = node_record_length(update);
  out.resize(start + length);
  write_node_record(update, out.data() + start);
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
  void skip_whitespace() noexcept {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool consume(char c) noexcept {
    skip_whitespace();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  bool consume_literal(std::string_view word) noexcept {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0) {
      return false;
    }
    p_ += word.size();
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

  // Reads the string at p_ (an opening quote). `text` receives its decoded content:
  // a view into the record when it holds no escape, else into `scratch`. With
  // scratch == nullptr the string is only checked.
  bool scan_string(std::string* scratch, std::string_view* text) {
    const char* const start = ++p_;
    for (;;) {
      if (end_ - p_ >= 8 && has_special_byte(load8(p_)) == 0) {
        p_ += 8;
        continue;
      }
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        if (text != nullptr) *text = std::string_view(start, static_cast<std::size_t>(p_ - start));
        ++p_;
        return true;
      }
      if (c == '\\') break;
      if (c < 0x20) return false;
      ++p_;
    }
    if (scratch != nullptr) scratch->assign(start, p_);
    for (;;) {
      const char* const run = p_;
      while (p_ != end_ && kEscapeGrowth[static_cast<unsigned char>(*p_)] == 0) ++p_;
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
          if (!consume_literal("true")) return false;
          break;
        case 'f':
          if (!consume_literal("false")) return false;
          break;
        case 'n':
          if (!consume_literal("null")) return false;
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
    JsonNumber number;
    const char* const after = scan_json_number(p_, end_, number);
    if (after == nullptr || number.negative || number.has_fraction || number.has_exponent ||
        number.integer.size() > 3) {
      return false;
    }
    unsigned value = 0;
    for (const char c : number.integer) value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return false;
    colour = static_cast<std::uint8_t>(value);
    p_ = after;
    return true;
  }

  // Parses the value of `field` at p_; null leaves the field absent.
  bool parse_field(Field field, RecordValues& values) {
    if (p_ == end_) return false;
    if (*p_ == 'n') return consume_literal("null");
    switch (field) {
      case kLabel:
        return *p_ == '"' && scan_string(&values.label_buffer, &values.label.emplace());
      case kUrl:
        return *p_ == '"' && scan_string(&values.url_buffer, &values.url.emplace());
      case kSize: {
        JsonNumber number;
        const char* const after = scan_json_number(p_, end_, number);
        if (after == nullptr) return false;
        values.size = json_number_to_float32(number);
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
        if (consume_literal("true")) {
          values.show_label = true;
          return true;
        }
        if (consume_literal("false")) {
          values.show_label = false;
          return true;
        }
        return false;
      case kUnknown:
        break;
    }
    return false;
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
      skip_whitespace();
      std::string_view key;
      if (p_ == end_ || *p_ != '"' || !scan_string(&key_buffer, &key) || !consume(':')) {
        return false;
      }
      skip_whitespace();
      const Field field = field_of(key);
      if (field == kUnknown) {
        if (!skip_value()) return false;
      } else {
        // A repeated key fails even when its first value was null.
        if ((seen & (1u << field)) != 0) return false;
        seen |= 1u << field;
        if (!parse_field(field, values)) return false;
      }
      skip_whitespace();
      if (p_ == end_) return false;
      const char c = *p_++;
      if (c == '}') return true;
      if (c != ',') return false;
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
