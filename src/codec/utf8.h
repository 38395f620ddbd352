// Strict UTF-8 as the document's texts must be: overlong forms, encoded surrogates
// and code points above U+10FFFF fail.
#pragma once

#include <string_view>

namespace kovra {

bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace kovra
