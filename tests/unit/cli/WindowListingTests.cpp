#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/cli/WindowListing.hpp"

namespace tarnwick {
namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

WindowDescription window(WindowId number, std::string owner, std::string title, double width = 800,
                         double height = 600) {
    return {.id = number,
            .bounds = WindowBounds{.x = -5, .y = 20, .width = width, .height = height},
            .ownerName = std::move(owner),
            .title = std::move(title)};
}

TEST(WindowListing, MarksTheWindowACaptureTakesAndGivesEveryOtherItsRule) {
    auto menu = window(1, "Tavik", "menu");
    menu.layer = WindowLayer::kPopup;
    auto faded = window(2, "Tavik", "faded");
    faded.opacity = 0.005;
    auto unbounded = window(7, "Tavik", "unbounded");
    unbounded.bounds.reset();
    const auto listing = lines(windowListingText(
        "X11 on :7", {menu, faded, window(3, "Tavik", "tiny", 319, 240), window(4, "XTerm", "bash"),
                      unbounded, window(5, "XTerm", "man tavik - browser tab"),
                      window(6, "Tavik", "Inbox", 1920.5, 1080)}));
    const std::vector<std::string> expected = {
        "on-screen windows (X11 on :7), front to back; * marks the one a window capture takes:",
        R"(  1 owner "Tavik" title "menu" bounds 800x600 at -5,20 layer pop-up opacity 1: passed over: layer pop-up, not normal)",
        R"(  2 owner "Tavik" title "faded" bounds 800x600 at -5,20 layer normal opacity 0.005: passed over: opacity 0.01 or less)",
        R"(  3 owner "Tavik" title "tiny" bounds 319x240 at -5,20 layer normal opacity 1: passed over: smaller than 320x240)",
        R"(  4 owner "XTerm" title "bash" bounds 800x600 at -5,20 layer normal opacity 1: passed over: neither owner name nor title holds tavik, brevant or zorvel)",
        R"(  7 owner "Tavik" title "unbounded" bounds none layer normal opacity 1: passed over: no bounds)",
        R"(* 5 owner "XTerm" title "man tavik - browser tab" bounds 800x600 at -5,20 layer normal opacity 1: taken: title holds "tavik")",
        R"(  6 owner "Tavik" title "Inbox" bounds 1920.5x1080 at -5,20 layer normal opacity 1: qualifies, but one in front is taken: owner name holds "tavik")",
    };
    EXPECT_EQ(listing, expected);
}

TEST(WindowListing, TheWindowSystemsNoteFollowsTheHeading) {
    WindowSystem system;
    system.description = "wlroots on wayland-1";
    system.note = "native Wayland windows are not listed";
    system.windows = [] { return OrUnavailable<std::vector<WindowDescription>>(); };
    const auto listing = listWindows(system);
    ASSERT_TRUE(std::holds_alternative<std::string>(listing));
    const auto text = lines(std::get<std::string>(listing));
    ASSERT_EQ(text.size(), 3u);
    EXPECT_EQ(text[1], "note: native Wayland windows are not listed");
    EXPECT_EQ(lines(windowListingText("X11 on :7", {})).size(), 2u);
}

TEST(WindowListing, ADisplayNameFromTheEnvironmentCannotForgeALine) {
    const auto listing = lines(windowListingText("X11 on /tmp/x\n* 9 owner \"Tavik\"\x1b[2J", {}));
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0], R"(on-screen windows ("X11 on /tmp/x\n* 9 owner \"Tavik\"\x1B[2J"), )"
                          R"(front to back; * marks the one a window capture takes:)");
}

TEST(WindowListing, NoWindowListIsCodeTwo) {
    WindowSystem system;
    system.windows = [] {
        return OrUnavailable<std::vector<WindowDescription>>(Unavailable{"DISPLAY is not set"});
    };
    const auto listing = listWindows(system);
    ASSERT_TRUE(std::holds_alternative<CaptureFailure>(listing));
    const auto& failure = std::get<CaptureFailure>(listing);
    EXPECT_EQ(failure.exitCode, 2);
    EXPECT_EQ(failure.message, "failed to list on-screen windows");
    EXPECT_EQ(failure.cause, "DISPLAY is not set");
}

}  // namespace
}  // namespace tarnwick
