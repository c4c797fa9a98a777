#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// Where a window's own pixels can be had, and whether the screen shows it better.
struct SwayWindowSource {
    // Its identifier in the compositor's toplevel list (sway 1.12 on).
    std::string toplevelIdentifier;
    // Nothing in front of it overlaps it and part of it lies on an output of scale above 1: the
    // screen has more of its pixels than per-window capture, which sway draws at scale 1.
    bool sharperOnScreen = false;
};

// The visible windows of sway's tree (the JSON text of a GET_TREE reply), front to back:
// fullscreen, then floating (topmost first), then tiled, ties by how recently they had the focus.
// Bounds are the client area in logical layout coordinates; a window of which no part lies on an
// output is left out. Text that is not UTF-8 is repaired as X11 titles are. None when the text is
// not a tree. `sources`, when given, gets an entry for each window whose toplevel identifier
// sway tells.
std::optional<std::vector<WindowDescription>> windowsOfSwayTree(
    std::string_view json, std::map<WindowId, SwayWindowSource>* sources = nullptr);

// Whether `window`, listed earlier, is among `windows` listed now as it was: the same container
// (sway never gives an id twice) with the same client area.
bool stillShown(const WindowDescription& window, const std::vector<WindowDescription>& windows);

}  // namespace tarnwick
