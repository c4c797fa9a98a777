// What the tool does with inputs built to hurt it: the rows of docs/hostile-inputs.md that unit
// tests can show. Rows already shown elsewhere are only referenced there.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/agent/ResponseFile.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using namespace std::string_literals;
using testing::readWholeFile;
using testing::TemporaryFolder;
using Json = nlohmann::json;

// What this process has read so far, from any file.
std::uint64_t bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    return 0;
}

TEST(HostileInput, AHugeSparseRequestFileIsRefusedWithoutBeingRead) {
    TemporaryFolder folder;
    const auto file = folder.write("request.json", R"({"output":"/tmp/a.jpg"})");
    ASSERT_EQ(::truncate(file.c_str(), off_t{1} << 30), 0);
    const std::uint64_t before = bytesReadSoFar();
    EXPECT_FALSE(requestFromAgentFile(file).has_value());
    EXPECT_LT(bytesReadSoFar() - before, std::uint64_t{1} << 20);
}

TEST(HostileInput, RequestPathsThatAreNoRegularFileAreNoRequestAndDoNotBlock) {
    TemporaryFolder folder;
    for (const char* device : {"/dev/zero", "/dev/urandom", "/dev/null"}) {
        const auto link = folder.path / "request.json";
        std::filesystem::remove(link);
        std::filesystem::create_symlink(device, link);
        EXPECT_FALSE(requestFromAgentFile(link).has_value()) << device;
    }
}

TEST(HostileInput, AnIdNearTheSizeBoundIsKeptWholeAndAnsweredWhole) {
    const std::string prefix = R"({"output":"/tmp/a.jpg","id":")";
    const std::string id(kMaximumRequestFileBytes - prefix.size() - 2, 'i');
    TemporaryFolder folder;
    const auto file = folder.write("request.json", prefix + id + "\"}");
    ASSERT_EQ(std::filesystem::file_size(file), kMaximumRequestFileBytes);
    const auto request = requestFromAgentFile(file);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->id, id);

    const auto response = folder.path / "response.json";
    writeAgentResponse(response, request->id, false, "a/b");
    const Json answered = Json::parse(readWholeFile(response));
    EXPECT_EQ(answered["id"], id);
    EXPECT_EQ(answered["detail"], "a/b");
}

TEST(HostileInput, TheResponseWriterReplacesASymlinkAndNeverWritesThroughIt) {
    TemporaryFolder folder;
    const auto victim = folder.write("victim", "keep");
    const auto response = folder.path / "response.json";
    std::filesystem::create_symlink(victim, response);
    writeAgentResponse(response, "id", true, std::nullopt);
    EXPECT_FALSE(std::filesystem::is_symlink(response));
    EXPECT_EQ(Json::parse(readWholeFile(response))["id"], "id");
    EXPECT_EQ(readWholeFile(victim), "keep");

    // A link to a folder is replaced the same way; nothing appears inside the folder.
    std::filesystem::remove(response);
    std::filesystem::create_directory(folder.path / "folder");
    std::filesystem::create_directory_symlink(folder.path / "folder", response);
    writeAgentResponse(response, "id2", true, std::nullopt);
    EXPECT_FALSE(std::filesystem::is_symlink(response));
    EXPECT_TRUE(std::filesystem::is_empty(folder.path / "folder"));
}

TEST(HostileInput, ControlCharactersInIdsAndDetailsAreEscapedAndSurviveTheRoundTrip) {
    const auto request =
        requestFromAgentText(R"({"output":"/tmp/a.jpg","id":"a\u0000\n\"\u001f"})");
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->id, "a\0\n\"\x1f"s);
    const std::string text = agentResponseText(request->id, false, "\x7f\r"s, 0);
    EXPECT_EQ(text.find_first_of("\0\n\r\x1f"s), std::string::npos) << text;
    const Json parsed = Json::parse(text);
    EXPECT_EQ(parsed["id"], request->id);
    EXPECT_EQ(parsed["detail"], "\x7f\r");
}

}  // namespace
}  // namespace tarnwick
