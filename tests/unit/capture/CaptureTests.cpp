#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TarnwickScreenCapture/capture/Capture.hpp"
#include "support/FakePlatform.hpp"

namespace tarnwick {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::Optional;

// A failure as the user sees it, and the cause the agent's log gives.
auto failure(int exitCode, const std::string& message, const std::string& cause) {
    return Optional(AllOf(Field(&CaptureFailure::exitCode, exitCode),
                          Field(&CaptureFailure::message, message),
                          Field(&CaptureFailure::cause, cause)));
}
using testing::FakePlatform;
using testing::solidImage;

constexpr auto kDesktop = CaptureTarget::kDesktop;
constexpr auto kTavik = CaptureTarget::kTavik;

CaptureRequest request(CaptureTarget target, std::int64_t maxWidth = 0, double quality = 0.55) {
    return CaptureRequest{"id", "/out/shot.jpg", quality, maxWidth, target};
}

WindowDescription tavikWindow(WindowId id) {
    return {.id = id, .bounds = WindowBounds{.width = 800, .height = 600}, .title = "Tavik"};
}

std::pair<std::int64_t, std::int64_t> sizeOf(const SharedImage& image) {
    return {image->width, image->height};
}

TEST(Capture, TheDesktopIsScaledAndWrittenWithTheRequestsQualityWithoutListingWindows) {
    FakePlatform fake;
    fake.windows = Unavailable{"none"};  // would be code 2 on the window path
    fake.screenImage = solidImage(1920, 1080);
    EXPECT_EQ(capture(request(kDesktop, 1280, 0.8), fake.platform()), std::nullopt);
    ASSERT_TRUE(fake.written);
    EXPECT_EQ(fake.written->output, "/out/shot.jpg");
    EXPECT_EQ(sizeOf(fake.written->image), (std::pair<std::int64_t, std::int64_t>(1280, 720)));
    EXPECT_EQ(fake.written->quality, 0.8);
    EXPECT_FALSE(fake.listed);
    EXPECT_TRUE(fake.toolRuns.empty());
}

TEST(Capture, TheWindowTargetCapturesTheSelectedWindow) {
    FakePlatform fake;
    fake.windows = std::vector{tavikWindow(77)};
    fake.screenImage = solidImage(800, 600);
    EXPECT_EQ(capture(request(kTavik), fake.platform()), std::nullopt);
    EXPECT_EQ(fake.imagedWindow, 77u);
    ASSERT_TRUE(fake.written);
    EXPECT_EQ(fake.written->image, fake.screenImage);
}

TEST(Capture, WithoutAnImageTheScreenshotToolTakesTheScreenOrThatWindowOnce) {
    FakePlatform desktop;
    desktop.toolImage = solidImage(640, 480);
    EXPECT_EQ(capture(request(kDesktop), desktop.platform()), std::nullopt);
    EXPECT_THAT(desktop.toolRuns, ElementsAre(std::nullopt));
    EXPECT_EQ(desktop.written->image, desktop.toolImage);

    FakePlatform window;
    window.windows = std::vector{tavikWindow(4294967295u)};
    window.toolImage = solidImage(800, 600);
    EXPECT_EQ(capture(request(kTavik), window.platform()), std::nullopt);
    EXPECT_THAT(window.toolRuns, ElementsAre(4294967295u));
}

TEST(Capture, WindowSelectionFailuresPassThroughAndNothingIsCapturedOrWritten) {
    FakePlatform noList;
    noList.windows = Unavailable{"DISPLAY is not set"};
    EXPECT_THAT(capture(request(kTavik), noList.platform()),
                failure(2, "failed to list on-screen windows", "DISPLAY is not set"));

    FakePlatform noWindow;
    EXPECT_THAT(
        capture(request(kTavik), noWindow.platform()),
        failure(5, "Tavik or Brevant window was not found on screen.", "no window is on screen"));
    for (const FakePlatform* fake : {&noList, &noWindow}) {
        EXPECT_FALSE(fake->imagedWindow);
        EXPECT_TRUE(fake->toolRuns.empty());
        EXPECT_FALSE(fake->written);
    }
}

TEST(Capture, NoImageFromEitherSourceIsCodeSixAndNothingIsWritten) {
    for (const CaptureTarget target : {kDesktop, kTavik}) {
        FakePlatform fake;
        fake.windows = std::vector{tavikWindow(3)};
        EXPECT_THAT(
            capture(request(target), fake.platform()),
            failure(6, "failed to capture screen; Screen Recording permission may be missing.",
                    "no screen"))
            << static_cast<int>(target);
        EXPECT_EQ(fake.toolRuns.size(), 1u);
        EXPECT_FALSE(fake.written);
    }
}

TEST(Capture, AnOutputThatCannotBeWrittenIsCodeThreeAndAFailedWriteCodeFour) {
    FakePlatform unavailable;
    unavailable.screenImage = solidImage(4000, 3000);
    unavailable.writeResult = JpegWriteResult::kOutputUnavailable;
    EXPECT_THAT(capture(request(kDesktop, 100), unavailable.platform()),
                failure(3, "failed to create JPEG destination", "no such folder"));

    FakePlatform failed;
    failed.screenImage = solidImage(10, 10);
    failed.writeResult = JpegWriteResult::kWriteFailed;
    EXPECT_THAT(capture(request(kDesktop), failed.platform()),
                failure(4, "failed to finalize JPEG", "disk full"));
    EXPECT_TRUE(failed.toolRuns.empty());
}

// The image was taken, so this is no "no image" (and no reason to run the screenshot tool): the
// JPEG at the requested size could not be made, and no other size is written in its place.
TEST(Capture, AScaledImageThatCannotBeMadeIsCodeFourAndNothingIsWritten) {
    FakePlatform fake;
    auto tooWide = std::make_shared<Image>();
    tooWide->width = 70000;
    tooWide->height = 10;
    tooWide->readRows = [](std::int64_t, std::int64_t, std::uint8_t*, std::size_t) { return true; };
    fake.screenImage = tooWide;
    EXPECT_THAT(capture(request(kDesktop, 1280), fake.platform()),
                failure(4, "failed to finalize JPEG", "no image"));
    EXPECT_FALSE(fake.written);
    EXPECT_TRUE(fake.toolRuns.empty());
}

TEST(Capture, AnImageThatCannotBeReadWhileWrittenCountsAsNoImage) {
    FakePlatform toolFails;
    toolFails.screenImage = solidImage(100, 100);
    toolFails.unreadableWrites = 1;
    EXPECT_THAT(capture(request(kDesktop), toolFails.platform()),
                failure(6, messages::kCaptureFailed, "vanished"));
    EXPECT_EQ(toolFails.toolRuns.size(), 1u);

    FakePlatform toolWorks;
    toolWorks.screenImage = solidImage(100, 100);
    toolWorks.unreadableWrites = 1;
    toolWorks.toolImage = solidImage(50, 50);
    EXPECT_EQ(capture(request(kDesktop), toolWorks.platform()), std::nullopt);
    EXPECT_EQ(toolWorks.written->image, toolWorks.toolImage);

    // The tool already ran: an unreadable image now is no image, and the tool is not run again.
    FakePlatform toolRan;
    toolRan.toolImage = solidImage(50, 50);
    toolRan.unreadableWrites = 1;
    EXPECT_EQ(capture(request(kDesktop), toolRan.platform())->exitCode, 6);
    EXPECT_EQ(toolRan.toolRuns.size(), 1u);
}

TEST(Capture, QualityAndAnUnscaledImagePassThroughExactly) {
    FakePlatform fake;
    fake.screenImage = solidImage(1280, 10);
    const double quality = 0.1 + 0.2;  // not a round decimal: must arrive bit for bit
    EXPECT_EQ(capture(request(kDesktop, 1280, quality), fake.platform()), std::nullopt);
    EXPECT_EQ(fake.written->image, fake.screenImage);
    EXPECT_EQ(fake.written->quality, quality);
}

}  // namespace
}  // namespace tarnwick
