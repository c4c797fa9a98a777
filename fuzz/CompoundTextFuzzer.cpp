// The COMPOUND_TEXT decoder over arbitrary bytes, as any client of the display may set them as a
// title: it must never crash or hang, and never let through invalid UTF-8, an escape, or NUL.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzChecks.hpp"
#include "TarnwickScreenCapture/backends/x11/X11Text.hpp"
#include "TarnwickScreenCapture/text/Utf8.hpp"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = utf8FromCompoundText(bytes);
    fuzz::check(validUtf8(text) == text, "valid UTF-8, without NUL");
    fuzz::check(text.find('\x1B') == std::string::npos, "no escape");
    // A byte is at most one character, of at most three bytes (U+FFFD, a BMP character from a
    // table), a two-byte character at most one of four.
    fuzz::check(text.size() <= 3 * size, "no more than three bytes out for every byte in");
    const bool plain = bytes.find_first_not_of(
                           "\t\n abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") ==
                       std::string_view::npos;
    fuzz::check(!plain || text == bytes, "plain ASCII unchanged");
    return 0;
}
