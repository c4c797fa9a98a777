#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "TarnwickScreenCapture/backends/gnome/GnomeListing.hpp"

namespace tarnwick {
namespace {

std::vector<GnomeWindow> gnomeListed(const std::string& json) {
    auto windows = readGnomeListing(json);
    if (const auto* unavailable = std::get_if<Unavailable>(&windows)) {
        ADD_FAILURE() << unavailable->reason;
        return {};
    }
    return std::get<std::vector<GnomeWindow>>(std::move(windows));
}

TEST(GnomeListing, WindowsOffScreenAreLeftOutAndTheRestKeepTheirOrder) {
    const auto windows = gnomeListed(R"([
        {"id": "4294967310", "title": "front", "wmClass": "tavik", "type": "normal",
         "clientArea": {"x": 10, "y": 20, "width": 400, "height": 347}, "opacity": 0.5},
        {"id": "4294967311", "title": "minimized", "type": "normal", "minimized": true},
        {"id": "4294967312", "title": "hidden", "type": "normal", "hidden": true},
        {"id": "4294967313", "title": "elsewhere", "type": "normal", "onActiveWorkspace": false},
        {"id": "4294967314", "title": "desktop icons", "type": "desktop"},
        {"id": "4294967315", "title": "back", "appId": "org.example.Brevant", "type": "dialog",
         "above": true}
    ])");
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0].description.title, "front");
    EXPECT_EQ(windows[0].description.ownerName, "tavik");
    EXPECT_EQ(windows[0].description.id, 14u);
    EXPECT_EQ(windows[0].shellId, "4294967310");
    EXPECT_DOUBLE_EQ(windows[0].description.opacity, 0.5);
    ASSERT_TRUE(windows[0].description.bounds);
    EXPECT_EQ(windows[0].description.bounds->height, 347);
    EXPECT_EQ(windows[1].description.ownerName, "org.example.Brevant");
    EXPECT_EQ(windows[1].description.layer, WindowLayer::kKeptAbove);
    EXPECT_FALSE(windows[1].description.bounds);
}

TEST(GnomeListing, TypesBecomeLayers) {
    const auto windows = gnomeListed(R"([
        {"id": "1", "type": "normal"}, {"id": "2", "type": "modal_dialog"},
        {"id": "3", "type": "dock"}, {"id": "4", "type": "override_other"},
        {"id": "5", "type": "tooltip"}, {"id": "6"}
    ])");
    std::vector<WindowLayer> layers;
    for (const auto& window : windows) {
        layers.push_back(window.description.layer);
    }
    EXPECT_EQ(layers, (std::vector<WindowLayer>{WindowLayer::kNormal, WindowLayer::kNormal,
                                                WindowLayer::kPanel, WindowLayer::kPopup,
                                                WindowLayer::kPopup, WindowLayer::kPopup}));
}

// Ids are what selection and the pixel request join on: never 0, never twice.
TEST(GnomeListing, IdsAreUniqueAndNeverZero) {
    const auto windows = gnomeListed(R"([
        {"id": "4294967296", "type": "normal"}, {"id": "8589934593", "type": "normal"},
        {"id": "1", "type": "normal"}, {"id": "not a number", "type": "normal"},
        {"id": "4294967295", "type": "normal"}, {"type": "normal"}
    ])");
    ASSERT_EQ(windows.size(), 5u);  // the one without an id cannot be asked for
    std::vector<WindowId> ids;
    for (const auto& window : windows) {
        EXPECT_NE(window.description.id, kNoWindow) << window.shellId;
        ids.push_back(window.description.id);
    }
    EXPECT_EQ(ids[1], 1u);
    EXPECT_EQ(ids[4], 0xffff'ffffu);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
}

TEST(GnomeListing, AnythingButAnArrayOfObjectsIsNoListing) {
    for (const std::string text :
         {"", "{}", "[1]", R"([{"id": "1"}, "x"])", "[{\"id\": \"1\"", "null"}) {
        EXPECT_TRUE(std::holds_alternative<Unavailable>(readGnomeListing(text))) << text;
    }
    EXPECT_TRUE(gnomeListed("[]").empty());
}

}  // namespace
}  // namespace tarnwick
