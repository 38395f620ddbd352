// What the record writer and the two record parsers share: the bytes of each
// member as the writer lays them out, a colour's digits, the values a parse
// collects, and the strict parser's entry, which the written form falls back on.
// Inside the codec only; the record's public interface is node_record_json.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "diff/node_update.h"

namespace kovra {

// Each member is written with the comma that separates it from the one before; the
// first member's comma is then overwritten by the opening brace. Strings carry their
// opening quote in their member's start; a flag's member is written whole.
enum class MemberPart { kStart, kTrue, kFalse };

// The bytes of a member part of field F, built from the field list at compile time,
// in an array of their exact size so that copying them is a fixed-size move. Each
// file that uses it has its own copy (static): an inline variable would be reached
// through the GOT in the module's position-independent code, a load per member.
template <NodeField F, MemberPart P>
static constexpr auto kMember = [] {
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
static constexpr std::string_view kQuotedKey(kMember<F, MemberPart::kStart>.data() + 1,
                                             info_of(F).record_key.size() + 3);

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

// The fields as they are parsed, put into a NodeUpdate once the record is complete.
// Texts are views into the record, or into DecodedTexts when they held escapes.
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

// Where the strict parser puts the texts that held escapes, decoded; the values'
// views into them last as long as this.
struct DecodedTexts {
  std::string label;
  std::string url;
};

// The strict parser (node_record_strict.cpp): any JSON text of a record, in UTF-8
// already checked by the caller. False for a text it refuses; `values` may then
// hold part of what it read.
bool parse_record_strict(std::string_view text, RecordValues& values, DecodedTexts& decoded);

}  // namespace kovra
