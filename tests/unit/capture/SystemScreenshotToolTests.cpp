#include <sys/stat.h>

#include <regex>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TarnwickScreenCapture/capture/SystemScreenshotTool.hpp"
#include "TarnwickScreenCapture/image/JpegFile.hpp"
#include "support/Images.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using testing::TemporaryFolder;

// The real services, with the screenshot tool's path swapped for a script of the test's.
struct ToolHarness {
    TemporaryFolder folder;
    std::filesystem::path tool = folder.path / "fake-screencapture";
    std::filesystem::path argumentsFile = folder.path / "arguments";
    std::filesystem::path temporary = folder.path / "tmp";

    ToolHarness() { std::filesystem::create_directory(temporary); }

    void writeTool(const std::string& body) {
        folder.write("fake-screencapture", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" +
                                               argumentsFile.string() + "'\n" + body + "\n");
        ::chmod(tool.c_str(), 0755);
    }

    SharedImage capture(std::optional<WindowId> window) {
        return captureWithSystemTool(window, tool, temporary);
    }

    std::vector<std::string> arguments() const {
        std::vector<std::string> lines;
        std::istringstream in(testing::readWholeFile(argumentsFile));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    bool temporaryIsEmpty() const { return std::filesystem::is_empty(temporary); }
};

std::string sampleJpeg(const std::filesystem::path& where, std::int64_t width,
                       std::int64_t height) {
    EXPECT_EQ(writeJpegFile(where, testing::solidImage(width, height), 0.9,
                            ExistingOutput::kReplaceAnything)
                  .result,
              JpegWriteResult::kWritten);
    return where.string();
}

TEST(CaptureWithSystemTool, ScreenFormHasFourArgumentsAndAFreshTemporaryJpegPath) {
    ToolHarness harness;
    harness.writeTool("exit 1");
    EXPECT_EQ(harness.capture(std::nullopt), nullptr);
    const auto arguments = harness.arguments();
    ASSERT_EQ(arguments.size(), 4u);
    EXPECT_THAT(std::vector(arguments.begin(), arguments.begin() + 3),
                ::testing::ElementsAre("-x", "-t", "jpg"));
    const std::filesystem::path file = arguments[3];
    EXPECT_EQ(file.parent_path(), harness.temporary);
    EXPECT_TRUE(std::regex_match(
        file.filename().string(),
        std::regex("tarnwick-screencapture-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                   "[0-9A-F]{12}\\.jpg")))
        << file;
}

TEST(CaptureWithSystemTool, WindowFormPassesTheNumberInDecimalEvenWhenZero) {
    for (const WindowId window : {0u, 7u, 4294967295u}) {
        ToolHarness harness;
        harness.writeTool("exit 1");
        harness.capture(window);
        const auto arguments = harness.arguments();
        ASSERT_EQ(arguments.size(), 6u);
        EXPECT_THAT(std::vector(arguments.begin(), arguments.begin() + 5),
                    ::testing::ElementsAre("-x", "-t", "jpg", "-l", std::to_string(window)));
    }
}

TEST(CaptureWithSystemTool, EveryFailureAfterTheToolRanGivesNoImageAndLeavesNoFile) {
    const std::vector<std::pair<std::string, std::string>> tools{
        {"writes a JPEG but exits 1", "cp \"$SAMPLE\" \"$4\"; exit 1"},
        {"exits 0 without a file", "exit 0"},
        {"writes a file that is no image", "echo 'not a jpeg' > \"$4\"; exit 0"},
        {"writes a truncated JPEG", "head -c 100 \"$SAMPLE\" > \"$4\"; exit 0"},
        {"is killed by a signal", "kill -9 $$"},
    };
    for (const auto& [what, body] : tools) {
        ToolHarness harness;
        const auto sample = sampleJpeg(harness.folder.path / "sample.jpg", 64, 48);
        harness.writeTool("SAMPLE='" + sample + "'\n" + body);
        EXPECT_EQ(harness.capture(std::nullopt), nullptr) << what;
        EXPECT_TRUE(harness.temporaryIsEmpty()) << what;
    }
}

TEST(CaptureWithSystemTool, AMissingToolGivesNoImage) {
    ToolHarness harness;  // the tool script is never written
    EXPECT_EQ(harness.capture(std::nullopt), nullptr);
    EXPECT_EQ(std::string(kScreenshotToolPath), "/usr/sbin/screencapture");
}

TEST(CaptureWithSystemTool, ReturnsTheDecodedImageWhichOutlivesItsRemovedFile) {
    ToolHarness harness;
    const auto sample = sampleJpeg(harness.folder.path / "sample.jpg", 64, 48);
    harness.writeTool("cp '" + sample + "' \"$6\"; exit 0");
    const auto image = harness.capture(5);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 64);
    EXPECT_EQ(image->height, 48);
    EXPECT_NEAR(image->pixels[0], 200, 3);  // the sample's red
    EXPECT_EQ(image->pixels[3], 255);
    EXPECT_TRUE(harness.temporaryIsEmpty());
}

}  // namespace
}  // namespace tarnwick
