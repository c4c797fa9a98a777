#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// Text properties come from any client of the display: these make them valid UTF-8.

// ISO 8859-1 text (the X STRING type) as UTF-8, NUL characters dropped.
std::string utf8FromLatin1(std::string_view bytes);

// Text of the X STRING type as UTF-8: Latin-1, unless the bytes are well-formed UTF-8 beyond
// ASCII. Clients in a C locale (xterm -T 'café') set their UTF-8 titles as STRING unconverted,
// while Latin-1 text reads as well-formed UTF-8 only by rare chance (a capital such as Ã right
// before a symbol such as ©). NUL characters are dropped.
std::string utf8FromStringProperty(std::string_view bytes);

// X's COMPOUND_TEXT as valid UTF-8. It is ISO 2022 as X restricts it, what Xlib makes of a title
// beyond Latin-1 (xterm in a UTF-8 locale sets its WM_NAME so): ASCII in GL and the right half of
// Latin-1 in GR to begin with; "ESC - F" designates the right half of another ISO 8859 part into
// GR, "ESC ( F" and "ESC ) F" JIS X 0201 and ASCII, "ESC $ ( F" and "ESC $ ) F" the two-byte sets
// GB 2312, JIS X 0208, KS C 5601 and JIS X 0212; "ESC % G" ... "ESC % @" holds UTF-8. A character
// of a set not known here is U+FFFD, and nothing of an escape or control sequence is kept, since
// the text comes from any client of the display. NUL characters are dropped.
std::string utf8FromCompoundText(std::string_view bytes);

}  // namespace tarnwick
