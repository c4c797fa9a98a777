#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "TarnwickScreenCapture/text/Utf8.hpp"

namespace tarnwick {
namespace {

TEST(ValidUtf8, KeepsWellFormedText) {
    const std::string text = "Tavik caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF";
    EXPECT_EQ(validUtf8(text), text);
    EXPECT_EQ(validUtf8(""), "");
}

TEST(ValidUtf8, ReplacesEachIllFormedByteAndDropsNul) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(validUtf8("a\xFF"
                        "b"),
              "a" + r + "b");
    EXPECT_EQ(validUtf8("\x80"), r) << "lone continuation byte";
    EXPECT_EQ(validUtf8("\xC0\x80"), r + r) << "overlong NUL";
    EXPECT_EQ(validUtf8("\xE0\x80\xAF"), r + r + r) << "overlong three-byte form";
    EXPECT_EQ(validUtf8("\xED\xA0\x80"), r + r + r) << "surrogate";
    EXPECT_EQ(validUtf8("\xF4\x90\x80\x80"), r + r + r + r) << "beyond U+10FFFF";
    EXPECT_EQ(validUtf8("ok \xE2\x82"), "ok " + r + r) << "cut off at the end";
    EXPECT_EQ(validUtf8(std::string("a\0b", 3)), "ab");
}

TEST(ValidUtf8, AnyBytesBecomeTextThatJsonAccepts) {
    std::mt19937 random(42);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(static_cast<std::size_t>(round % 37), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(byte(random));
        }
        const std::string text = validUtf8(bytes);
        EXPECT_EQ(validUtf8(text), text);
        EXPECT_NO_THROW((void)nlohmann::json(text).dump());
    }
}

}  // namespace
}  // namespace tarnwick
