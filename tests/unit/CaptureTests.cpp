#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakePlatform.hpp"
#include "TarnwickScreenCapture/Capture.hpp"

namespace tarnwick {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;
using testing::solidImage;

const std::string kTool =
    "tool /usr/sbin/screencapture -x -t jpg "
    "/fake-tmp/tarnwick-screencapture-11111111-2222-4333-8444-555555555555.jpg";
const std::string kToolFile =
    "/fake-tmp/tarnwick-screencapture-11111111-2222-4333-8444-555555555555.jpg";

CaptureRequest request(std::string target, std::int64_t maxWidth = 0, double quality = 0.55) {
    return CaptureRequest{"id", "/out/shot.jpg", quality, maxWidth, std::move(target)};
}

WindowDescription tavikWindow(CGWindowID number) {
    return {
        .number = number, .bounds = WindowBounds{.width = 800, .height = 600}, .title = "Tavik"};
}

TEST(Capture, DesktopUsesTheImageServiceAloneWhenItGivesAnImage) {
    FakePlatform fake;
    fake.windowListImage = solidImage(1920, 1080);
    EXPECT_FALSE(capture(request("desktop", 1280, 0.8), fake.platform()).has_value());
    EXPECT_THAT(fake.calls, ElementsAre("desktop image", "destination /out/shot.jpg",
                                        "add 1280x720", "finalize"));
    EXPECT_EQ(fake.addedQuality, 0.8);
}

TEST(Capture, DesktopFallsBackToTheScreenshotToolForTheWholeScreen) {
    FakePlatform fake;
    fake.toolExitStatus = 0;
    fake.toolImage = solidImage(640, 480);
    EXPECT_FALSE(capture(request("desktop"), fake.platform()).has_value());
    EXPECT_THAT(fake.calls,
                ElementsAre("desktop image", kTool, "decode " + kToolFile, "remove " + kToolFile,
                            "destination /out/shot.jpg", "add 640x480", "finalize"));
}

TEST(Capture, DesktopNeverConsultsWindowSelection) {
    FakePlatform fake;
    fake.windowList = std::nullopt;  // would be code 2 on the window path
    fake.windowListImage = solidImage(10, 10);
    EXPECT_FALSE(capture(request("desktop"), fake.platform()).has_value());
    EXPECT_EQ(fake.calls.front(), "desktop image");
}

TEST(Capture, AnyOtherTargetTakesTheWindowPathWithTheSelectedWindow) {
    for (const std::string target : {"tavik", "Desktop", "desktop ", ""}) {
        FakePlatform fake;
        fake.windowList = std::vector{tavikWindow(77)};
        fake.windowListImage = solidImage(800, 600);
        EXPECT_FALSE(capture(request(target), fake.platform()).has_value()) << target;
        EXPECT_THAT(fake.calls, ElementsAre("list", "window image 77", "destination /out/shot.jpg",
                                            "add 800x600", "finalize"))
            << target;
    }
}

TEST(Capture, WindowFallsBackToTheScreenshotToolForThatWindow) {
    FakePlatform fake;
    fake.windowList = std::vector{tavikWindow(4294967295u)};
    fake.toolExitStatus = 0;
    fake.toolImage = solidImage(800, 600);
    EXPECT_FALSE(capture(request("tavik"), fake.platform()).has_value());
    EXPECT_EQ(fake.calls[1], "window image 4294967295");
    EXPECT_EQ(fake.calls[2], "tool /usr/sbin/screencapture -x -t jpg -l 4294967295 " + kToolFile);
}

TEST(Capture, WindowSelectionErrorsPassThroughUnchangedAndNothingElseRuns) {
    FakePlatform noList;
    noList.windowList = std::nullopt;
    const auto listError = capture(request("tavik"), noList.platform());
    ASSERT_TRUE(listError.has_value());
    EXPECT_EQ(listError->code, 2);
    EXPECT_EQ(listError->message, "failed to list on-screen windows");
    EXPECT_THAT(noList.calls, ElementsAre("list"));

    FakePlatform noWindow;
    const auto notFound = capture(request("tavik"), noWindow.platform());
    ASSERT_TRUE(notFound.has_value());
    EXPECT_EQ(notFound->code, 5);
    EXPECT_EQ(notFound->message, "Tavik or Brevant window was not found on screen.");
    EXPECT_THAT(noWindow.calls, ElementsAre("list"));
}

TEST(Capture, NoImageFromEitherSourceIsCodeSixAndNothingIsWritten) {
    for (const auto status : {std::optional<int>{}, std::optional<int>{1}, std::optional<int>{0}}) {
        FakePlatform fake;
        fake.toolExitStatus = status;
        const auto error = capture(request("desktop"), fake.platform());
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->code, 6);
        EXPECT_EQ(error->message,
                  "failed to capture screen; Screen Recording permission may be missing.");
        for (const auto& call : fake.calls) {
            EXPECT_EQ(call.rfind("destination", 0), std::string::npos);
        }
    }
}

TEST(Capture, UnopenableDestinationIsCodeThreeBeforeAnyScaling) {
    FakePlatform fake;
    fake.windowListImage = solidImage(4000, 3000);
    fake.destinationOpens = false;
    const auto error = capture(request("desktop", 100), fake.platform());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, 3);
    EXPECT_EQ(error->message, "failed to create JPEG destination");
    EXPECT_THAT(fake.calls, ElementsAre("desktop image", "destination /out/shot.jpg"));
}

TEST(Capture, FailedFinalizeIsCodeFour) {
    FakePlatform fake;
    fake.windowListImage = solidImage(10, 10);
    fake.finalizeSucceeds = false;
    const auto error = capture(request("desktop"), fake.platform());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, 4);
    EXPECT_EQ(error->message, "failed to finalize JPEG");
}

// The image was taken, so this is no "no image" (and no reason to run the screenshot tool): the
// JPEG at the requested size could not be made, and no other size is written in its place.
TEST(Capture, AScaledImageThatCannotBeMadeIsCodeFourAndNothingIsWritten) {
    FakePlatform fake;
    auto tooWide = std::make_shared<Image>();
    tooWide->width = 70000;
    tooWide->height = 10;
    tooWide->readRows = [](std::int64_t, std::int64_t, std::uint8_t*, std::size_t) { return true; };
    fake.windowListImage = tooWide;
    const auto error = capture(request("desktop", 1280), fake.platform());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, 4);
    EXPECT_EQ(error->message, "failed to finalize JPEG");
    EXPECT_THAT(fake.calls, ElementsAre("desktop image", "destination /out/shot.jpg"));
}

TEST(Capture, AnImageThatCannotBeReadWhileWrittenCountsAsNoImage) {
    FakePlatform toolFails;
    toolFails.windowListImage = solidImage(100, 100);
    toolFails.unreadableFinalizes = 1;
    toolFails.toolExitStatus = 1;
    const auto error = capture(request("desktop"), toolFails.platform());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, 6);
    EXPECT_THAT(toolFails.calls,
                ElementsAre("desktop image", "destination /out/shot.jpg", "add 100x100", "finalize",
                            "unreadable?", kTool, "remove " + kToolFile));

    FakePlatform toolWorks;
    toolWorks.windowListImage = solidImage(100, 100);
    toolWorks.unreadableFinalizes = 1;
    toolWorks.toolExitStatus = 0;
    toolWorks.toolImage = solidImage(50, 50);
    EXPECT_FALSE(capture(request("desktop"), toolWorks.platform()).has_value());
    EXPECT_EQ(toolWorks.addedImage, toolWorks.toolImage);

    // The tool already ran: an unreadable image now is no image, and the tool is not run again.
    FakePlatform toolRan;
    toolRan.toolExitStatus = 0;
    toolRan.toolImage = solidImage(50, 50);
    toolRan.unreadableFinalizes = 1;
    EXPECT_EQ(capture(request("desktop"), toolRan.platform())->code, 6);
    EXPECT_EQ(std::count_if(toolRan.calls.begin(), toolRan.calls.end(),
                            [](const std::string& call) { return call.rfind("tool", 0) == 0; }),
              1);
}

TEST(Capture, QualityAndUnscaledImagePassThroughExactly) {
    FakePlatform fake;
    fake.windowListImage = solidImage(1280, 10);
    const double quality = 0.1 + 0.2;  // not a round decimal: must arrive bit for bit
    EXPECT_FALSE(capture(request("desktop", 1280, quality), fake.platform()).has_value());
    EXPECT_EQ(fake.addedImage, fake.windowListImage);
    EXPECT_EQ(fake.addedQuality, quality);
}

}  // namespace
}  // namespace tarnwick
