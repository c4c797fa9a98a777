#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// X's COMPOUND_TEXT as valid UTF-8. It is ISO 2022 as X restricts it, what Xlib makes of a title
// beyond Latin-1 (xterm in a UTF-8 locale sets its WM_NAME so): ASCII in GL and the right half of
// Latin-1 in GR to begin with; "ESC - F" designates the right half of another ISO 8859 part into
// GR, "ESC ( F" and "ESC ) F" JIS X 0201 and ASCII, "ESC $ ( F" and "ESC $ ) F" the two-byte sets
// GB 2312, JIS X 0208, KS C 5601 and JIS X 0212; "ESC % G" ... "ESC % @" holds UTF-8. A character
// of a set not known here is U+FFFD, and nothing of an escape or control sequence is kept, since
// the text comes from any client of the display. NUL characters are dropped.
std::string utf8FromCompoundText(std::string_view bytes);

}  // namespace tarnwick
