#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "TarnwickScreenCapture/capture/WindowSelection.hpp"

namespace tarnwick {
namespace {

using Windows = std::vector<WindowDescription>;

// A window that passes every test; cases change one value.
WindowDescription qualifyingWindow(WindowId number) {
    return {.id = number,
            .layer = WindowLayer::kNormal,
            .opacity = 1.0,
            .bounds = WindowBounds{.x = 0, .y = 0, .width = 1280, .height = 800},
            .ownerName = "Tavik",
            .title = "Inbox"};
}

constexpr WindowId kPassed = 7;
constexpr WindowId kPassedOver = 99;

WindowId selected(const Windows& list) {
    const auto result = selectTavikWindow(list);
    if (const auto* error = std::get_if<CaptureFailure>(&result)) {
        ADD_FAILURE() << "unexpected error " << error->exitCode << ": " << error->message;
        return kNoWindow;
    }
    return std::get<WindowDescription>(result).id;
}

// The window under test first, then a qualifying fallback numbered 99, so that "passed over"
// shows as 99 rather than as an error that other faults could also cause.
WindowId selectedWith(const std::function<void(WindowDescription&)>& change) {
    auto window = qualifyingWindow(kPassed);
    change(window);
    return selected({window, qualifyingWindow(kPassedOver)});
}

WindowId selectedWithSize(double width, double height) {
    return selectedWith(
        [&](auto& w) { w.bounds = WindowBounds{.width = width, .height = height}; });
}

void expectError(const OrUnavailable<Windows>& list, std::int64_t code, const char* message) {
    const auto result = selectTavikWindow(list);
    const auto* error = std::get_if<CaptureFailure>(&result);
    ASSERT_NE(error, nullptr) << "selected window " << std::get<WindowDescription>(result).id;
    EXPECT_EQ(error->exitCode, code);
    EXPECT_EQ(error->message, message);
}

TEST(SelectTavikWindow, NoListIsCodeTwoAndNoQualifyingWindowCodeFive) {
    expectError(Unavailable{"no display"}, 2, "failed to list on-screen windows");
    const char* message = "Tavik or Brevant window was not found on screen.";
    expectError(Windows{}, 5, message);
    auto other = qualifyingWindow(kPassed);
    other.ownerName = "Terminal";
    other.title = "bash";
    expectError(Windows{other, WindowDescription{}}, 5, message);
}

TEST(SelectTavikWindow, OnlyNormalWindowsQualify) {
    for (const auto layer : {WindowLayer::kKeptAbove, WindowLayer::kPanel, WindowLayer::kPopup}) {
        EXPECT_EQ(selectedWith([layer](auto& w) { w.layer = layer; }), kPassedOver);
    }
}

TEST(SelectTavikWindow, MinimizedWindowsArePassedOver) {
    EXPECT_EQ(selectedWith([](auto& w) { w.minimized = true; }), kPassedOver);
}

TEST(FrontToBackByListing, TheActivatedWindowComesFirstThenTheMostRecentlyListed) {
    auto listed = [](WindowId number, bool activated) {
        return ListedWindow{qualifyingWindow(number), activated};
    };
    auto order = [](std::vector<ListedWindow> windows) {
        std::vector<WindowId> numbers;
        for (const auto& window : frontToBackByListing(std::move(windows))) {
            numbers.push_back(window.id);
        }
        return numbers;
    };
    EXPECT_EQ(order({listed(1, false), listed(2, true), listed(3, false), listed(4, false)}),
              (std::vector<WindowId>{2, 4, 3, 1}));
    EXPECT_EQ(order({listed(1, false), listed(2, false)}), (std::vector<WindowId>{2, 1}));
    EXPECT_TRUE(order({}).empty());

    // A minimized window stays in the order but is passed over: the next one is taken.
    auto minimized = listed(3, false);
    minimized.window.minimized = true;
    EXPECT_EQ(selected(frontToBackByListing({listed(1, false), listed(2, false), minimized})), 2u);
}

TEST(SelectTavikWindow, OpacityMustExceedOneHundredth) {
    EXPECT_EQ(selectedWith([](auto& w) { w.opacity = 0.01; }), kPassedOver);
    EXPECT_EQ(selectedWith([](auto& w) { w.opacity = 0; }), kPassedOver);
    EXPECT_EQ(selectedWith([](auto& w) { w.opacity = std::nextafter(0.01, 1.0); }), kPassed);
    EXPECT_EQ(selectedWith([](auto& w) { w.opacity = std::nan(""); }), kPassed);
}

TEST(SelectTavikWindow, BoundsMustBeKnownAndAtLeast320By240) {
    EXPECT_EQ(selectedWithSize(320, 240), kPassed);
    EXPECT_EQ(selectedWithSize(319.5, 1000), kPassedOver);
    EXPECT_EQ(selectedWithSize(1000, 239.9), kPassedOver);
    EXPECT_EQ(selectedWithSize(1000, 0), kPassedOver);
    EXPECT_EQ(selectedWithSize(std::nan(""), std::nan("")), kPassed);
    EXPECT_EQ(selectedWith([](auto& w) { w.bounds.reset(); }), kPassedOver);
}

TEST(SelectTavikWindow, OwnerNameOrTitleMustContainANeedleInAnyLetterCase) {
    EXPECT_EQ(selectedWith([](auto& w) {
                  w.ownerName.clear();
                  w.title = "Draft - bREVANT";
              }),
              kPassed);
    EXPECT_EQ(selectedWith([](auto& w) { w.ownerName = "MyTavikHelper"; }), kPassed);
    EXPECT_EQ(selectedWith([](auto& w) { w.ownerName = "ZORVEL"; }), kPassed);
    EXPECT_EQ(selectedWith([](auto& w) { w.ownerName = "TAVI\u212A"; }), kPassed);  // KELVIN SIGN
    EXPECT_EQ(selectedWith([](auto& w) { w.ownerName = "TAV\u0130K"; }), kPassedOver);
    EXPECT_EQ(selectedWith([](auto& w) { w.ownerName = "Tavi"; }), kPassedOver);
    EXPECT_EQ(selectedWith([](auto& w) { w.ownerName.clear(); }), kPassedOver);  // "Inbox"
}

TEST(SelectTavikWindow, AWindowNeedsANumber) {
    EXPECT_EQ(selectedWith([](auto& w) { w.id = kNoWindow; }), kPassedOver);
    EXPECT_EQ(selectedWith([](auto& w) { w.id = 4294967295u; }), 4294967295u);
}

TEST(SelectTavikWindow, TheFirstQualifyingWindowWinsWhateverComesLater) {
    auto small = qualifyingWindow(3);
    small.ownerName = "Finder";
    small.title = "zorvel notes";
    small.bounds = WindowBounds{.width = 320, .height = 240};
    auto large = qualifyingWindow(4);
    large.bounds = WindowBounds{.width = 5000, .height = 3000};
    auto rejected = qualifyingWindow(2);
    rejected.layer = WindowLayer::kPanel;
    EXPECT_EQ(selected({rejected, small, large}), 3u);
}

TEST(FindTavikWindow, ListsOnceAndReturnsTheWholeDescription) {
    int calls = 0;
    WindowSystem system;
    system.windows = [&] {
        ++calls;
        return OrUnavailable<Windows>(Windows{qualifyingWindow(41)});
    };
    const auto result = findTavikWindow(system);
    ASSERT_TRUE(std::holds_alternative<WindowDescription>(result));
    EXPECT_EQ(std::get<WindowDescription>(result).id, 41u);
    EXPECT_EQ(std::get<WindowDescription>(result).bounds->width, 1280);
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace tarnwick
