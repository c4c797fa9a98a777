// What the tool does with inputs built to hurt it: the rows of docs/hostile-inputs.md that unit
// tests can show. Rows already shown elsewhere are only referenced there.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/agent/ResponseFile.hpp"
#include "TarnwickScreenCapture/capture/CaptureRequest.hpp"
#include "support/TemporaryFolder.hpp"
#include "support/Timing.hpp"

namespace tarnwick {
namespace {

using namespace std::string_literals;
using testing::readWholeFile;
using testing::secondsTaken;
using testing::TemporaryFolder;
using Json = nlohmann::json;

std::optional<CaptureRequest> requestFromJson(const Json& document) {
    return requestFromAgentText(document.dump());
}

TEST(HostileInput, ControlCharactersInTheOutputAreAnOrdinaryFileName) {
    const std::string name =
        "a\x01\t\n\x1f\x7f"
        "b.jpg";
    const auto fromFile = requestFromJson({{"output", "/tmp/" + name}});
    ASSERT_TRUE(fromFile.has_value());
    EXPECT_EQ(fromFile->output.native(), "/tmp/" + name);
}

TEST(HostileInput, AHugeSparseRequestFileIsRefusedWithoutBeingRead) {
    TemporaryFolder folder;
    const auto file = folder.write("request.json", R"({"output":"/tmp/a.jpg"})");
    ASSERT_EQ(::truncate(file.c_str(), off_t{1} << 30), 0);
    std::optional<CaptureRequest> request;
    // Reading 1 GiB of zeros, even without keeping them, takes far longer than this.
    EXPECT_LT(secondsTaken([&] { request = requestFromAgentFile(file); }), 0.1);
    EXPECT_FALSE(request.has_value());
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

TEST(HostileInput, AMillionNestedArraysAreNoRequestAndCostLittle) {
    std::string text = R"({"output":"/tmp/a.jpg","x":)";
    text += std::string(1'000'000, '[') + std::string(1'000'000, ']') + "}";
    std::optional<CaptureRequest> request;
    EXPECT_LT(secondsTaken([&] { request = requestFromAgentText(text); }), 1.0);
    EXPECT_FALSE(request.has_value());

    // As a file it is over the size bound before any parsing.
    TemporaryFolder folder;
    EXPECT_FALSE(requestFromAgentFile(folder.write("request.json", text)).has_value());
}

TEST(HostileInput, Utf16AndUtf32WithAByteOrderMarkAreNoRequest) {
    const std::string ascii = R"({"output":"/tmp/a.jpg"})";
    std::string littleEndian = "\xff\xfe";
    std::string bigEndian = "\xfe\xff";
    std::string utf32 = "\xff\xfe\0\0"s;
    for (const char c : ascii) {
        littleEndian += {c, '\0'};
        bigEndian += {'\0', c};
        utf32 += {c, '\0', '\0', '\0'};
    }
    for (const auto& text : {littleEndian, bigEndian, utf32}) {
        EXPECT_FALSE(requestFromAgentText(text).has_value());
    }
}

TEST(HostileInput, ExtremeNumbersKeepQualityAndWidthInBounds) {
    struct Row {
        const char* quality;
        const char* maxWidth;
        double expectedQuality;
        std::int64_t expectedWidth;
    };
    const std::vector<Row> rows = {
        {"-0", "-0", 0.2, 0},
        {"-0.0", "0e400", 0.2, 0},
        {"9223372036854775808", "-9223372036854775808", 0.95, 0},
        {"-9223372036854775809", "-9223372036854775809", 0.2, 0},
        {"1e308", "1e308", 0.95, 0},
        {"4.9e-324", "4.9e-324", 0.2, 0},
    };
    for (const auto& row : rows) {
        const auto request =
            requestFromAgentText(std::string(R"({"output":"/tmp/a.jpg","quality":)") + row.quality +
                                 R"(,"maxWidth":)" + row.maxWidth + "}");
        ASSERT_TRUE(request.has_value()) << row.quality << " " << row.maxWidth;
        EXPECT_EQ(request->quality, row.expectedQuality) << row.quality;
        EXPECT_EQ(request->maxWidth, row.expectedWidth) << row.maxWidth;
    }
    // Beyond a double is a syntax error to the reader: the whole request is refused.
    EXPECT_FALSE(requestFromAgentText(R"({"output":"/tmp/a.jpg","maxWidth":1e400})").has_value());
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
