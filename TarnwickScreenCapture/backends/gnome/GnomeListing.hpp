#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// One window of the extension's listing, with the shell's own id for asking for its pixels.
struct GnomeWindow {
    WindowDescription description;  // its bounds: the client area
    std::string shellId;
};

// The on-screen windows of the extension's listing (a JSON array, front first): minimized and
// hidden windows, those on other workspaces and the desktop window are left out; docks are
// panels, windows kept above are kept above, normal windows and dialogs normal, anything else a
// pop-up. The owner is the window's class, else its application id. Ids are the low 32 bits of
// the shell's, or numbers of their own where those are 0 or taken. The reason when the text is
// no listing.
OrUnavailable<std::vector<GnomeWindow>> readGnomeListing(std::string_view text);

}  // namespace tarnwick
