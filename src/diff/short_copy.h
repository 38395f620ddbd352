// memcpy for the short texts of records and updates, without the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kovra {

// Copies `n` bytes from `from` to `out` in whole words, the last one overlapping,
// and never touches a byte outside either range; returns the end of the copy.
[[gnu::always_inline]] inline char* copy_short(char* out, const char* from,
                                               std::size_t n) noexcept {
  if (n >= 16) {
    for (std::size_t i = 0; i + 16 < n; i += 16) std::memcpy(out + i, from + i, 16);
    std::memcpy(out + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::uint64_t first;
    std::uint64_t last;
    std::memcpy(&first, from, 8);
    std::memcpy(&last, from + n - 8, 8);
    std::memcpy(out, &first, 8);
    std::memcpy(out + n - 8, &last, 8);
  } else if (n >= 4) {
    std::uint32_t first;
    std::uint32_t last;
    std::memcpy(&first, from, 4);
    std::memcpy(&last, from + n - 4, 4);
    std::memcpy(out, &first, 4);
    std::memcpy(out + n - 4, &last, 4);
  } else if (n != 0) {
    out[0] = from[0];
    out[n / 2] = from[n / 2];
    out[n - 1] = from[n - 1];
  }
  return out + n;
}

}  // namespace kovra
