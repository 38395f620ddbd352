// Strict UTF-8, the one check of it in the C++ code. When record bytes are
// checked is settled once, in node_record_written_form.cpp. The blocks of eight and
// sixteen ASCII bytes are a shortcut of the byte-by-byte decode below them;
// utf8_validation (tests/cpp/node_record_json_test.cpp) has rows that end a fast
// block on a truncated sequence, and the record fuzzer compares read_node_record's
// refusals with this check on every input.
#include "codec/utf8.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/json_string_bytes.h"

namespace kovra {

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
#if defined(__SSE2__)
  const auto ascii16 = [](const unsigned char* at) noexcept {
    return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))) == 0;
  };
#endif
  while (p != end) {
#if defined(__SSE2__)
    if (end - p >= 16) {
      if (ascii16(p)) {
        p += 16;
        continue;
      }
    } else if (text.size() >= 16 && ascii16(end - 16)) {
      // The last 16 bytes are plain ASCII, and those before p have been checked.
      return true;
    }
#endif
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & json_bytes::kHighBits) == 0) {
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
