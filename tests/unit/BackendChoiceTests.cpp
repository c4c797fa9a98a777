#include <gtest/gtest.h>

#include "TarnwickScreenCapture/platform/BackendChoice.hpp"

namespace tarnwick {
namespace {

TEST(ChooseBackend, AForcedNameWinsAnUnknownOneIsIgnoredAndWaylandComesBeforeX11) {
    int probes = 0;
    const auto reachable = [&] { return ++probes, true; };
    const auto unreachable = [&] { return ++probes, false; };
    EXPECT_EQ(chooseBackend("x11", reachable), Backend::x11);
    EXPECT_EQ(chooseBackend("wlroots", unreachable), Backend::wlroots);
    EXPECT_EQ(chooseBackend("portal", unreachable), Backend::portal);
    EXPECT_EQ(probes, 0);  // forcing needs no compositor
    EXPECT_EQ(chooseBackend(nullptr, reachable), Backend::wlroots);
    EXPECT_EQ(chooseBackend(nullptr, unreachable), Backend::x11);
    EXPECT_EQ(chooseBackend("X11", unreachable), Backend::x11);
    EXPECT_EQ(chooseBackend("", reachable), Backend::wlroots);
    EXPECT_EQ(chooseBackend("wayland", reachable), Backend::wlroots);
}

}  // namespace
}  // namespace tarnwick
