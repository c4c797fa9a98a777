#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/text/UnicodeText.hpp"

namespace tarnwick {
namespace {

TEST(Lowercased, UsesTheDefaultFullMappingWhateverTheLocale) {
    EXPECT_EQ(lowercased("TaViK"), "tavik");
    EXPECT_EQ(lowercased("TAVI\u212A"), "tavik");       // KELVIN SIGN
    EXPECT_EQ(lowercased("\u0130"), "i\u0307");         // two code points, not Turkish "i"
    EXPECT_EQ(lowercased("I"), "i");                    // not the Turkish dotless i
    EXPECT_EQ(lowercased("ta\xffvik"), "ta\uFFFDvik");  // invalid UTF-8 becomes U+FFFD
}

TEST(ContainsCanonically, IsCaseSensitiveSubstringSearchAndAnEmptyNeedleNeverMatches) {
    EXPECT_TRUE(containsCanonically("mytavikhelper", "tavik"));
    EXPECT_TRUE(containsCanonically("tavik", "tavik"));
    EXPECT_FALSE(containsCanonically("Tavik", "tavik"));
    EXPECT_FALSE(containsCanonically("tavi", "tavik"));
    EXPECT_FALSE(containsCanonically("", "tavik"));
    EXPECT_FALSE(containsCanonically("tavik", ""));
    EXPECT_FALSE(containsCanonically("", ""));
}

TEST(ContainsCanonically, CanonicallyEquivalentSpellingsCompareEqual) {
    // Precomposed and decomposed e acute, in both directions.
    EXPECT_TRUE(containsCanonically("caf\u00E9 noir", "cafe\u0301"));
    EXPECT_TRUE(containsCanonically("cafe\u0301 noir", "caf\u00E9"));
    // The order of combining marks of different classes does not matter.
    EXPECT_TRUE(containsCanonically("xa\u0323\u0307y", "a\u0307\u0323"));
    EXPECT_TRUE(containsCanonically("x\u1E69y", "s\u0323\u0307"));
    // A Hangul syllable and its conjoining jamo.
    EXPECT_TRUE(containsCanonically("\uD55C\uAE00", "\u1112\u1161\u11AB"));
    // Compatibility equivalents are different text.
    EXPECT_FALSE(containsCanonically("\uFB01le", "fi"));
}

TEST(ContainsCanonically, AMatchNeverSplitsAUserPerceivedCharacter) {
    EXPECT_FALSE(containsCanonically("tavik\u0303", "tavik"));
    EXPECT_FALSE(containsCanonically("tavi\u0307k", "tavik"));  // the lower case of "TAV\u0130K"
    EXPECT_FALSE(containsCanonically("caf\u00E9", "cafe"));
    EXPECT_FALSE(containsCanonically("cafe\u0301", "\u0301"));
    EXPECT_FALSE(containsCanonically("a\r\nb", "\r"));
    EXPECT_FALSE(containsCanonically("a\r\nb", "\nb"));
    EXPECT_TRUE(containsCanonically("a\r\nb", "\r\nb"));
    EXPECT_TRUE(containsCanonically("a\r\rb", "\rb"));
    // Flags pair regional indicators from the left: Z+A, then a lone B.
    EXPECT_FALSE(containsCanonically("\U0001F1FF\U0001F1E6\U0001F1E7", "\U0001F1E6\U0001F1E7"));
    EXPECT_TRUE(containsCanonically("\U0001F1FF\U0001F1E6\U0001F1E7", "\U0001F1FF\U0001F1E6"));
    // Whole characters that carry marks still match.
    EXPECT_TRUE(containsCanonically("my tavik\u0303 app", "vik\u0303"));
    EXPECT_TRUE(containsCanonically("tavik\u0303tavik", "tavik"));  // a later whole match counts
}

TEST(ContainsCanonically, InvalidUtf8IsReplacementCharacters) {
    EXPECT_TRUE(containsCanonically("x\xC3 tavik \xFF\xFE", "tavik"));
    EXPECT_FALSE(containsCanonically("ta\xFFvik", "tavik"));
    EXPECT_TRUE(containsCanonically("ta\xFFvik", "ta\uFFFDv"));
    EXPECT_FALSE(containsCanonically("tavik", "\xFF"));
}

std::string utf8Of(char32_t c) {
    std::string text;
    if (c < 0x80) {
        text += static_cast<char>(c);
    } else if (c < 0x800) {
        text += static_cast<char>(0xC0 | (c >> 6));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += static_cast<char>(0xE0 | (c >> 12));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (c >> 18));
        text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    }
    return text;
}

TEST(QuotedForTerminal, EscapesWhatATerminalWouldActOnAndKeepsText) {
    EXPECT_EQ(quotedForTerminal(""), R"("")");
    EXPECT_EQ(quotedForTerminal("man tavik \u00e9\u6771"), "\"man tavik \u00e9\u6771\"");
    EXPECT_EQ(quotedForTerminal("a\"b\\c\nd\te\x1b[2J\x7f"), R"("a\"b\\c\nd\te\x1B[2J\x7F")");
    EXPECT_EQ(quotedForTerminal("\u009b1m \u202eevil \u2028"),
              R"("\u{9B}1m \u{202E}evil \u{2028}")");
    EXPECT_EQ(quotedForTerminal("ta\xffvik\xe2\x80"), R"("ta\xFFvik\xE2\x80")");
    EXPECT_EQ(quotedForTerminal(std::string("a\0b", 3)), R"("a\x00b")");
}

TEST(EscapedForTerminal, KeepsBothEndsOfLongTextAndCutsBetweenCharacters) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"short \n\x1b]0;T\a", R"(short \n\x1B]0;T\x07)"},
        {"abcdefghijklmnopqrstuvwxyz", "abcdefghijkl...uvwxyz"},
        // A 3-byte character at either cut is kept whole or left out whole.
        {"abcdefghijk\u6771mnopq\u6771vwxyz", "abcdefghijk...vwxyz"},
        {"abcdefghijkl\u2028nopqrstu\u2028xyz", "abcdefghijkl...\\u{2028}xyz"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(escapedForTerminal(text, 18), shown) << text;
    }
}

TEST(ShownForTerminal, KeepsOrdinaryNamesAndQuotesAnyThatNeedAnEscape) {
    const std::pair<std::string, std::string> cases[] = {
        {":0", ":0"},
        {"/home/\u00e9l\u00e8ve/.tavik", "/home/\u00e9l\u00e8ve/.tavik"},
        {"", ""},
        {"wayland-1\n\x1b[2J", R"("wayland-1\n\x1B[2J")"},
        {"a\u2028b", R"("a\u{2028}b")"},
        {"say \"hi\"", R"("say \"hi\"")"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(shownForTerminal(text), shown) << text;
    }
}

// Over every code point: nothing a terminal acts on passes unescaped, and the quotes stay the
// only unescaped quotes.
TEST(QuotedForTerminal, NoCodePointGetsThroughAsAControl) {
    const auto isControl = [](char32_t c) {
        return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x200E || c == 0x200F ||
               (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 ||
               c == 0x2029 || c == 0xFEFF;
    };
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) {
            continue;
        }
        const auto text = utf8Of(c);
        const auto quoted = quotedForTerminal(text);
        const auto inner = quoted.substr(1, quoted.size() - 2);
        if (c == '"' || c == '\\') {
            ASSERT_EQ(inner, "\\" + text);
        } else if (isControl(c)) {
            ASSERT_EQ(inner[0], '\\') << std::hex << static_cast<unsigned>(c);
            ASSERT_EQ(inner.find(text), std::string::npos) << std::hex << static_cast<unsigned>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            ASSERT_EQ(inner, text);
        }
        for (const char byte : inner) {
            ASSERT_GE(static_cast<unsigned char>(byte), 0x20)
                << std::hex << static_cast<unsigned>(c);
            ASSERT_NE(byte, 0x7F);
        }
    }
}

}  // namespace
}  // namespace tarnwick
