#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TarnwickScreenCapture/backends/wlroots/WaylandToplevels.hpp"

namespace tarnwick {
namespace {

Toplevel listed(std::string identifier, std::string title, std::string appId) {
    return {
        .identifier = std::move(identifier), .title = std::move(title), .appId = std::move(appId)};
}

ToplevelStates stated(std::string title, std::string appId, bool activated, bool minimized) {
    return {.title = std::move(title),
            .appId = std::move(appId),
            .activated = activated,
            .minimized = minimized};
}

// "a" activated, "m" minimized, "-" neither, for each toplevel in order.
std::string joined(std::vector<Toplevel> toplevels, const std::vector<ToplevelStates>& states) {
    joinStates(toplevels, states);
    std::string result;
    for (const auto& toplevel : toplevels) {
        result += toplevel.activated ? (toplevel.minimized ? "!" : "a")
                                     : (toplevel.minimized ? "m" : "-");
    }
    return result;
}

TEST(JoinStates, WindowsOfTheSameTitleAreJoinedInTheOrderTheyAppeared) {
    EXPECT_EQ(joined({listed("1", "Tavik", "tavik"), listed("2", "Tavik", "tavik"),
                      listed("3", "notes", "foot")},
                     {stated("notes", "foot", false, true), stated("Tavik", "tavik", false, true),
                      stated("Tavik", "tavik", true, false)}),
              "mam");
}

TEST(JoinStates, TheSameApplicationIdIsPreferredAndAnotherTakenOnlyWhenNoneHasIt) {
    // An XWayland window has no application id in the toplevel list, its class in the
    // manager's: the native window of the same title must not take its states.
    EXPECT_EQ(
        joined({listed("1", "Tavik", "tavik"), listed("2", "Tavik", "")},
               {stated("Tavik", "Tavik", true, false), stated("Tavik", "tavik", false, true)}),
        "ma");
}

TEST(JoinStates, AWindowTheManagerDoesNotKnowKeepsNoState) {
    EXPECT_EQ(joined({listed("1", "renamed since", "tavik"), listed("2", "Tavik", "tavik")},
                     {stated("Tavik", "tavik", true, true)}),
              "-!");
    EXPECT_EQ(joined({listed("1", "Tavik", "tavik")}, {}), "-");
}

}  // namespace
}  // namespace tarnwick
