#include "diff/node_id.h"

namespace kovra {

void node_id_to_text(const NodeId& id, char* out) noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    *out++ = kDigits[id.bytes[static_cast<std::size_t>(i)] >> 4];
    *out++ = kDigits[id.bytes[static_cast<std::size_t>(i)] & 15];
  }
}

}  // namespace kovra
