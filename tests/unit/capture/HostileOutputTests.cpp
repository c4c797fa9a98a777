#include <limits.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/capture/Capture.hpp"
#include "TarnwickScreenCapture/capture/WindowSelection.hpp"
#include "support/FakePlatform.hpp"
#include "support/TemporaryFolder.hpp"
#include "support/Timing.hpp"

namespace tarnwick {
namespace {

using namespace std::string_literals;
using testing::FakePlatform;
using testing::secondsTaken;
using testing::solidImage;
using testing::TemporaryFolder;

// A desktop capture written by the real JPEG writer.
std::optional<CaptureFailure> captureToFile(const std::filesystem::path& output) {
    FakePlatform fake;
    fake.screenImage = solidImage(16, 16);
    Platform platform = fake.platform();
    platform.writeJpeg = jpegFileWriter(ExistingOutput::kReplaceAnything);
    return capture(CaptureRequest{.id = "h",
                                  .output = output,
                                  .quality = 0.5,
                                  .maxWidth = 0,
                                  .target = CaptureTarget::kDesktop},
                   platform);
}

int errorCode(const std::optional<CaptureFailure>& failure) {
    return failure ? failure->exitCode : 0;
}

TEST(HostileCapture, ANulInTheOutputIsCodeThreeAndCreatesNothing) {
    TemporaryFolder folder;
    EXPECT_EQ(errorCode(captureToFile(folder.path.string() + "/a\0b.jpg"s)), 3);
    EXPECT_TRUE(std::filesystem::is_empty(folder.path));  // not even the part before the NUL
}

TEST(HostileCapture, OtherControlCharactersInTheOutputAreAnOrdinaryFileName) {
    const std::string name =
        "a\x01\t\n\x1f\x7f"
        "b.jpg";
    TemporaryFolder folder;
    EXPECT_EQ(errorCode(captureToFile(folder.path / name)), 0);
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.path / name));
}

TEST(HostileCapture, PathsTooLongForTheSystemAreCodeThree) {
    TemporaryFolder folder;
    const std::string longName(NAME_MAX + 1, 'n');
    std::string deepPath = folder.path.string();
    while (deepPath.size() <= PATH_MAX) {
        deepPath += "/" + std::string(200, 'd');
    }
    for (const std::string& output :
         {folder.path.string() + "/" + longName, deepPath + "/shot.jpg"}) {
        EXPECT_EQ(errorCode(captureToFile(output)), 3) << output.size();
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder.path));
}

WindowDescription windowTitled(const std::string& title, WindowId number) {
    return {.id = number,
            .bounds = WindowBounds{.width = 800, .height = 600},
            .ownerName = "xterm",
            .title = title};
}

WindowId selectedAmong(const std::vector<WindowDescription>& windows) {
    const auto result = selectTavikWindow(windows);
    return std::holds_alternative<WindowDescription>(result)
               ? std::get<WindowDescription>(result).id
               : static_cast<WindowId>(1000 + std::get<CaptureFailure>(result).exitCode);
}

TEST(HostileCapture, WindowTitlesWithBadBytesOrOfGreatLengthAreReadSafely) {
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

TEST(HostileCapture, ADanglingSymlinkAtTheOutputIsReplacedAndItsTargetNeverCreated) {
    TemporaryFolder folder;
    const auto link = folder.path / "shot.jpg";
    std::filesystem::create_symlink(folder.path / "elsewhere.jpg", link);
    EXPECT_EQ(errorCode(captureToFile(link)), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::is_regular_file(link));
    EXPECT_FALSE(std::filesystem::exists(folder.path / "elsewhere.jpg"));
}

}  // namespace
}  // namespace tarnwick
