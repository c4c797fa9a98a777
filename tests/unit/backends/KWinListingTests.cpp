#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/backends/kwin/KWinListing.hpp"

namespace tarnwick {
namespace {

using Json = nlohmann::json;

Json box(double x, double y, double width, double height) {
    return {{"x", x}, {"y", y}, {"width", width}, {"height", height}};
}

// A window as list-windows.js describes it on KWin 5.27: a native window in KWin's frame
// (Breeze's 37-pixel title bar) unless changed.
Json window(const std::string& uuid, const std::string& caption) {
    return {{"caption", caption},
            {"resourceClass", "Tavik"},
            {"desktopFileName", "Tavik"},
            {"internalId", uuid},
            {"windowId", nullptr},
            {"frameGeometry", box(100, 63, 400, 337)},
            {"bufferGeometry", box(100, 100, 400, 300)},
            {"clientGeometry", nullptr},
            {"noBorder", false},
            {"opacity", 1},
            {"minimized", false},
            {"hidden", false},
            {"deleted", false},
            {"managed", true},
            {"onCurrentDesktop", true},
            {"keepAbove", false},
            {"normalWindow", true},
            {"dialog", false},
            {"desktopWindow", false},
            {"dock", false}};
}

std::string uuidNumbered(int number) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-0000-4000-8000-000000000000}", number);
    return text;
}

std::string answerOf(const std::vector<Json>& bottomToTop) {
    return Json{{"api", 5}, {"order", "bottom-to-top"}, {"windows", bottomToTop}}.dump();
}

std::vector<KWinWindow> listed(const std::vector<Json>& bottomToTop) {
    auto read = readKWinListing(answerOf(bottomToTop));
    EXPECT_TRUE(std::holds_alternative<std::vector<KWinWindow>>(read));
    return std::get<std::vector<KWinWindow>>(std::move(read));
}

std::vector<std::string> titles(const std::vector<KWinWindow>& windows) {
    std::vector<std::string> result;
    for (const auto& window : windows) {
        result.push_back(window.description.title);
    }
    return result;
}

void expectBounds(const std::optional<WindowBounds>& bounds, double x, double y, double width,
                  double height) {
    ASSERT_TRUE(bounds);
    EXPECT_EQ((std::vector<double>{bounds->x, bounds->y, bounds->width, bounds->height}),
              (std::vector<double>{x, y, width, height}));
}

TEST(KWinListing, FrontToBackWithOnlyTheWindowsOnScreen) {
    auto desktop = window(uuidNumbered(1), "desktop");
    desktop["desktopWindow"] = true;
    auto minimized = window(uuidNumbered(2), "minimized");
    minimized["minimized"] = true;
    auto elsewhere = window(uuidNumbered(3), "other desktop");
    elsewhere["onCurrentDesktop"] = false;
    auto closing = window(uuidNumbered(4), "closing");
    closing["deleted"] = true;
    auto hidden = window(uuidNumbered(5), "hidden");
    hidden["hidden"] = true;
    const auto windows = listed({desktop, window(uuidNumbered(6), "bottom"), minimized, elsewhere,
                                 closing, hidden, window(uuidNumbered(7), "top")});
    EXPECT_EQ(titles(windows), (std::vector<std::string>{"top", "bottom"}));
}

TEST(KWinListing, LayersFromTheWindowsKind) {
    auto dock = window(uuidNumbered(1), "panel");
    dock["dock"] = true;
    dock["normalWindow"] = false;
    auto notification = window(uuidNumbered(2), "notification");
    notification["normalWindow"] = false;
    auto above = window(uuidNumbered(3), "above");
    above["keepAbove"] = true;
    auto dialog = window(uuidNumbered(4), "dialog");
    dialog["normalWindow"] = false;
    dialog["dialog"] = true;
    auto unmanaged = window(uuidNumbered(5), "override-redirect menu");
    unmanaged["managed"] = false;
    const auto windows = listed({dock, notification, above, dialog, unmanaged});
    std::vector<WindowLayer> layers;
    for (const auto& each : windows) {
        layers.push_back(each.description.layer);
    }
    EXPECT_EQ(layers, (std::vector<WindowLayer>{WindowLayer::kPopup, WindowLayer::kNormal,
                                                WindowLayer::kKeptAbove, WindowLayer::kPopup,
                                                WindowLayer::kPanel}));
}

TEST(KWinListing, IdsAreX11IdsOrStableNumbersOfTheUuid) {
    auto x11 = window(uuidNumbered(1), "x11");
    x11["windowId"] = 4194307;
    auto badUuid = window("{not-a-uuid}", "bad uuid");
    // Two uuids whose hashes meet: the one that sorts later moves on, in any stacking.
    const auto first = listed({x11, window("{0001562c-0000-4000-8000-000000000000}", "a"),
                               window("{000288E8-0000-4000-8000-000000000000}", "b"), badUuid});
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[0].description.id, kNoWindow);
    EXPECT_TRUE(first[0].uuid.empty());
    EXPECT_EQ(first[3].description.id, 4194307u);
    EXPECT_EQ(first[3].uuid, uuidNumbered(1));
    for (const auto& native : {first[1], first[2]}) {
        EXPECT_NE(native.description.id & 0x8000'0000u, 0u);
    }
    EXPECT_NE(first[1].description.id, first[2].description.id);
    // Another listing, another order: the same windows, the same numbers.
    const auto second = listed({window("{000288e8-0000-4000-8000-000000000000}", "b"),
                                window("{0001562c-0000-4000-8000-000000000000}", "a"), x11});
    EXPECT_EQ(second[1].description.id, first[2].description.id);
    EXPECT_EQ(second[2].description.id, first[1].description.id);
}

TEST(KWinListing, AWindowSentTwiceIsListedOnce) {
    auto x11 = window(uuidNumbered(1), "x11");
    x11["windowId"] = 4194307;
    auto sameX11 = window(uuidNumbered(2), "same X11 id");
    sameX11["windowId"] = 4194307;
    auto upper = window("{0000000A-0000-4000-8000-000000000000}", "same uuid");
    const auto windows =
        listed({x11, sameX11, window("{0000000a-0000-4000-8000-000000000000}", "native"), upper});
    EXPECT_EQ(titles(windows), (std::vector<std::string>{"same uuid", "same X11 id"}));
}

TEST(KWinListing, OwnerIsTheResourceClassOrTheDesktopFile) {
    auto classless = window(uuidNumbered(1), "title");
    classless["resourceClass"] = "";
    classless["desktopFileName"] = "org.tavik.App";
    classless["opacity"] = 0.5;
    const auto windows = listed({classless, window(uuidNumbered(2), "other")});
    EXPECT_EQ(windows[1].description.ownerName, "org.tavik.App");
    EXPECT_EQ(windows[1].description.opacity, 0.5);
    EXPECT_EQ(windows[0].description.ownerName, "Tavik");
}

TEST(KWinListing, BoundsAreTheClientArea) {
    // KWin's frame around a native window: the buffer is the client.
    const auto framed = listed({window(uuidNumbered(1), "framed")});
    expectBounds(framed[0].description.bounds, 100, 100, 400, 300);
    // A header bar and shadow drawn by the client: the frame inside the buffer.
    auto csd = window(uuidNumbered(2), "csd");
    csd["frameGeometry"] = box(126, 123, 400, 347);
    csd["bufferGeometry"] = box(100, 100, 452, 399);
    expectBounds(listed({csd})[0].description.bounds, 126, 123, 400, 347);
    // KWin 6 says so itself.
    auto six = csd;
    six["clientGeometry"] = box(126.5, 123, 400, 347);
    expectBounds(listed({six})[0].description.bounds, 126.5, 123, 400, 347);
    // An X11 window in KWin's frame: buffer and frame alike, the client area unknown.
    auto x11 = window(uuidNumbered(3), "x11");
    x11["windowId"] = 4194307;
    x11["bufferGeometry"] = x11["frameGeometry"];
    auto x11Csd = csd;
    x11Csd["windowId"] = 6291463;
    x11Csd["noBorder"] = true;
    const auto both = listed({x11Csd, x11});
    EXPECT_TRUE(both[0].clientAreaFromXWayland);
    expectBounds(both[0].description.bounds, 100, 63, 400, 337);
    EXPECT_FALSE(both[1].clientAreaFromXWayland);
    expectBounds(both[1].description.bounds, 126, 123, 400, 347);
}

TEST(KWinListing, XWaylandGivesTheClientAreaOfFramedX11Windows) {
    auto x11 = window(uuidNumbered(1), "x11");
    x11["windowId"] = 4194307;
    x11["bufferGeometry"] = x11["frameGeometry"];
    auto scaled = x11;
    scaled["internalId"] = uuidNumbered(3);
    scaled["windowId"] = 4194308;
    const auto windows = withXWaylandClientAreas(
        listed({x11, scaled, window(uuidNumbered(2), "native")}),
        {{4194307u, {100, 100, 400, 300}}, {4194308u, {200, 200, 800, 600}}, {99u, {0, 0, 1, 1}}});
    expectBounds(windows[2].description.bounds, 100, 100, 400, 300);
    // Outside the frame (an X server counting in other units): the frame stays.
    expectBounds(windows[1].description.bounds, 100, 63, 400, 337);
    EXPECT_TRUE(windows[1].clientAreaFromXWayland);
    expectBounds(windows[0].description.bounds, 100, 100, 400, 300);
}

// KWin 6 as measured: no windowId, clientGeometry set, a pid for every window.
Json window6(int number, const std::string& caption, int pid, Json client) {
    auto described = window(uuidNumbered(number), caption);
    described["pid"] = pid;
    described["clientGeometry"] = client;
    described["bufferGeometry"] = client;
    return described;
}

std::vector<KWinWindow> listed6(const std::vector<Json>& bottomToTop) {
    auto read = readKWinListing(
        Json{{"api", 6}, {"order", "bottom-to-top"}, {"windows", bottomToTop}}.dump());
    EXPECT_TRUE(std::holds_alternative<std::vector<KWinWindow>>(read));
    return std::get<std::vector<KWinWindow>>(std::move(read));
}

std::vector<WindowId> ids(const std::vector<KWinWindow>& windows) {
    std::vector<WindowId> result;
    for (const auto& each : windows) {
        result.push_back(each.xwayland ? each.description.id : kNoWindow);
    }
    return result;
}

TEST(KWinListing, KWin6WindowsJoinXWaylandsByClientAreaAndProcess) {
    const auto windows = listed6({
        window6(1, "native of the xterm's process", 40, box(0, 0, 400, 300)),
        window6(2, "xterm", 40, box(333, 268, 484, 316)),
        window6(3, "another process", 41, box(10, 20, 200, 100)),
        window6(4, "no pid told by X", 42, box(600, 20, 200, 100)),
    });
    const std::map<WindowId, XWaylandClient> clients{
        {0x400001u, {{333, 268, 484, 316}, 40}},
        {0x400002u, {{10, 20, 200, 100}, 99}},  // same place, another process
        {0x400003u, {{600, 20, 200, 100.2}, std::nullopt}},
    };
    const auto joined = joinedWithXWayland(windows, clients);
    EXPECT_EQ(ids(joined), (std::vector<WindowId>{0x400003u, 0, 0x400001u, 0}));
    // The others keep the numbers of native windows.
    EXPECT_EQ(joined[1].description.id, windows[1].description.id);
    EXPECT_EQ(joined[3].description.id, windows[3].description.id);
}

TEST(KWinListing, AnAmbiguousMatchJoinsNothing) {
    // Two windows of one client area and process, or two X11 clients for one window.
    const auto twins = listed6(
        {window6(1, "a", 40, box(0, 0, 100, 100)), window6(2, "b", 40, box(0, 0, 100, 100))});
    EXPECT_EQ(ids(joinedWithXWayland(twins, {{0x400001u, {{0, 0, 100, 100}, 40}}})),
              (std::vector<WindowId>{0, 0}));
    const auto one = listed6({window6(1, "a", 40, box(0, 0, 100, 100))});
    EXPECT_EQ(ids(joinedWithXWayland(one, {{0x400001u, {{0, 0, 100, 100}, std::nullopt}},
                                           {0x400002u, {{0, 0, 100, 100}, 40}}})),
              (std::vector<WindowId>{0}));
}

TEST(KWinListing, KWin5WindowsAreNeverJoined) {
    // 5.27 tells X11 windows' ids: one without is native, whatever its place.
    auto native = window(uuidNumbered(1), "native");
    native["pid"] = 40;
    const auto joined =
        joinedWithXWayland(listed({native}), {{0x400001u, {{100, 100, 400, 300}, 40}}});
    EXPECT_EQ(ids(joined), (std::vector<WindowId>{0}));
}

TEST(KWinListing, WhatIsNoWindowListSaysWhy) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "no JSON object"},
        {"[1, 2]", "no JSON object"},
        {R"({"api": 5, "error": "TypeError: boom"})", "failed: TypeError: boom"},
        {R"({"api": 5, "order": "bottom-to-top"})", "no window list"},
        {R"({"api": 5, "order": "top-to-bottom", "windows": []})", "no window list"},
    };
    for (const auto& [text, reason] : cases) {
        const auto read = readKWinListing(text);
        ASSERT_TRUE(std::holds_alternative<Unavailable>(read)) << text;
        EXPECT_NE(std::get<Unavailable>(read).reason.find(reason), std::string::npos) << text;
    }
}

TEST(KWinListing, HostileValuesGiveNoIdOrNoBounds) {
    auto hostile = window(uuidNumbered(1), "hostile");
    hostile["windowId"] = -5;
    hostile["frameGeometry"] = box(0, 0, -10, 20);
    hostile["bufferGeometry"] = "everywhere";
    hostile["opacity"] = "opaque";
    hostile["caption"] = 42;
    auto huge = window(uuidNumbered(2), "huge id");
    huge["windowId"] = 4294967296LL;
    const auto windows = listed({hostile, huge, Json::array(), "window", nullptr});
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0].description.id & 0x8000'0000u, 0x8000'0000u);
    EXPECT_FALSE(windows[1].description.bounds);
    EXPECT_EQ(windows[1].description.opacity, 1.0);
    EXPECT_EQ(windows[1].description.title, "");
    EXPECT_EQ(windows[1].description.id & 0x8000'0000u, 0x8000'0000u);
}

}  // namespace
}  // namespace tarnwick
