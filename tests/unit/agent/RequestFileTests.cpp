#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/posix/Clock.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

// A request holding an absolute output and one more member, given as raw JSON.
CaptureRequest requestWith(const std::string& member) {
    const auto request = requestFromAgentText(R"({"output":"/tmp/a.jpg",)" + member + "}");
    EXPECT_TRUE(request.has_value()) << member;
    return request.value_or(
        CaptureRequest{.id = "none", .output = {}, .quality = -1, .maxWidth = -1});
}

std::string nested(std::size_t depth, const std::string& open, const std::string& inner,
                   const std::string& close) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
        text += open;
    }
    text += inner;
    for (std::size_t i = 0; i < depth; ++i) {
        text += close;
    }
    return text;
}

// ASCII text widened to UTF-16 or UTF-32, little-endian.
std::string widened(const std::string& ascii, std::size_t width) {
    std::string text;
    for (const char c : ascii) {
        text += c;
        text += std::string(width - 1, '\0');
    }
    return text;
}

TEST(RequestFromAgentText, MalformedOrUnusableTextIsNoRequest) {
    const std::vector<std::string> texts = {
        "",
        "  \n",
        "[]",
        R"([{"output":"/tmp/a.jpg"}])",
        "{}",
        R"("/tmp/a.jpg")",
        "5",
        "null",
        R"({"output":""})",
        R"({"output":5})",
        R"({"output":null})",
        R"({"output":["/tmp/a.jpg"]})",
        R"({"Output":"/tmp/a.jpg"})",
        R"({"output":"/tmp/a.jpg"} // note)",
        R"({"output":"/tmp/a.jpg", /* note */ "id":"1"})",
        R"({"output":"/tmp/a.jpg",})",
        R"({'output':'/tmp/a.jpg'})",
        R"({output:"/tmp/a.jpg"})",
        R"({"output":"/tmp/a.jpg","quality":NaN})",
        R"({"output":"/tmp/a.jpg","maxWidth":0x10})",
        R"({"output":"/tmp/a.jpg","quality":1e400})",  // beyond a double
        R"({"output":"/tmp/a.jpg","maxWidth":-1e400})",
        R"({"output":"/tmp/a.jpg"}{})",
        R"({"output":"/tmp/a.jpg")",
        R"({"output":"/tmp/a.jpg","id":"1)",
    };
    for (const auto& text : texts) {
        EXPECT_FALSE(requestFromAgentText(text).has_value()) << text;
    }
}

TEST(RequestFromAgentText, HostileEncodingsAreNoRequest) {
    const std::vector<std::string> texts = {
        "{\"output\":\"/tmp/a\xff.jpg\"}",                  // not UTF-8
        "{\"output\":\"/tmp/\xc0\xaf.jpg\"}",               // overlong '/'
        "{\"output\":\"/tmp/\xed\xa0\x80.jpg\"}",           // encoded surrogate
        "{\"output\":\"/tmp/a.jpg\",\"id\":\"\xe2\x82\"}",  // cut-off sequence
        R"({"output":"/tmp/\ud800.jpg"})",                  // lone high surrogate
        R"({"output":"/tmp/\udc00.jpg"})",                  // lone low surrogate
        R"({"output":"/tmp/a.jpg","id":"\ud800\u0041"})",
        widened(R"({"output":"a"})", 2),
        "\xff\xfe" + widened(R"({"output":"a"})", 2),  // with a byte-order mark
        std::string("\xff\xfe\0\0", 4) + widened(R"({"output":"a"})", 4),
        "\xef\xbb{\"output\":\"/tmp/a.jpg\"}",  // half a byte-order mark
    };
    for (const auto& text : texts) {
        EXPECT_FALSE(requestFromAgentText(text).has_value()) << text;
    }
}

TEST(RequestFromAgentText, ByteOrderMarkAndEscapedPairsAreRead) {
    const auto withMark = requestFromAgentText("\xef\xbb\xbf{\"output\":\"/tmp/a.jpg\"}");
    ASSERT_TRUE(withMark.has_value());
    EXPECT_EQ(withMark->output, "/tmp/a.jpg");
    EXPECT_EQ(requestWith(R"("id":"\ud83d\ude00\u00e9\/")").id, "\xf0\x9f\x98\x80\xc3\xa9/");
}

TEST(RequestFromAgentText, RepeatedNamesAreNoRequest) {
    const std::vector<std::string> texts = {
        R"({"output":"/tmp/a.jpg","output":"/tmp/b.jpg"})",
        R"({"output":"/tmp/a.jpg","id":"1","id":"2"})",
        R"({"output":"/tmp/a.jpg","extra":{"k":1,"k":2}})",
        R"({"output":"/tmp/a.jpg","extra":[{"k":1,"k":1}]})",
    };
    for (const auto& text : texts) {
        EXPECT_FALSE(requestFromAgentText(text).has_value()) << text;
    }
    // The same name in different objects is no repetition.
    EXPECT_EQ(requestWith(R"("id":"1","extra":{"id":"2","x":[{"id":3},{"id":4}]})").id, "1");
}

TEST(RequestFromAgentText, NestingIsBoundedWithoutDeepRecursion) {
    // The top-level object is the first level.
    EXPECT_EQ(
        requestWith(R"("extra":)" + nested(kMaximumRequestNesting - 1, "[", "1", "]")).id.empty(),
        false);
    EXPECT_FALSE(requestFromAgentText(R"({"output":"/tmp/a.jpg","extra":)" +
                                      nested(kMaximumRequestNesting, "[", "1", "]") + "}")
                     .has_value());
    EXPECT_FALSE(requestFromAgentText(R"({"output":"/tmp/a.jpg","extra":)" +
                                      nested(kMaximumRequestNesting, R"({"a":)", "1", "}") + "}")
                     .has_value());
    // Hostile depth, closed or not, must not exhaust the stack (or memory).
    EXPECT_FALSE(requestFromAgentText(std::string(1'000'000, '[')).has_value());
    EXPECT_FALSE(requestFromAgentText(nested(200'000, "[", "", "]")).has_value());
    EXPECT_FALSE(requestFromAgentText(nested(100'000, R"({"a":)", "{}", "}")).has_value());
}

TEST(RequestFromAgentText, OutputAloneTakesEveryDefault) {
    const std::int64_t before = currentUnixSeconds();
    const auto request = requestFromAgentText(R"({"output":"/tmp/shot.jpg"})");
    const std::int64_t after = currentUnixSeconds();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->output, "/tmp/shot.jpg");
    EXPECT_EQ(request->quality, 0.55);
    EXPECT_EQ(request->maxWidth, 0);
    EXPECT_EQ(request->target, CaptureTarget::kTavik);
    ASSERT_FALSE(request->id.empty());
    EXPECT_EQ(request->id.find_first_not_of("0123456789"), std::string::npos) << request->id;
    const std::int64_t idSeconds = std::stoll(request->id);
    EXPECT_GE(idSeconds, before);
    EXPECT_LE(idSeconds, after);
}

TEST(RequestFromAgentText, OutputIsAPathAsWritten) {
    const auto cwd = std::filesystem::current_path();
    const std::vector<std::pair<std::string, std::filesystem::path>> cases = {
        {"/tmp/shot.jpg", "/tmp/shot.jpg"},
        {"shot.jpg", cwd / "shot.jpg"},
        {"~/shot.jpg", cwd / "~" / "shot.jpg"},
        {"  ", cwd / "  "},
        {"/tmp/a b\\u00e9.jpg", "/tmp/a b\xc3\xa9.jpg"},
        {"/tmp/a\\u0001\\t\\n\\u001f\x7f"
         "b.jpg",
         "/tmp/a\x01\t\n\x1f\x7f"
         "b.jpg"},  // control characters are an ordinary name
    };
    for (const auto& [given, expected] : cases) {
        const auto request = requestFromAgentText(R"({"output":")" + given + R"("})");
        ASSERT_TRUE(request.has_value()) << given;
        EXPECT_EQ(request->output, expected) << given;
    }
}

TEST(RequestFromAgentText, QualityIsAnyNumberClamped) {
    const std::vector<std::pair<std::string, double>> cases = {
        {"0.8", 0.8},      {"2", 0.95},
        {"0", 0.2},        {"-1", 0.2},
        {"0.5e0", 0.5},    {"18446744073709551616", 0.95},
        {"\"0.8\"", 0.55}, {"null", 0.55},
        {"true", 0.55},    {"false", 0.55},
        {"[0.8]", 0.55},   {"{}", 0.55},
        {"-0", 0.2},       {"1e308", 0.95},
        {"4.9e-324", 0.2}, {"-9223372036854775809", 0.2},
    };
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(requestWith(R"("quality":)" + given).quality, expected) << given;
    }
}

TEST(RequestFromAgentText, MaxWidthIsAWholeNumberWithin64Bits) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"1280", 1280},
        {"100000", 100000},
        {"1280.0", 1280},
        {"1.28e3", 1280},
        {"-5", 0},
        {"-0.0", 0},
        {"-0", 0},
        {"0e400", 0},
        {"1e308", 0},
        {"4.9e-324", 0},
        {"-9223372036854775808", 0},
        {"1280.5", 0},
        {"\"1280\"", 0},
        {"true", 0},
        {"null", 0},
        {"[1280]", 0},
        {"9223372036854775807", INT64_C(9223372036854775807)},
        {"9007199254740993", INT64_C(9007199254740993)},  // not exact as a double
        {"9223372036854775808", 0},
        {"18446744073709551615", 0},
        {"100000000000000000000", 0},
        {"9.2233720368547758e18", 0},  // 2^63
        {"4.611686018427388e18", INT64_C(4611686018427387904)},
    };
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(requestWith(R"("maxWidth":)" + given).maxWidth, expected) << given;
    }
}

TEST(RequestFromAgentText, TargetIsDesktopOnlyForThatWord) {
    constexpr auto desktop = CaptureTarget::kDesktop;
    constexpr auto tavik = CaptureTarget::kTavik;
    const std::vector<std::pair<std::string, CaptureTarget>> cases = {
        {R"("desktop")", desktop}, {R"("DESKTOP")", desktop},
        {R"("Desktop")", desktop}, {R"("desktop ")", tavik},
        {R"(" desktop")", tavik},  {R"("brevant")", tavik},
        {R"("")", tavik},          {"1", tavik},
        {"null", tavik},
    };
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(requestWith(R"("target":)" + given).target, expected) << given;
    }
    EXPECT_EQ(requestWith(R"("other":1)").target, tavik);
}

TEST(RequestFromAgentText, IdIsAnyStringElseTheClock) {
    EXPECT_EQ(requestWith(R"("id":"")").id, "");
    EXPECT_EQ(requestWith(R"("id":"A-1 \/")").id, "A-1 /");
    const std::int64_t before = currentUnixSeconds();
    const std::vector<std::string> others = {"42", "null", "true", "[\"x\"]", "{\"id\":\"x\"}"};
    for (const auto& given : others) {
        const std::string id = requestWith(R"("id":)" + given).id;
        EXPECT_GE(std::stoll(id), before) << given;
        EXPECT_LE(std::stoll(id), currentUnixSeconds()) << given;
    }
}

TEST(RequestFromAgentText, OtherKeysOfAnyTypeAreIgnored) {
    const auto request = requestWith(
        R"("id":"7","quality":0.7,"maxWidth":640,"target":"desktop",)"
        R"("ID":"x","extra":{"a":[1,2,{"b":null}]},"n":-1.5e-7,"b":false,"s":"\u0000")");
    EXPECT_EQ(request.id, "7");
    EXPECT_EQ(request.quality, 0.7);
    EXPECT_EQ(request.maxWidth, 640);
    EXPECT_EQ(request.target, CaptureTarget::kDesktop);
}

TEST(RequestFromAgentFile, ReadsTheFileAndBoundsItsSize) {
    testing::TemporaryFolder folder;
    const auto file = folder / "request.json";
    EXPECT_FALSE(requestFromAgentFile(file).has_value());
    EXPECT_FALSE(requestFromAgentFile(folder.path).has_value());

    const std::string text = R"({"output":"/tmp/a.jpg","id":"f1","maxWidth":320})";
    writeTestFile(file, text);
    const auto request = requestFromAgentFile(file);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->id, "f1");
    EXPECT_EQ(request->maxWidth, 320);
    EXPECT_EQ(readTestFile(file), text);  // left as it was

    // Whitespace padding keeps the text valid: only the size decides.
    writeTestFile(file, text + std::string(kMaximumRequestFileBytes - text.size(), ' '));
    EXPECT_TRUE(requestFromAgentFile(file).has_value());
    writeTestFile(file, text + std::string(kMaximumRequestFileBytes - text.size() + 1, ' '));
    EXPECT_FALSE(requestFromAgentFile(file).has_value());
}

// Notifications make the read cheap: a file they tell nothing of is not read again, however
// recently it changed; one they tell of is read again, whatever its facts say.
TEST(RequestFromAgentFolder, NotificationsDecideWhetherAFileIsReadAgain) {
    testing::TemporaryFolder folder;
    writeTestFile(folder / "request.json", R"({"output":"/tmp/a.jpg","id":"on disk"})");
    const auto opened = openFolderNoFollow(folder.path);
    const Trust trust = trustOfThisUser();
    const auto read = [&](std::optional<RequestFileMemo>& memo, const ChangeNotices& notices) {
        return requestFromAgentFolder(opened.fd.get(), folder.path, "request.json", trust, memo,
                                      notices)
            .request.value()
            .id;
    };
    std::optional<RequestFileMemo> memo;
    EXPECT_EQ(read(memo, {.delivered = true}), "on disk");
    ASSERT_TRUE(memo.has_value()) << "kept at once: changes will be told";
    memo->request->id = "remembered";
    EXPECT_EQ(read(memo, {.delivered = true, .sinceLastRead = false}), "remembered");
    EXPECT_EQ(read(memo, {.delivered = true, .sinceLastRead = true}), "on disk");

    // Without notifications a file changed just now is read again until it has settled.
    std::optional<RequestFileMemo> unsettled;
    EXPECT_EQ(read(unsettled, {.delivered = false, .settledAfterSeconds = 60}), "on disk");
    EXPECT_FALSE(unsettled.has_value());
}

TEST(DefaultAgentRequestURL, LiesUnderTheHomeDirectory) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        GTEST_SKIP() << "HOME is not set";
    }
    EXPECT_EQ(requestFilePath(), std::filesystem::path(home) / ".tavik" / "mobile-dropbox" /
                                     "data" / "screen-capture-agent-request.json");
}

}  // namespace
}  // namespace tarnwick
