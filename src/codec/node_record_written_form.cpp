// The written-form parser, and the entry of every record read.
//
// Most records come from the writer, so a record is first tried in exactly the
// writer's form; any other text goes to the strict parser (node_record_strict.cpp)
// from its start. The strict parser is the general twin: whatever the written
// form accepts, it accepts with the same values, and
// fast_path_agrees_with_the_strict_parser (tests/cpp/node_record_json_test.cpp)
// and fuzz/fuzz_node_record.cpp hold the two to that.
//
// When UTF-8 is checked, for all of the record code: bytes from a document
// (read_node_record, check_node_record) are checked exactly once before any value
// of them is used, and are refused as kNotUtf8 exactly when they are not UTF-8. A
// record in the written form is checked as it is read: outside its texts it
// matched ASCII only, and a text is checked where its scan saw a byte above 0x7F.
// Any other record is checked whole before the strict parser, which checks
// nothing. node_update_from_json takes text already known to be UTF-8 (the
// merge's records, checked when their document was walked) and checks no more
// than the written form does on its way.
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "codec/float32_text.h"
#include "codec/json_string_bytes.h"
#include "codec/node_record_json.h"
#include "codec/node_record_parts.h"
#include "codec/utf8.h"

namespace kovra {

namespace {

// Records exactly as the writer makes them: members in field order, no
// whitespace, strings without escapes, read without looking up keys or skipping
// whitespace.
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
        p_ = json_bytes::find_special(p_, end_, high);
        if (p_ == end_ || *p_ != '"') return false;
        const std::string_view text(start, static_cast<std::size_t>(p_ - start));
        // Bytes outside texts were matched as ASCII: a record read here is valid
        // UTF-8 once its texts are.
        if (high != 0 && !is_valid_utf8(text)) return false;
        (F == NodeField::kLabel ? values.label : values.url).emplace(text);
        ++p_;
        return true;
      } else if constexpr (kKind == NodeFieldKind::kNumber) {
        p_ = read_json_float32_one_pass(p_, end_, values.size);
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
        !json_bytes::same_bytes<kSize - 1>(p_ + 1, kBytes.data() + 1)) {
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

// The one way from a record's text to its values, which go to `use`: the written
// form where it fits, else the strict parser, after the whole text is checked as
// UTF-8 when `check_utf8` says the bytes come from a document.
template <class Use>
RecordCheck read_record(std::string_view text, bool check_utf8, Use&& use) {
  RecordValues values;
  if (WrittenFormParser(text).parse(values)) {
    use(values);
    return RecordCheck::kValid;
  }
  if (check_utf8 && !is_valid_utf8(text)) return RecordCheck::kNotUtf8;
  DecodedTexts decoded;
  if (!parse_record_strict(text, values = {}, decoded)) return RecordCheck::kInvalid;
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

RecordCheck read_node_record(std::string_view bytes, TextChunks* chunks,
                             std::optional<NodeUpdate>& update) {
  return read_record(bytes, true,
                     [&](const RecordValues& values) { values.fill(update.emplace(), chunks); });
}

RecordCheck check_node_record(std::string_view bytes) {
  return read_record(bytes, true, [](const RecordValues&) {});
}

}  // namespace kovra
