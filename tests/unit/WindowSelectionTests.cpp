#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "TarnwickScreenCapture/WindowSelection.hpp"

namespace tarnwick {
namespace {

using Json = nlohmann::json;

// A window that passes every test; cases change or remove one entry.
Json qualifyingWindow(std::uint32_t number) {
    return Json{{kCGWindowNumber, number},
                {kCGWindowLayer, 0},
                {kCGWindowAlpha, 1.0},
                {kCGWindowBounds, {{"X", 0}, {"Y", 0}, {"Width", 1280}, {"Height", 800}}},
                {kCGWindowOwnerName, "Tavik"},
                {kCGWindowName, "Inbox"}};
}

// The window under test first, then a qualifying fallback numbered 99, so that "passed over"
// shows as 99 rather than as an error that other faults could also cause.
std::optional<Json> listWithFallback(const Json& window) {
    return Json::array({window, qualifyingWindow(99)});
}

constexpr CGWindowID kPassed = 7;
constexpr CGWindowID kPassedOver = 99;

CGWindowID selected(const std::optional<Json>& list) {
    const auto result = selectTavikWindow(list);
    if (const auto* error = std::get_if<CaptureError>(&result)) {
        ADD_FAILURE() << "unexpected error " << error->code << ": " << error->message;
        return kCGNullWindowID;
    }
    return std::get<CGWindowID>(result);
}

CGWindowID selectedWith(const char* key, const Json& value) {
    auto window = qualifyingWindow(kPassed);
    window[key] = value;
    return selected(listWithFallback(window));
}

CGWindowID selectedWithout(const char* key) {
    auto window = qualifyingWindow(kPassed);
    window.erase(key);
    return selected(listWithFallback(window));
}

CGWindowID selectedWithBounds(const Json& bounds) {
    return selectedWith(kCGWindowBounds, bounds);
}

void expectError(const std::optional<Json>& list, std::int64_t code, const char* message) {
    const auto result = selectTavikWindow(list);
    const auto* error = std::get_if<CaptureError>(&result);
    ASSERT_NE(error, nullptr) << "selected window " << std::get<CGWindowID>(result);
    EXPECT_EQ(error->domain, kErrorDomain);
    EXPECT_EQ(error->code, code);
    EXPECT_EQ(error->message, message);
}

TEST(SelectTavikWindow, AnUnusableListIsRefusedWhole) {
    expectError(std::nullopt, 2, "failed to list on-screen windows");
    expectError(Json(nullptr), 2, "failed to list on-screen windows");
    expectError(qualifyingWindow(kPassed), 2, "failed to list on-screen windows");
    expectError(Json::array({qualifyingWindow(kPassed), 5}), 2, "failed to list on-screen windows");
    expectError(Json::array({qualifyingWindow(kPassed), Json::array()}), 2,
                "failed to list on-screen windows");
    expectError(Json::array({qualifyingWindow(kPassed), nullptr}), 2,
                "failed to list on-screen windows");
}

TEST(SelectTavikWindow, NoQualifyingWindowIsCodeFive) {
    const char* message = "Tavik or Brevant window was not found on screen.";
    expectError(Json::array(), 5, message);
    auto other = qualifyingWindow(kPassed);
    other[kCGWindowOwnerName] = "Terminal";
    other[kCGWindowName] = "bash";
    expectError(Json::array({other, Json::object()}), 5, message);
}

TEST(SelectTavikWindow, OnlyLayerZeroQualifiesAndAnUnusableLayerCountsAsZero) {
    EXPECT_EQ(selectedWithout(kCGWindowLayer), kPassed);
    EXPECT_EQ(selectedWith(kCGWindowLayer, "3"), kPassed);    // text is never a number
    EXPECT_EQ(selectedWith(kCGWindowLayer, 2.5), kPassed);    // fractional: no layer
    EXPECT_EQ(selectedWith(kCGWindowLayer, 1e300), kPassed);  // out of range: no layer
    EXPECT_EQ(selectedWith(kCGWindowLayer, true), kPassed);   // a boolean is not a number
    EXPECT_EQ(selectedWith(kCGWindowLayer, 3), kPassedOver);
    EXPECT_EQ(selectedWith(kCGWindowLayer, -1), kPassedOver);
    EXPECT_EQ(selectedWith(kCGWindowLayer, 101.0), kPassedOver);
    EXPECT_EQ(selectedWith(kCGWindowLayer, Json::parse("18446744073709551615")), kPassed);
}

TEST(SelectTavikWindow, AlphaMustExceedOneHundredth) {
    EXPECT_EQ(selectedWithout(kCGWindowAlpha), kPassed);
    EXPECT_EQ(selectedWith(kCGWindowAlpha, 0.01), kPassedOver);
    EXPECT_EQ(selectedWith(kCGWindowAlpha, Json::parse("0.01")), kPassedOver);
    EXPECT_EQ(selectedWith(kCGWindowAlpha, 0), kPassedOver);
    EXPECT_EQ(selectedWith(kCGWindowAlpha, std::nextafter(0.01, 1.0)), kPassed);
    EXPECT_EQ(selectedWith(kCGWindowAlpha, std::nan("")), kPassed);
    EXPECT_EQ(selectedWith(kCGWindowAlpha, "0"), kPassed);    // text: opaque
    EXPECT_EQ(selectedWith(kCGWindowAlpha, false), kPassed);  // a boolean: opaque
}

TEST(SelectTavikWindow, BoundsMustBeAMapOfAtLeast320By240) {
    EXPECT_EQ(selectedWithBounds({{"Width", 320}, {"Height", 240}}), kPassed);
    EXPECT_EQ(selectedWithBounds({{"Width", 319.5}, {"Height", 1000}}), kPassedOver);
    EXPECT_EQ(selectedWithBounds({{"Width", 1000}, {"Height", 239.9}}), kPassedOver);
    EXPECT_EQ(selectedWithBounds({{"Width", 1000}}), kPassedOver);
    EXPECT_EQ(selectedWithBounds({{"Width", "1000"}, {"Height", 1000}}), kPassedOver);
    EXPECT_EQ(selectedWithBounds({{"Width", std::nan("")}, {"Height", std::nan("")}}), kPassed);
    // 2^53 + 1 has no exact double, so it is no width at all.
    EXPECT_EQ(selectedWithBounds({{"Width", 9007199254740993}, {"Height", 1000}}), kPassedOver);
    EXPECT_EQ(selectedWithBounds(Json::array({0, 0, 1000, 1000})), kPassedOver);
    EXPECT_EQ(selectedWithout(kCGWindowBounds), kPassedOver);
}

TEST(SelectTavikWindow, OwnerNameOrTitleMustContainANeedleInAnyLetterCase) {
    auto titled = qualifyingWindow(kPassed);
    titled.erase(kCGWindowOwnerName);
    titled[kCGWindowName] = "Draft - bREVANT";
    EXPECT_EQ(selected(listWithFallback(titled)), kPassed);

    EXPECT_EQ(selectedWith(kCGWindowOwnerName, "MyTavikHelper"), kPassed);
    EXPECT_EQ(selectedWith(kCGWindowOwnerName, "ZORVEL"), kPassed);
    EXPECT_EQ(selectedWith(kCGWindowOwnerName, "TAVI\u212A"), kPassed);  // KELVIN SIGN
    EXPECT_EQ(selectedWith(kCGWindowOwnerName, "TAV\u0130K"), kPassedOver);
    EXPECT_EQ(selectedWith(kCGWindowOwnerName, "Tavi"), kPassedOver);

    auto unnamed = qualifyingWindow(kPassed);
    unnamed[kCGWindowOwnerName] = 42;
    unnamed[kCGWindowName] = Json::array({"tavik"});  // only text is a name
    EXPECT_EQ(selected(listWithFallback(unnamed)), kPassedOver);
}

TEST(SelectTavikWindow, AWindowNeedsAUsableNumber) {
    const std::vector<Json> unusable{0,    -5,   7.5,    4294967296.0, Json::parse("4294967296"),
                                     "12", true, nullptr};
    for (const auto& number : unusable) {
        EXPECT_EQ(selectedWith(kCGWindowNumber, number), kPassedOver) << number.dump();
    }
    EXPECT_EQ(selectedWithout(kCGWindowNumber), kPassedOver);
    EXPECT_EQ(selectedWith(kCGWindowNumber, 12.0), 12u);
    EXPECT_EQ(selectedWith(kCGWindowNumber, Json::parse("4294967295")), 4294967295u);
}

TEST(SelectTavikWindow, TheFirstQualifyingWindowWinsWhateverComesLater) {
    auto small = qualifyingWindow(3);
    small[kCGWindowOwnerName] = "Finder";
    small[kCGWindowName] = "zorvel notes";
    small[kCGWindowBounds] = {{"Width", 320}, {"Height", 240}};
    auto large = qualifyingWindow(4);
    large[kCGWindowBounds] = {{"Width", 5000}, {"Height", 3000}};
    auto rejected = qualifyingWindow(2);
    rejected[kCGWindowLayer] = 25;
    EXPECT_EQ(selected(Json::array({rejected, small, large})), 3u);
}

TEST(FindTavikWindowID, ListsOnScreenWindowsWithoutDesktopElements) {
    std::vector<std::pair<std::uint32_t, CGWindowID>> calls;
    Platform platform;
    platform.copyWindowInfo = [&](std::uint32_t options, CGWindowID relativeTo) {
        calls.emplace_back(options, relativeTo);
        return std::optional<Json>(Json::array({qualifyingWindow(41)}));
    };
    const auto result = findTavikWindowID(platform);
    ASSERT_TRUE(std::holds_alternative<CGWindowID>(result));
    EXPECT_EQ(std::get<CGWindowID>(result), 41u);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, 17u);
    EXPECT_EQ(calls[0].second, 0u);

    platform.copyWindowInfo = [](std::uint32_t, CGWindowID) { return std::optional<Json>(); };
    const auto failed = findTavikWindowID(platform);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(failed));
    EXPECT_EQ(std::get<CaptureError>(failed).code, 2);
}

}  // namespace
}  // namespace tarnwick
