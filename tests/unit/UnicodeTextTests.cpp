#include <gtest/gtest.h>

#include "TarnwickScreenCapture/UnicodeText.hpp"

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

}  // namespace
}  // namespace tarnwick
