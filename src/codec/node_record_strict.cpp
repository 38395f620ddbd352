// The strict parser of node records: any JSON text of a record (an object with
// its members in any order, whitespace, escapes, unknown keys of any depth, or the
// array of the seven fields), taken from text already checked as UTF-8; when
// UTF-8 is checked is settled in node_record_written_form.cpp. It is the general
// twin of the written-form parser there: fast_path_agrees_with_the_strict_parser
// (tests/cpp/node_record_json_test.cpp) and fuzz/fuzz_node_record.cpp run both on
// the same texts. Its own shortcut, a known key matched whole, gives what the
// general key path gives for the plain form.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "codec/float32_text.h"
#include "codec/json_string_bytes.h"
#include "codec/node_record_json.h"
#include "codec/node_record_parts.h"

namespace kovra {

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

class RecordParser {
 public:
  RecordParser(std::string_view text, DecodedTexts& decoded) noexcept
      : p_(text.data()), end_(text.data() + text.size()), decoded_(decoded) {}

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
    if (static_cast<std::size_t>(end_ - p_) < kSize ||
        !json_bytes::same_bytes<kSize>(p_, kText.data())) {
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
    return json_bytes::find_special(p, end_, high);
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
    std::optional<float> value;  // a skipped number's value does not matter
    const char* const after = read_json_float32(p_, end_, value);
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
        return *p_ == '"' && scan_string(&decoded_.label, &values.label.emplace());
      case NodeField::kUrl:
        return *p_ == '"' && scan_string(&decoded_.url, &values.url.emplace());
      case NodeField::kSize: {
        const char* const after = read_json_float32_one_pass(p_, end_, values.size);
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
  DecodedTexts& decoded_;
};

}  // namespace

bool parse_record_strict(std::string_view text, RecordValues& values, DecodedTexts& decoded) {
  return RecordParser(text, decoded).parse(values);
}

std::optional<NodeUpdate> node_update_from_json_strict(std::string_view text) {
  std::optional<NodeUpdate> update;
  RecordValues values;
  DecodedTexts decoded;
  if (parse_record_strict(text, values, decoded)) values.fill(update.emplace(), nullptr);
  return update;
}

}  // namespace kovra
