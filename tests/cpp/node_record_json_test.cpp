// The node record text: the exact form the writer produces, and what the strict
// parser accepts and refuses.
#include "codec/node_record_json.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.h"

namespace {

using kovra::NodeUpdate;

struct Fields {
  std::optional<std::string> label = std::nullopt;
  std::optional<float> size = std::nullopt;
  std::optional<std::string> url = std::nullopt;
  std::optional<std::uint8_t> red = std::nullopt;
  std::optional<std::uint8_t> green = std::nullopt;
  std::optional<std::uint8_t> blue = std::nullopt;
  std::optional<bool> show_label = std::nullopt;
};

NodeUpdate make(const Fields& f) {
  NodeUpdate update;
  if (f.label) update.set_label(*f.label);
  if (f.size) update.set_size(*f.size);
  if (f.url) update.set_url(*f.url);
  if (f.red) update.set_red(*f.red);
  if (f.green) update.set_green(*f.green);
  if (f.blue) update.set_blue(*f.blue);
  if (f.show_label) update.set_show_label(*f.show_label);
  return update;
}

std::string to_json(const NodeUpdate& update) {
  std::string text;
  kovra::node_update_to_json(update, text);
  CHECK_EQ(text.size(), kovra::node_record_length(update));
  return text;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(writer_forms) {
  const struct {
    Fields fields;
    const char* text;
  } rows[] = {
      {{}, "{}"},
      {{"a\"b", 0.1f, "/img/a.png", 255, 0, 7, true},
       R"({"label":"a\"b","size":0.1,"url":"/img/a.png","red":255,"green":0,"blue":7,"showLabel":true})"},
      {{"Hub", 2.5f}, R"({"label":"Hub","size":2.5})"},
      {{.show_label = false}, R"({"showLabel":false})"},
      {{.green = 42}, R"({"green":42})"},
      {{"x", kNaN, "u"}, R"({"label":"x","size":null,"url":"u"})"},
      {{.size = kInf, .blue = 1}, R"({"size":null,"blue":1})"},
      {{.size = -kInf}, R"({"size":null})"},
      {{.size = -0.0f}, R"({"size":-0.0})"},
      {{.url = ""}, R"({"url":""})"},
      {{"\"\\\t\x01"}, R"({"label":"\"\\\t\u0001"})"},
      {{"caf\xc3\xa9/\x7f"}, "{\"label\":\"caf\xc3\xa9/\x7f\"}"},
      {{std::string("a\0b", 3)}, R"({"label":"a\u0000b"})"},
  };
  for (const auto& row : rows) CHECK_EQ(to_json(make(row.fields)), std::string(row.text));
}

TEST(writer_fixes_member_order) {
  NodeUpdate update;
  update.set_show_label(true);
  update.set_blue(3);
  update.set_url("u");
  update.set_red(1);
  update.set_size(1.0f);
  update.set_green(2);
  update.set_label("l");
  CHECK_EQ(
      to_json(update),
      std::string(
          R"({"label":"l","size":1.0,"url":"u","red":1,"green":2,"blue":3,"showLabel":true})"));
}

TEST(writer_escapes_every_control_byte) {
  std::string label;
  for (char c = 1; c < 0x20; ++c) label.push_back(c);
  CHECK_EQ(to_json(make({label})),
           std::string(R"({"label":")"
                       R"(\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
                       R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a)"
                       R"(\u001b\u001c\u001d\u001e\u001f"})"));
  // Long runs take the eight-byte scan; escapes at its edges must not be missed.
  std::string long_label(37, 'x');
  long_label[7] = '"';
  long_label[8] = '\\';
  long_label[36] = '\n';
  const std::string text = to_json(make({long_label, std::nullopt, long_label}));
  const auto back = kovra::node_update_from_json(text);
  CHECK(back && back->label() == long_label && back->url() == long_label);
}

TEST(parser_accepts) {
  const struct {
    const char* name;
    std::string text;
    Fields fields;
  } rows[] = {
      {"empty object", "{}", {}},
      {"label null", R"({"label":null})", {}},
      {"all null",
       R"({"label":null,"size":null,"url":null,"red":null,"green":null,"blue":null,"showLabel":null})",
       {}},
      {"members in any order",
       R"({"showLabel":false,"red":0,"label":"L"})",
       {.label = "L", .red = 0, .show_label = false}},
      {"whitespace everywhere",
       " \t\r\n{ \"label\" : \"L\" , \"size\" : 5 }\n ",
       {.label = "L", .size = 5.0f}},
      {"unknown key skipped",
       R"({"x":[1,{"y":[true,false,null,"s"]}],"label":"L"})",
       {.label = "L"}},
      {"show_label is unknown", R"({"show_label":7,"label":"L"})", {.label = "L"}},
      {"case matters", R"({"Label":"x","SIZE":"y"})", {}},
      {"keys close to the known ones",
       R"({"labelx":1,"sizes":2,"lab":3,"showLabels":4,"url ":5,"re":6,"":7,"b":8})",
       {}},
      {"whitespace before a colon", R"({"red" :1,"size"	:2})", {.size = 2.0f, .red = 1}},
      {"unknown key twice", R"({"x":1,"x":2})", {}},
      {"skipped number not evaluated", R"({"x":1e400,"label":"L"})", {.label = "L"}},
      {"escaped key",
       R"({"\u006cabel":"L","show\u004cabel":true})",
       {.label = "L", .show_label = true}},
      {"string escapes",
       R"({"label":"\"\\\/\b\f\n\r\t\u00e9\u00E9"})",
       {.label = "\"\\/\b\f\n\r\t\xc3\xa9\xc3\xa9"}},
      {"surrogate pair",
       R"({"label":"\ud83d\ude00","url":"\uD83D\uDE00"})",
       {.label = "\xf0\x9f\x98\x80", .url = "\xf0\x9f\x98\x80"}},
      {"nul escape", R"({"label":"\u0000"})", {.label = std::string(1, '\0')}},
      {"raw utf-8", "{\"label\":\"\xe2\x82\xac\"}", {.label = "\xe2\x82\xac"}},
      {"colour bounds", R"({"red":0,"green":255,"blue":9})", {.red = 0, .green = 255, .blue = 9}},
      {"size integer", R"({"size":5})", {.size = 5.0f}},
      {"size overflow to infinity", R"({"size":1e39})", {.size = kInf}},
      {"size negative zero", R"({"size":-0})", {.size = -0.0f}},
      {"array with label", R"(["L",null,null,null,null,null,null])", {.label = "L"}},
      {"array full", R"([ "L" , 1.5 , "U" , 1 , 2 , 3 , true ])", {"L", 1.5f, "U", 1, 2, 3, true}},
      {"array all null", "[null,null,null,null,null,null,null]", {}},
  };
  for (const auto& row : rows) {
    const auto update = kovra::node_update_from_json(row.text);
    if (!update || !(*update == make(row.fields)))
      CHECK_EQ(std::string(row.name), "accepted as given");
  }
}

TEST(parser_refuses) {
  const struct {
    const char* name;
    std::string text;
  } rows[] = {
      {"empty text", ""},
      {"whitespace only", " "},
      {"top-level null", "null"},
      {"top-level string", R"("label")"},
      {"top-level number", "1"},
      {"byte order mark", "\xef\xbb\xbf{}"},
      {"trailing garbage", "{} x"},
      {"two records", "{}{}"},
      {"trailing nul", std::string("{}\0", 3)},
      {"vertical tab", "\v{}"},
      {"unclosed", R"({"label":"L")"},
      {"trailing comma", R"({"label":"L",})"},
      {"missing colon", R"({"label" "L"})"},
      {"missing comma", R"({"label":"L" "url":"U"})"},
      {"non-string key", R"({label:"L"})"},
      {"single quotes", "{'label':'L'}"},
      {"duplicate label", R"({"label":"a","label":"b"})"},
      {"duplicate after null", R"({"label":null,"label":"b"})"},
      {"duplicate via escape", R"({"size":1,"\u0073ize":2})"},
      {"label number", R"({"label":1})"},
      {"url bool", R"({"url":true})"},
      {"raw control byte", "{\"label\":\"a\tb\"}"},
      {"raw control byte after a long run", "{\"label\":\"abcdefghijklmnop\x1fq\"}"},
      {"raw DEL is fine, raw NUL is not", std::string("{\"label\":\"\x7f\0\"}", 14)},
      {"bad escape", R"({"label":"\x"})"},
      {"short unicode escape", R"({"label":"\u12"})"},
      {"non-hex unicode escape", R"({"label":"\u12g4"})"},
      {"lone high surrogate", R"({"label":"\ud83d"})"},
      {"high surrogate then letter", R"({"label":"\ud83dx"})"},
      {"high surrogate then non-low", R"({"label":"\ud83d\u0041"})"},
      {"two high surrogates", R"({"label":"\ud83d\ud83d"})"},
      {"low surrogate escape in upper-case U", R"({"label":"\ud83d\Ude00"})"},
      {"lone low surrogate", R"({"label":"\ude00"})"},
      {"colour 256", R"({"red":256})"},
      {"colour 1000", R"({"red":1000})"},
      {"colour -1", R"({"green":-1})"},
      {"colour -0", R"({"green":-0})"},
      {"colour 1.0", R"({"blue":1.0})"},
      {"colour 1e2", R"({"blue":1e2})"},
      {"colour string", R"({"red":"1"})"},
      {"colour bool", R"({"red":true})"},
      {"colour leading zero", R"({"red":01})"},
      {"colour 00", R"({"red":00})"},
      {"colour 2550", R"({"red":2550})"},
      {"colour 0.5", R"({"red":0.5})"},
      {"colour 7E1", R"({"red":7E1})"},
      {"colour then letter", R"({"red":7x})"},
      {"colour in array with fraction", "[null,null,null,1.5,null,null,null]"},
      {"size string", R"({"size":"5"})"},
      {"size bool", R"({"size":true})"},
      {"size array", R"({"size":[5]})"},
      {"size 1e400", R"({"size":1e400})"},
      {"size leading zero", R"({"size":01})"},
      {"size plus sign", R"({"size":+1})"},
      {"size bare point", R"({"size":1.})"},
      {"size NaN", R"({"size":NaN})"},
      {"show_label number", R"({"showLabel":1})"},
      {"show_label string", R"({"showLabel":"true"})"},
      {"literal typo", R"({"showLabel":tru})"},
      {"null typo", R"({"label":nul})"},
      {"skipped value broken", R"({"x":[1,],"label":"L"})"},
      {"skipped object missing colon", R"({"x":{"a" 1}})"},
      {"skipped bad number", R"({"x":-})"},
      {"skipped bad string", R"({"x":"\q"})"},
      {"skipped mismatched brackets", R"({"x":[1}})"},
      {"array of one", R"(["L"])"},
      {"array of six", "[null,null,null,null,null,null]"},
      {"array of eight", "[null,null,null,null,null,null,null,null]"},
      {"empty array", "[]"},
      {"array wrong type", R"([1,null,null,null,null,null,null])"},
      {"array trailing comma", "[null,null,null,null,null,null,null,]"},
  };
  for (const auto& row : rows) {
    if (kovra::node_update_from_json(row.text)) CHECK_EQ(std::string(row.name), "refused");
  }
}

TEST(parser_skips_deep_values_without_recursion) {
  constexpr std::size_t kDepth = 1000000;
  const std::string arrays = std::string(kDepth, '[') + std::string(kDepth, ']');
  CHECK(kovra::node_update_from_json(R"({"x":)" + arrays + R"(,"label":"L"})") ==
        std::optional<NodeUpdate>(make({"L"})));
  std::string objects;
  for (std::size_t i = 0; i < kDepth; ++i) objects += R"({"a":)";
  objects += "0" + std::string(kDepth, '}');
  CHECK(kovra::node_update_from_json(R"({"x":)" + objects + "}").has_value());
  CHECK(!kovra::node_update_from_json(R"({"x":)" + std::string(kDepth, '[') + "}").has_value());
  CHECK(!kovra::node_update_from_json(R"({"x":)" + std::string(kDepth, '{') + "}").has_value());
}

TEST(round_trip_through_text) {
  const Fields rows[] = {
      {"", 0.0f, "", 0, 0, 0, false},
      {"\xf0\x9f\x98\x80\"\\/\x1f", -3.4028235e38f, "\x7f", 255, 255, 255, true},
      {.size = 1e-45f},
      {.size = 1e13f},
  };
  for (const auto& fields : rows) {
    const NodeUpdate update = make(fields);
    const auto back = kovra::node_update_from_json(to_json(update));
    CHECK(back && *back == update);
  }
}

TEST(utf8_validation) {
  const struct {
    std::string text;
    bool valid;
  } rows[] = {
      {"", true},
      {"plain ascii text, longer than eight bytes", true},
      {"\xc2\x80\xdf\xbf", true},
      {"\xe0\xa0\x80\xef\xbf\xbf", true},
      {"\xed\x9f\xbf\xee\x80\x80", true},  // around the surrogate block
      {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", true},
      {"\xc0\x80", false},          // overlong NUL
      {"\xc1\xbf", false},          // overlong
      {"\xe0\x9f\xbf", false},      // overlong three-byte
      {"\xf0\x8f\xbf\xbf", false},  // overlong four-byte
      {"\xed\xa0\x80", false},      // encoded surrogate
      {"\xed\xbf\xbf", false},
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"\xff", false},
      {"\x80", false},          // lone continuation
      {"\xe2\x82", false},      // truncated
      {"\xe2\x28\xa1", false},  // bad continuation
      {"abcdefgh\xc3", false},  // truncated after a fast block
      {"abcdefghijklmnop\xc3", false},
      {"abcdefghijklmnopqrstuvwxyz012345\xe2\x82\xac", true},
  };
  for (const auto& row : rows) {
    if (kovra::is_valid_utf8(row.text) != row.valid) {
      CHECK_EQ(kovra::testing::printable(row.text), std::string(row.valid ? "valid" : "invalid"));
    }
  }
}

// What the writer must produce for a text: the escapes of the fixed form, one byte
// at a time.
std::string escaped(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      out += buffer;
    } else {
      out += c;
    }
  }
  for (const auto& [raw, short_form] :
       {std::pair{"\\u0008", "\\b"}, std::pair{"\\u0009", "\\t"}, std::pair{"\\u000a", "\\n"},
        std::pair{"\\u000c", "\\f"}, std::pair{"\\u000d", "\\r"}}) {
    for (std::size_t at; (at = out.find(raw)) != std::string::npos;) out.replace(at, 6, short_form);
  }
  return out + "\"";
}

TEST(strings_with_a_special_byte_anywhere) {
  // Every length across the word and block sizes of the scans, with the one byte that
  // needs an escape at every position: the writer escapes it, the reader decodes it,
  // and left raw in a record it is refused.
  for (std::size_t length = 0; length <= 40; ++length) {
    for (std::size_t at = 0; at <= length; ++at) {
      for (const char special : {'"', '\\', '\x01', '\n', '\x1f', 'x'}) {
        std::string text(length, 'a');
        if (at < length) text[at] = special;
        const NodeUpdate update = make({.label = text, .url = text + "/"});
        const std::string json = to_json(update);
        CHECK_EQ(json, "{\"label\":" + escaped(text) + ",\"url\":" + escaped(text + "/") + "}");
        CHECK(kovra::node_update_from_json(json) == std::optional<NodeUpdate>(update));
        if (at < length && static_cast<unsigned char>(special) < 0x20) {
          CHECK(!kovra::node_update_from_json("{\"label\":\"" + text + "\"}").has_value());
        }
      }
    }
  }
}

// Records in the writer's form and in the other forms the parser takes (any member
// order, whitespace, escapes, numbers near rounding boundaries, nulls, repeats,
// unknown keys): with and without the fast path for the writer's form, the same
// texts are accepted with the same values.
TEST(fast_path_agrees_with_the_strict_parser) {
  std::mt19937_64 rng(31);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const auto text_value = [&] {
    static const char* const kPieces[] = {
        "a", "Hub", "\\u0061", "\\\"", "\\n",          "\xc3\xa9", "\\ud83d\\ude00",
        "/", "\\/", "\t",      "\xc3", "\xed\xa0\x80", "\x80"};
    std::string value = "\"";
    for (std::size_t n = pick(24); n-- > 0;) {
      value += kPieces[pick(n % 4 == 0 ? std::size(kPieces) : 2)];
    }
    return value + "\"";
  };
  const auto number_value = [&]() -> std::string {
    char out[64];
    const float low =
        std::ldexp(static_cast<float>(rng() >> 40) + 1.0f, static_cast<int>(pick(80)) - 60);
    const double between = (double{low} + double{std::nextafter(low, kInf)}) / 2;
    switch (pick(6)) {
      case 0:
        std::snprintf(out, sizeof out, "%.*g", static_cast<int>(pick(17) + 1), between);
        return out;
      case 1:
        std::snprintf(out, sizeof out, "%.17e", between * (pick(2) ? 1 : -1));
        return out;
      case 2:
        return std::to_string(pick(100000));
      case 3:
        return pick(2) ? "-0" : "1e39";
      case 4: {
        // Plain decimals around the eight digits read at once, leading zeros included.
        std::string text = pick(4) ? "" : "-";
        for (std::size_t n = pick(10); n-- > 0;)
          text += static_cast<char>('0' + pick(pick(3) ? 10 : 1));
        if (pick(8)) text += ".";
        for (std::size_t n = pick(10); n-- > 0;) text += static_cast<char>('0' + pick(10));
        return text;
      }
      default:
        return "null";
    }
  };
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::pair<std::string, std::string>> members;
    for (std::size_t f = 0; f < kovra::kNodeFieldCount; ++f) {
      if (pick(3) == 0) continue;
      const auto& info = kovra::kNodeFields[f];
      std::string value;
      switch (info.kind) {
        case kovra::NodeFieldKind::kText:
          value = pick(8) ? text_value() : "null";
          break;
        case kovra::NodeFieldKind::kNumber:
          value = number_value();
          break;
        case kovra::NodeFieldKind::kColour:
          value = pick(8) ? std::to_string(pick(300)) : "01";
          break;
        case kovra::NodeFieldKind::kFlag:
          value = pick(2) ? "true" : "false";
          break;
      }
      members.emplace_back(pick(16) ? std::string(info.record_key) : "\\u0073ize", value);
    }
    if (pick(4) == 0) std::shuffle(members.begin(), members.end(), rng);
    if (pick(8) == 0 && !members.empty()) members.push_back(members[pick(members.size())]);
    if (pick(8) == 0)
      members.emplace(members.begin() + static_cast<std::ptrdiff_t>(pick(members.size() + 1)), "x",
                      "[1,{}]");
    const auto space = [&] { return pick(6) ? "" : " \n"; };
    std::string text = "{";
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i > 0) text += ",";
      text +=
          space() + ("\"" + members[i].first + "\"") + space() + ":" + space() + members[i].second;
    }
    text += space();
    text += "}";
    const auto either = kovra::node_update_from_json(text);
    const auto strict = kovra::node_update_from_json_strict(text);
    if (either.has_value() != strict.has_value() || (either && !(*either == *strict))) {
      CHECK_EQ(text, std::string("read alike by both paths"));
    }
    // The document reader's entry, which checks UTF-8 itself, decides the same.
    std::optional<NodeUpdate> read;
    const auto check = kovra::read_node_record(text, nullptr, read);
    const auto expected = !kovra::is_valid_utf8(text) ? kovra::RecordCheck::kNotUtf8
                          : strict                    ? kovra::RecordCheck::kValid
                                                      : kovra::RecordCheck::kInvalid;
    if (check != expected || kovra::check_node_record(text) != expected ||
        read.has_value() != (expected == kovra::RecordCheck::kValid) ||
        (read && !(*read == *strict))) {
      CHECK_EQ(text, std::string("read alike by the document reader's entry"));
    }
  }
}
