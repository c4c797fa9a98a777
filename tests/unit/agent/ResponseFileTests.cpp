#include <set>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/agent/ResponseFile.hpp"
#include "TarnwickScreenCapture/posix/Clock.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

nlohmann::json parsed(const std::string& text) {
    auto value = nlohmann::json::parse(text, nullptr, false);
    EXPECT_TRUE(value.is_object()) << text;
    return value;
}

std::set<std::string> memberNames(const nlohmann::json& object) {
    std::set<std::string> names;
    for (const auto& [name, value] : object.items()) {
        names.insert(name);
    }
    return names;
}

TEST(AgentResponseText, HoldsExactlyTheGivenMembers) {
    struct Case {
        std::string id;
        bool ok;
        std::optional<std::string> detail;
    };
    const std::vector<Case> cases = {
        {"req-1", true, std::nullopt},
        {"req-2", false, "Tavik or Brevant window was not found on screen."},
        {"", false, ""},
        {"", true, std::nullopt},
    };
    for (const auto& [id, ok, detail] : cases) {
        const std::string text = agentResponseText(id, ok, detail, 1700000000);
        const auto response = parsed(text);
        std::set<std::string> expected = {"id", "ok", "finished_at"};
        if (detail) {
            expected.insert("detail");
            EXPECT_EQ(response["detail"], *detail) << text;
        }
        EXPECT_EQ(memberNames(response), expected) << text;
        EXPECT_EQ(response["id"], id) << text;
        EXPECT_EQ(response["ok"], ok) << text;
        EXPECT_TRUE(response["finished_at"].is_number_integer()) << text;
        EXPECT_EQ(response["finished_at"], 1700000000) << text;
    }
}

TEST(AgentResponseText, IsCompactWithEscapedSlashesAndRawUnicode) {
    const std::string text =
        agentResponseText("a/b", false, "failed / \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \"q\" \\",
                          INT64_C(9999999999));
    for (std::size_t at = text.find('/'); at != std::string::npos; at = text.find('/', at + 1)) {
        EXPECT_EQ(text[at - 1], '\\') << text;
    }
    EXPECT_NE(text.find(R"("a\/b")"), std::string::npos) << text;
    EXPECT_NE(text.find("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), std::string::npos) << text;
    EXPECT_EQ(text.find("\\u"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("finished_at":9999999999)"), std::string::npos) << text;

    // Compact: the same text as the library's own compact form, slashes aside.
    std::string unescaped = text;
    for (std::size_t at = unescaped.find("\\/"); at != std::string::npos;
         at = unescaped.find("\\/", at)) {
        unescaped.erase(at, 1);
    }
    EXPECT_EQ(unescaped, parsed(text).dump(-1, ' ', false));

    const auto response = parsed(text);
    EXPECT_EQ(response["id"], "a/b");
    EXPECT_EQ(response["detail"], "failed / \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \"q\" \\");
    EXPECT_EQ(parsed(agentResponseText("x\\/y\\", true, "//", 0))["id"], "x\\/y\\");
}

TEST(AgentResponseText, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    const std::string text = agentResponseText("id\xff", false, std::string("d\xc3", 2), 1);
    const auto response = parsed(text);
    EXPECT_EQ(response["id"], "id\xef\xbf\xbd");
    EXPECT_EQ(response["detail"], "d\xef\xbf\xbd");
}

TEST(WriteAgentResponse, ReplacesTheWholeFile) {
    testing::TemporaryFolder folder;
    const auto file = folder / "response.json";
    writeTestFile(file, std::string(4096, 'x'));

    const std::int64_t before = currentUnixSeconds();
    writeAgentResponse(file, "first", false, "a long detail that makes this response longer");
    writeAgentResponse(file, "2", true, std::nullopt);
    const std::int64_t after = currentUnixSeconds();

    const auto text = readTestFile(file);
    ASSERT_TRUE(text.has_value());
    const auto response = parsed(*text);
    EXPECT_EQ(memberNames(response), (std::set<std::string>{"id", "ok", "finished_at"}));
    EXPECT_EQ(response["id"], "2");
    EXPECT_EQ(response["ok"], true);
    EXPECT_GE(response["finished_at"].get<std::int64_t>(), before);
    EXPECT_LE(response["finished_at"].get<std::int64_t>(), after);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path),
                            std::filesystem::directory_iterator()),
              1)
        << "no auxiliary file is left";
}

TEST(WriteAgentResponse, MissingFolderCreatesNothing) {
    testing::TemporaryFolder folder;
    const auto file = folder / "missing" / "data" / "response.json";
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    writeAgentResponse(file, "id", true, std::nullopt);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(std::filesystem::is_empty(folder.path));
}

TEST(DefaultAgentResponseURL, LiesBesideTheRequestFile) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        GTEST_SKIP() << "HOME is not set";
    }
    EXPECT_EQ(responseFilePath(), std::filesystem::path(home) / ".tavik" / "mobile-dropbox" /
                                      "data" / "screen-capture-agent-response.json");
}

}  // namespace
}  // namespace tarnwick
