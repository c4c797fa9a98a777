#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// The visible windows of sway's tree (the JSON text of a GET_TREE reply), front to back:
// fullscreen, then floating (topmost first), then tiled, ties by how recently they had the focus.
// Bounds are the client area in logical layout coordinates; a window of which no part lies on an
// output is left out. Text that is not UTF-8 is repaired as X11 titles are. None when the text is
// not a tree. `toplevelIdentifiers`, when given, gets each window's identifier in the
// compositor's toplevel list, where sway tells it (1.12 on).
std::optional<std::vector<WindowDescription>> windowsOfSwayTree(
    std::string_view json, std::map<WindowId, std::string>* toplevelIdentifiers = nullptr);

// Whether `window`, listed earlier, is among `windows` listed now as it was: the same container
// (sway never gives an id twice) with the same client area.
bool stillShown(const WindowDescription& window, const std::vector<WindowDescription>& windows);

}  // namespace tarnwick
