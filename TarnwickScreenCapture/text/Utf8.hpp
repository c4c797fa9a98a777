#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// The bytes with every ill-formed UTF-8 sequence (overlong forms, surrogates, code points beyond
// U+10FFFF, truncated sequences) replaced by U+FFFD, and NUL characters dropped.
std::string validUtf8(std::string_view bytes);

// Whether the bytes are well-formed UTF-8 throughout (NUL characters included).
bool isWellFormedUtf8(std::string_view bytes);

}  // namespace tarnwick
