// memcpy for the short texts of records and updates, without the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kovra {

// Copies the first and the last `sizeof(Word)` bytes of `n`, which together
// cover all of them when sizeof(Word) <= n <= 2 * sizeof(Word).
template <class Word>
[[gnu::always_inline]] inline void copy_ends(char* out, const char* from, std::size_t n) noexcept {
  Word first;
  Word last;
  std::memcpy(&first, from, sizeof(Word));
  std::memcpy(&last, from + n - sizeof(Word), sizeof(Word));
  std::memcpy(out, &first, sizeof(Word));
  std::memcpy(out + n - sizeof(Word), &last, sizeof(Word));
}

// Copies `n` bytes from `from` to `out` in whole words, the last one overlapping,
// and never touches a byte outside either range; returns the end of the copy.
[[gnu::always_inline]] inline char* copy_short(char* out, const char* from,
                                               std::size_t n) noexcept {
  if (n >= 16) {
    for (std::size_t i = 0; i + 16 < n; i += 16) std::memcpy(out + i, from + i, 16);
    std::memcpy(out + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    copy_ends<std::uint64_t>(out, from, n);
  } else if (n >= 4) {
    copy_ends<std::uint32_t>(out, from, n);
  } else if (n != 0) {
    out[0] = from[0];
    out[n / 2] = from[n / 2];
    out[n - 1] = from[n - 1];
  }
  return out + n;
}

}  // namespace kovra
