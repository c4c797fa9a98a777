#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/backends/sway/SwayTree.hpp"

namespace tarnwick {
namespace {

using Json = nlohmann::json;

Json box(int x, int y, int width, int height) {
    return {{"x", x}, {"y", y}, {"width", width}, {"height", height}};
}

// A native window as sway describes it.
Json nativeWindow(int id, const char* appID, const char* title, Json rect = box(0, 25, 800, 600),
                  bool visible = true) {
    return {{"id", id},
            {"type", "con"},
            {"name", title},
            {"app_id", appID},
            {"shell", "xdg_shell"},
            {"visible", visible},
            {"fullscreen_mode", 0},
            {"rect", rect},
            {"window_rect", box(2, 0, 796, 598)},
            {"nodes", Json::array()},
            {"floating_nodes", Json::array()},
            {"focus", Json::array()}};
}

Json xwaylandWindow(int id, const char* windowClass, const char* title) {
    auto window = nativeWindow(id, "", title);
    window["app_id"] = nullptr;
    window["shell"] = "xwayland";
    window["type"] = "floating_con";
    window["window_properties"] = {{"class", windowClass}, {"instance", "xterm"}};
    return window;
}

Json container(const char* type, int id, Json tiled, Json floating, Json focus) {
    return {{"id", id},
            {"type", type},
            {"name", type},
            {"rect", box(0, 0, 1920, 1080)},
            {"window_rect", box(0, 0, 0, 0)},
            {"fullscreen_mode", type == std::string("workspace") ? 1 : 0},
            {"nodes", tiled},
            {"floating_nodes", floating},
            {"focus", focus}};
}

Json treeOf(Json workspaces) {
    return container(
        "root", 1, Json::array({container("output", 3, workspaces, Json::array(), Json::array())}),
        Json::array(), Json::array({3}));
}

std::vector<WindowId> numbers(const std::string& text) {
    const auto windows = windowsOfSwayTree(text);
    EXPECT_TRUE(windows);
    std::vector<WindowId> result;
    for (const auto& window : windows.value_or(std::vector<WindowDescription>{})) {
        result.push_back(window.id);
    }
    return result;
}

TEST(SwayTree, DescribesNativeAndXWaylandWindowsByTheirClientArea) {
    const auto tree = treeOf(Json::array({container(
        "workspace", 4, Json::array({nativeWindow(5, "tavik", "foot", box(0, 25, 1920, 1055))}),
        Json::array({xwaylandWindow(6, "Tavik", "xt title")}), Json::array({6, 5}))}));
    auto floating = tree;
    const auto windows = windowsOfSwayTree(tree.dump());
    ASSERT_TRUE(windows);
    ASSERT_EQ(windows->size(), 2u);
    const auto& xterm = (*windows)[0];
    EXPECT_EQ(xterm.id, 6u);
    EXPECT_EQ(xterm.ownerName, "Tavik");
    EXPECT_EQ(xterm.title, "xt title");
    const auto& foot = (*windows)[1];
    EXPECT_EQ(foot.id, 5u);
    EXPECT_EQ(foot.ownerName, "tavik");
    EXPECT_EQ(foot.title, "foot");
    EXPECT_EQ(foot.layer, WindowLayer::kNormal);
    EXPECT_EQ(foot.opacity, 1.0);
    ASSERT_TRUE(foot.bounds);
    EXPECT_EQ(foot.bounds->x, 2);
    EXPECT_EQ(foot.bounds->y, 25);
    EXPECT_EQ(foot.bounds->width, 796);
    EXPECT_EQ(foot.bounds->height, 598);
}

TEST(SwayTree, FrontToBackIsFullscreenThenFloatingTopmostFirstThenTiledByFocus) {
    auto fullscreen = nativeWindow(13, "a", "fullscreen on the other output");
    fullscreen["fullscreen_mode"] = 1;
    const auto tree = container(
        "root", 1,
        Json::array(
            {container("output", 2,
                       Json::array({container(
                           "workspace", 3,
                           Json::array({nativeWindow(10, "a", "tiled, focused long ago"),
                                        container("con", 20,
                                                  Json::array({nativeWindow(11, "a", "split"),
                                                               nativeWindow(12, "a", "focused")}),
                                                  Json::array(), Json::array({12, 11}))}),
                           Json::array({nativeWindow(30, "a", "floating below"),
                                        nativeWindow(31, "a", "floating on top")}),
                           Json::array({30, 20, 31, 10}))}),
                       Json::array(), Json::array({3})),
             container("output", 4,
                       Json::array({container("workspace", 5, Json::array({fullscreen}),
                                              Json::array(), Json::array({13}))}),
                       Json::array(), Json::array({5}))}),
        Json::array(), Json::array({2, 4}));
    EXPECT_EQ(numbers(tree.dump()), (std::vector<WindowId>{13, 31, 30, 12, 11, 10}));
}

TEST(SwayTree, LeavesOutHiddenWindowsAndReadsOddValuesAsAbsent) {
    auto odd = nativeWindow(7, "tavik", "odd");
    odd["app_id"] = 42;
    odd["name"] = nullptr;
    odd["window_rect"]["width"] = "796";
    auto negative = nativeWindow(8, "tavik", "negative id");
    negative["id"] = -8;
    auto huge = nativeWindow(9, "tavik", "huge id");
    huge["id"] = 4294967296;
    auto unmarked = nativeWindow(10, "tavik", "visibility unknown");
    unmarked.erase("visible");
    const auto tree = treeOf(Json::array(
        {container("workspace", 4,
                   Json::array({nativeWindow(5, "tavik", "hidden", box(0, 0, 800, 600), false), odd,
                                negative, huge, unmarked, Json("not a node"), Json::array()}),
                   Json("not a list"), Json::array({"x", 5.5}))}));
    const auto windows = windowsOfSwayTree(tree.dump());
    ASSERT_TRUE(windows);
    ASSERT_EQ(windows->size(), 3u);
    EXPECT_EQ((*windows)[0].id, 7u);
    EXPECT_EQ((*windows)[0].ownerName, "");
    EXPECT_EQ((*windows)[0].title, "");
    EXPECT_FALSE((*windows)[0].bounds);
    EXPECT_EQ((*windows)[1].id, kNoWindow);
    EXPECT_EQ((*windows)[2].id, kNoWindow);
}

// sway copies an X title's bytes into its JSON as they are.
TEST(SwayTree, AWindowWithNothingOnAnyOutputIsLeftOut) {
    // sway keeps a floating window moved off every output "visible"; one part on screen is enough.
    auto second = container("output", 6, Json::array(), Json::array(), Json::array());
    second["rect"] = box(1920, 0, 1280, 720);
    auto scratchpad = container("output", 2, Json::array(), Json::array(), Json::array());
    scratchpad["rect"] = box(0, 0, 0, 0);
    const Json floating =
        Json::array({nativeWindow(20, "tavik", "beyond", box(3300, 0, 800, 600)),
                     nativeWindow(21, "tavik", "below", box(1920, 720, 800, 600)),
                     nativeWindow(22, "tavik", "straddling", box(3100, 100, 800, 600)),
                     nativeWindow(23, "tavik", "left", box(-900, 0, 800, 600))});
    auto tree = treeOf(
        Json::array({container("workspace", 4, Json::array({nativeWindow(10, "tavik", "tiled")}),
                               floating, Json::array())}));
    tree["nodes"].push_back(second);
    tree["nodes"].push_back(scratchpad);
    EXPECT_EQ(numbers(tree.dump()), (std::vector<WindowId>{22, 10}));
}

TEST(SwayTree, TextThatIsNotUtf8IsRepairedAndCostsNoOtherWindow) {
    const auto tree = treeOf(Json::array({container(
        "workspace", 4,
        Json::array({nativeWindow(5, "tavik", "TITLE_B"), nativeWindow(6, "APP_C", "TITLE_C")}),
        Json::array({xwaylandWindow(7, "CLASS_A", "TITLE_A")}), Json::array({7, 5, 6}))}));
    std::string text = tree.dump();
    const auto put = [&](const std::string& placeholder, const std::string& bytes) {
        text.replace(text.find(placeholder), placeholder.size(), bytes);
    };
    put("TITLE_A", "caf\xe9 menu");
    put("CLASS_A", "XTerm\xff");
    put("TITLE_B", "Tavik \\u0000inbox");  // an escaped NUL
    put("TITLE_C", "cut short \xf0\x9f");  // a sequence ended by the closing quote
    put("APP_C", "\xc0\xaf");              // an overlong '/'
    const auto windows = windowsOfSwayTree(text);
    ASSERT_TRUE(windows);
    ASSERT_EQ(windows->size(), 3u);
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ((*windows)[0].title, "caf" + replacement + " menu");
    EXPECT_EQ((*windows)[0].ownerName, "XTerm" + replacement);
    EXPECT_EQ((*windows)[1].title, "Tavik inbox");
    EXPECT_EQ((*windows)[1].ownerName, "tavik");
    ASSERT_TRUE((*windows)[1].bounds);
    EXPECT_EQ((*windows)[1].bounds->width, 796);
    EXPECT_EQ((*windows)[2].title, "cut short " + replacement + replacement);
    EXPECT_EQ((*windows)[2].ownerName, replacement + replacement);
}

TEST(SwayTree, AWindowIsStillShownOnlyAsTheSameContainerInTheSamePlace) {
    const auto listed = [](const Json& window) {
        return windowsOfSwayTree(
                   treeOf(Json::array({container("workspace", 4, Json::array({window}),
                                                 Json::array(), Json::array())}))
                       .dump())
            .value();
    };
    const auto before = listed(nativeWindow(5, "tavik", "inbox")).at(0);
    EXPECT_TRUE(stillShown(before, listed(nativeWindow(5, "tavik", "retitled"))));
    // Closed, and another window opened in its place.
    EXPECT_FALSE(stillShown(before, listed(nativeWindow(6, "tavik", "inbox"))));
    EXPECT_FALSE(
        stillShown(before, listed(nativeWindow(5, "tavik", "inbox", box(1, 25, 800, 600)))));
    auto resized = nativeWindow(5, "tavik", "inbox");
    resized["window_rect"]["height"] = 597;
    EXPECT_FALSE(stillShown(before, listed(resized)));
    // Moved to a hidden workspace.
    EXPECT_FALSE(
        stillShown(before, listed(nativeWindow(5, "tavik", "inbox", box(0, 25, 800, 600), false))));
    auto unnumbered = before;
    unnumbered.id = kNoWindow;
    EXPECT_FALSE(stillShown(unnumbered, {unnumbered}));
}

TEST(SwayTree, GivesEachWindowsToplevelIdentifierWhereSwayTellsIt) {
    auto told = nativeWindow(5, "tavik", "told");
    told["foreign_toplevel_identifier"] = "0a11b6dff91bcdfaec4772c546250c12";
    auto xwayland = xwaylandWindow(6, "Tavik", "xterm");
    xwayland["foreign_toplevel_identifier"] = "1c2a1be8356c278da820761242c69316";
    auto odd = nativeWindow(8, "tavik", "odd");
    odd["foreign_toplevel_identifier"] = 17;
    const auto tree = treeOf(Json::array(
        {container("workspace", 4, Json::array({told, nativeWindow(7, "tavik", "untold"), odd}),
                   Json::array({xwayland}), Json::array({5, 7, 8}))}));
    std::map<WindowId, SwayWindowSource> sources;
    ASSERT_TRUE(windowsOfSwayTree(tree.dump(), &sources));
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(sources[5].toplevelIdentifier, "0a11b6dff91bcdfaec4772c546250c12");
    EXPECT_EQ(sources[6].toplevelIdentifier, "1c2a1be8356c278da820761242c69316");
}

TEST(SwayTree, OnlyAnUncoveredWindowOnAScaledOutputIsSharperOnScreen) {
    // Floating windows numbered id*10 on, each later one in front of those before it.
    const auto output = [](int id, Json rect, double scale, const std::vector<Json>& areas) {
        Json windows = Json::array();
        for (const Json& area : areas) {
            auto window = nativeWindow(id * 10 + static_cast<int>(windows.size()), "t", "w", area);
            window["window_rect"] = box(0, 0, area["width"], area["height"]);
            window["foreign_toplevel_identifier"] = "i";
            windows.push_back(window);
        }
        auto node = container(
            "output", id,
            Json::array({container("workspace", id + 100, Json::array(), windows, Json::array())}),
            Json::array(), Json::array());
        node["rect"] = rect;
        node["scale"] = scale;
        return node;
    };
    // 11 reaches onto the scaled output; 21 stands in front of 20.
    const auto tree =
        container("root", 1,
                  Json::array({output(1, box(0, 0, 1280, 720), 1,
                                      {box(100, 100, 400, 250), box(1200, 300, 200, 100)}),
                               output(2, box(1280, 0, 640, 360), 2,
                                      {box(1400, 50, 400, 250), box(1300, 20, 200, 100)})}),
                  Json::array(), Json::array({1, 2}));
    std::map<WindowId, SwayWindowSource> sources;
    ASSERT_TRUE(windowsOfSwayTree(tree.dump(), &sources));
    EXPECT_EQ(std::vector({sources[10].sharperOnScreen, sources[11].sharperOnScreen,
                           sources[20].sharperOnScreen, sources[21].sharperOnScreen}),
              std::vector({false, true, false, true}));
}

TEST(SwayTree, TextThatIsNotATreeGivesNoList) {
    EXPECT_FALSE(windowsOfSwayTree(""));
    EXPECT_FALSE(windowsOfSwayTree("{\"nodes\": ["));
    EXPECT_FALSE(windowsOfSwayTree("[]"));
    EXPECT_FALSE(windowsOfSwayTree("\"root\""));
    EXPECT_EQ(numbers("{}"), std::vector<WindowId>{});
    // Nesting far deeper than any real tree is cut off, not followed into a stack overflow.
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += R"({"type":"con","nodes":[)";
    }
    deep += std::string(R"({"type":"con","visible":true,"id":1})");
    for (int i = 0; i < 100000; ++i) {
        deep += "]}";
    }
    EXPECT_EQ(numbers(deep), std::vector<WindowId>{});
}

}  // namespace
}  // namespace tarnwick
