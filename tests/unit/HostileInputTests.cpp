// What the tool does with inputs built to hurt it: the rows of docs/hostile-inputs.md that unit
// tests can show. Rows already shown elsewhere are only referenced there.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "FakePlatform.hpp"
#include "TarnwickScreenCapture/AgentRequestFile.hpp"
#include "TarnwickScreenCapture/AgentResponseFile.hpp"
#include "TarnwickScreenCapture/Capture.hpp"
#include "TarnwickScreenCapture/CaptureRequest.hpp"
#include "TarnwickScreenCapture/WindowSelection.hpp"
#include "TarnwickScreenCapture/platform/JpegFiles.hpp"
#include "TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using namespace std::string_literals;
using testing::FakePlatform;
using testing::readWholeFile;
using testing::solidImage;
using testing::TemporaryFolder;
using Json = nlohmann::json;

// A desktop capture that writes through the real JPEG file destination.
std::optional<CaptureError> captureToFile(const std::filesystem::path& output) {
    FakePlatform fake;
    fake.windowListImage = solidImage(16, 16);
    Platform platform = fake.platform();
    platform.createJpegDestination = createJpegFileDestination;
    return capture(
        CaptureRequest{
            .id = "h", .output = output, .quality = 0.5, .maxWidth = 0, .target = kTargetDesktop},
        platform);
}

std::int64_t errorCode(const std::optional<CaptureError>& error) {
    return error ? error->code : 0;
}

std::optional<CaptureRequest> requestFromJson(const Json& document) {
    return requestFromAgentText(document.dump());
}

template <class Body>
double secondsTaken(Body body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(HostileInput, ANulInTheOutputMakesARequestThatTheDestinationRefusesWithCodeThree) {
    const auto request = requestFromAgentText(R"({"output":"/tmp/a\u0000b.jpg"})");
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->output.native(), "/tmp/a\0b.jpg"s);

    TemporaryFolder folder;
    EXPECT_EQ(errorCode(captureToFile(folder.path.string() + "/a\0b.jpg"s)), 3);
    EXPECT_TRUE(std::filesystem::is_empty(folder.path));  // not even the part before the NUL
}

TEST(HostileInput, OtherControlCharactersInTheOutputAreAnOrdinaryFileName) {
    const std::string name =
        "a\x01\t\n\x1f\x7f"
        "b.jpg";
    const auto fromFile = requestFromJson({{"output", "/tmp/" + name}});
    ASSERT_TRUE(fromFile.has_value());
    EXPECT_EQ(fromFile->output.native(), "/tmp/" + name);
    const auto fromArguments = requestFromArguments({"prog", "/tmp/" + name});
    ASSERT_TRUE(fromArguments.has_value());
    EXPECT_EQ(fromArguments->output.native(), "/tmp/" + name);

    TemporaryFolder folder;
    EXPECT_EQ(errorCode(captureToFile(folder.path / name)), 0);
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.path / name));
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

    // On the command line strtod saturates instead, and the clamps apply.
    const std::vector<std::pair<std::string, double>> qualities = {{"1e400", 0.95},
                                                                   {"-1e400", 0.2},
                                                                   {"-0", 0.2},
                                                                   {"1e-400", 0.2},
                                                                   {"9223372036854775808", 0.95}};
    for (const auto& [given, expected] : qualities) {
        EXPECT_EQ(requestFromArguments({"p", "a.jpg", given})->quality, expected) << given;
    }
    EXPECT_EQ(requestFromArguments({"p", "a.jpg", "0.5", "-0"})->maxWidth, 0);
    EXPECT_EQ(requestFromArguments({"p", "a.jpg", "0.5", "-9223372036854775808"})->maxWidth, 0);
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

TEST(HostileInput, PathsTooLongForTheSystemMakeARequestThatTheDestinationRefuses) {
    TemporaryFolder folder;
    const std::string longName(NAME_MAX + 1, 'n');
    std::string deepPath = folder.path.string();
    while (deepPath.size() <= PATH_MAX) {
        deepPath += "/" + std::string(200, 'd');
    }
    for (const std::string& output :
         {folder.path.string() + "/" + longName, deepPath + "/shot.jpg"}) {
        const auto request = requestFromArguments({"p", output});
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request->output.native(), output);
        EXPECT_EQ(errorCode(captureToFile(output)), 3) << output.size();
        // The response writer gives up as quietly on the same path.
        writeAgentResponse(output, "id", true, std::nullopt);
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder.path));
}

WindowDescription windowTitled(const std::string& title, CGWindowID number) {
    return {.number = number,
            .bounds = WindowBounds{.width = 800, .height = 600},
            .ownerName = "xterm",
            .title = title};
}

CGWindowID selectedAmong(const std::vector<WindowDescription>& windows) {
    const auto result = selectTavikWindow(windows);
    return std::holds_alternative<WindowDescription>(result)
               ? std::get<WindowDescription>(result).number
               : static_cast<CGWindowID>(1000 + std::get<CaptureError>(result).code);
}

TEST(HostileInput, WindowTitlesWithBadBytesOrOfGreatLengthAreReadSafely) {
    const std::string junk = "\xff\xfe\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82";
    std::string longJunk;
    while (longJunk.size() < 64 * 1024) {
        longJunk += junk + "TAVI\xcc";
    }
    // Each bad sequence is a replacement character: whole needles around it still match, a
    // needle split by one does not.
    EXPECT_EQ(selectedAmong({windowTitled(junk + "Tavik" + junk, 7)}), 7u);
    EXPECT_EQ(selectedAmong({windowTitled("Tav\xffik", 7)}), 1005u);
    EXPECT_EQ(selectedAmong({windowTitled(longJunk, 7), windowTitled(longJunk + "Brevant", 8)}),
              8u);
    EXPECT_EQ(selectedAmong({windowTitled(std::string(64 * 1024, '\0') + "zorvel", 9)}), 9u);
    EXPECT_LT(secondsTaken([&] { selectedAmong({windowTitled(longJunk, 7)}); }), 1.0);
}

TEST(HostileInput, ADanglingSymlinkAtTheOutputIsReplacedAndItsTargetNeverCreated) {
    TemporaryFolder folder;
    const auto link = folder.path / "shot.jpg";
    std::filesystem::create_symlink(folder.path / "elsewhere.jpg", link);
    EXPECT_EQ(errorCode(captureToFile(link)), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::is_regular_file(link));
    EXPECT_FALSE(std::filesystem::exists(folder.path / "elsewhere.jpg"));
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
