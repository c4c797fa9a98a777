#include <iconv.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/backends/x11/X11Text.hpp"

namespace tarnwick {
namespace {

using namespace std::string_literals;

constexpr const char* kReplacement = "\uFFFD";

// One byte of an 8-bit encoding as UTF-8, as iconv has it; U+FFFD where it has no character.
std::string iconvCharacter(const char* encoding, unsigned char byte) {
    const iconv_t converter = ::iconv_open("UTF-8", encoding);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "iconv knows no " << encoding;
        return {};
    }
    char in[1] = {static_cast<char>(byte)};
    char out[8];
    char* inAt = in;
    char* outAt = out;
    std::size_t inLeft = 1;
    std::size_t outLeft = sizeof out;
    const bool converted =
        ::iconv(converter, &inAt, &inLeft, &outAt, &outLeft) != static_cast<std::size_t>(-1);
    ::iconv_close(converter);
    return converted ? std::string(out, static_cast<std::size_t>(outAt - out)) : kReplacement;
}

TEST(CompoundText, EveryRightHalfOfAnIso8859PartDecodesAsIconvHasIt) {
    const std::pair<char, const char*> parts[] = {
        {'A', "ISO-8859-1"},  {'B', "ISO-8859-2"},  {'C', "ISO-8859-3"},  {'D', "ISO-8859-4"},
        {'F', "ISO-8859-7"},  {'G', "ISO-8859-6"},  {'H', "ISO-8859-8"},  {'L', "ISO-8859-5"},
        {'M', "ISO-8859-9"},  {'T', "ISO-8859-11"}, {'V', "ISO-8859-10"}, {'Y', "ISO-8859-13"},
        {'_', "ISO-8859-14"}, {'b', "ISO-8859-15"}, {'f', "ISO-8859-16"},
    };
    for (const auto& [final, encoding] : parts) {
        for (int byte = 0xA0; byte <= 0xFF; ++byte) {
            const std::string text = "\x1B-"s + final + "x" + static_cast<char>(byte) + "y";
            EXPECT_EQ(utf8FromCompoundText(text),
                      "x" + iconvCharacter(encoding, static_cast<unsigned char>(byte)) + "y")
                << encoding << " byte " << byte;
        }
    }
    // Before any designation GR holds Latin-1.
    for (int byte = 0xA0; byte <= 0xFF; ++byte) {
        EXPECT_EQ(utf8FromCompoundText(std::string(1, static_cast<char>(byte))),
                  iconvCharacter("ISO-8859-1", static_cast<unsigned char>(byte)));
    }
}

TEST(CompoundText, DecodesWhatXtermSetsInAUtf8Locale) {
    // xprop -id W WM_NAME of xterm -T '...' with LANG=C.UTF-8.
    EXPECT_EQ(utf8FromCompoundText("Tavik \x1B%G\xE2\x80\x93\x1B%@ \x1B-F\xD9\xEC\xDD\xE3\xE1 "
                                   "\x1B-b\xA4 \x1B-A\xFCn\xEF"),
              "Tavik \u2013 \u03A9\u03BC\u03AD\u03B3\u03B1 \u20AC \u00FCn\u00EF");
    EXPECT_EQ(utf8FromCompoundText("Cyr \x1B-L\xBF\xE0\xD8\xD2\xD5\xE2 Tr \x1B-C\xBB\x1B-B\xBA Pl "
                                   "\xB3\xBF"),
              "Cyr \u041F\u0440\u0438\u0432\u0435\u0442 Tr \u011F\u015F Pl \u0142\u017C");
    EXPECT_EQ(utf8FromCompoundText("CJK \x1B$(BEl5~\x1B(B \x1B$(CGQ19\x1B(B \x1B)I\xB6\xC0 "
                                   "\x1B-A\xA5\x1B(J~\\"),
              "CJK \u6771\u4EAC \uD55C\uAD6D \uFF76\uFF80 \u00A5\u203E\u00A5");
}

TEST(CompoundText, UnknownSetsAreReplacementCharactersAndNoEscapeIsKept) {
    EXPECT_EQ(utf8FromCompoundText("a\x1B-Zb\xE0"), "ab"s + kReplacement);   // 96 set into GR
    EXPECT_EQ(utf8FromCompoundText("a\x1B(Zbc\x1B(Bd"), "a\uFFFD\uFFFDd");   // 94 set into GL
    EXPECT_EQ(utf8FromCompoundText("\x1B$(Zbcde\x1B(B!"), "\uFFFD\uFFFD!");  // two-byte set
    EXPECT_EQ(utf8FromCompoundText("\x1B%/1\x80\x89koi8-r\x02\xF0\xF2x"), "\uFFFDx");
    // Sequences cut short, unknown ones, and escapes inside a UTF-8 segment.
    EXPECT_EQ(utf8FromCompoundText("a\x1B"), "a"s + kReplacement);
    EXPECT_EQ(utf8FromCompoundText("a\x1B(\x01"), "a\uFFFD\x01");
    EXPECT_EQ(utf8FromCompoundText("a\x1B"
                                   "7b\x1B%@c"),
              "abc");
    EXPECT_EQ(utf8FromCompoundText("\x1B%G\xC3\xA9\x1B]2;x\x07\xFF"), "\u00E9\uFFFD]2;x\x07\uFFFD");
    // Directions of text show as nothing; other C1 controls as U+FFFD; NUL is dropped.
    EXPECT_EQ(utf8FromCompoundText("\x9B"
                                   "2]abc\x9B]\x85\x00\td\n"s),
              "abc\uFFFD\td\n");
    EXPECT_EQ(utf8FromCompoundText("\x1B$(B\x45"), kReplacement);  // half a character
}

TEST(StringProperty, IsLatin1UnlessItIsUtf8BeyondAscii) {
    EXPECT_EQ(utf8FromStringProperty("caf\xE9"), "caf\u00E9");
    EXPECT_EQ(utf8FromStringProperty("caf\xC3\xA9 \xC3\xBCn\xC3\xAF"), "caf\u00E9 \u00FCn\u00EF");
    EXPECT_EQ(utf8FromStringProperty("caf\xC3\xA9 \xE9"), "caf\u00C3\u00A9 \u00E9");
    EXPECT_EQ(utf8FromStringProperty("Tavik\0"s), "Tavik");
}

TEST(StringProperty, Latin1MapsEveryByteToItsCodePoint) {
    EXPECT_EQ(utf8FromLatin1("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(utf8FromLatin1("\xFF\x80"), "\xC3\xBF\xC2\x80");
    EXPECT_EQ(utf8FromLatin1(std::string("x\0y", 3)), "xy");
}

}  // namespace
}  // namespace tarnwick
