#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// Text properties come from any client of the display: these make them safe UTF-8.

// The bytes with every ill-formed UTF-8 sequence (overlong forms, surrogates, code points beyond
// U+10FFFF, truncated sequences) replaced by U+FFFD, and NUL characters dropped.
std::string validUtf8(std::string_view bytes);

// ISO 8859-1 text (the X STRING type) as UTF-8, NUL characters dropped.
std::string utf8FromLatin1(std::string_view bytes);

// Text of the X STRING type as UTF-8: Latin-1, unless the bytes are well-formed UTF-8 beyond
// ASCII. Clients in a C locale (xterm -T 'café') set their UTF-8 titles as STRING unconverted,
// while Latin-1 text reads as well-formed UTF-8 only by rare chance (a capital such as Ã right
// before a symbol such as ©). NUL characters are dropped.
std::string utf8FromStringProperty(std::string_view bytes);

}  // namespace tarnwick
