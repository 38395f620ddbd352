// One node record text into the parser, with and without its fast path for the
// writer's form, which must agree. An accepted record is written back in the fixed
// form, which must parse to the same fields and write the same text again.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/node_record_json.h"
#include "diff_snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The document reader's entry checks UTF-8 itself, in the written form's texts as
  // it reads them or over the whole text before the strict parser: it must refuse
  // exactly the invalid UTF-8, and otherwise decide as the strict parser does.
  std::optional<kovra::NodeUpdate> read;
  const kovra::RecordCheck check = kovra::read_node_record(input, nullptr, read);
  if (kovra::check_node_record(input) != check) std::abort();
  if ((check == kovra::RecordCheck::kNotUtf8) == kovra::is_valid_utf8(input)) std::abort();
  if (check == kovra::RecordCheck::kNotUtf8) return 0;
  const auto update = kovra::node_update_from_json(input);
  // The fast path for the writer's form must change nothing the strict parser decides.
  const auto strict = kovra::node_update_from_json_strict(input);
  if (update.has_value() != strict.has_value()) std::abort();
  if (read.has_value() != strict.has_value()) std::abort();
  if (!update) return 0;
  if (!(*strict == *update) || !(*strict == *read)) std::abort();

  // An exact-size buffer, so that a length mismatch shows up as an overflow.
  std::vector<char> buffer(kovra::node_record_length(*update));
  if (kovra::write_node_record(*update, buffer.data()) != buffer.data() + buffer.size()) {
    std::abort();
  }
  const std::string_view text(buffer.data(), buffer.size());
  if (!kovra::is_valid_utf8(text)) std::abort();
  const auto again = kovra::node_update_from_json(text);
  if (!again) std::abort();
  if (!(kovra::testing::fields_of(*again) == kovra::testing::fields_of(*update))) std::abort();
  // The fixed form is its own fixed point, except that a size written as null
  // comes back absent.
  const auto written_size = update->size();
  if (written_size && !std::isfinite(*written_size)) return 0;
  std::string rewritten;
  kovra::node_update_to_json(*again, rewritten);
  if (rewritten != text) std::abort();
  return 0;
}
