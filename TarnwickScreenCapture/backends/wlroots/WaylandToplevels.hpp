#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"
#include "TarnwickScreenCapture/image/Image.hpp"

namespace tarnwick {

// What a compositor offers for reaching single windows.
struct ToplevelProtocols {
    bool list = false;           // ext_foreign_toplevel_list_v1: titles, app ids, identifiers
    bool states = false;         // zwlr_foreign_toplevel_manager_v1: activated, minimized
    bool windowCapture = false;  // ext-image-copy-capture with the toplevel source

    // Windows can be listed and captured without any other help.
    bool reachesWindows() const { return list && windowCapture; }
};

// Why the compositor cannot be asked, or what it offers.
OrUnavailable<ToplevelProtocols> waylandToplevelProtocols();

// Which of the protocols are offered and what follows from them, as a person reads it.
std::string toplevelProtocolsText(const ToplevelProtocols& protocols);

// One window of the compositor's toplevel list, in the order listed.
struct Toplevel {
    std::string identifier;
    std::string title;
    std::string appId;
    bool activated = false;
    bool minimized = false;
    // Its captured image's, where per-window capture is offered.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> size;
};

// One window as the wlroots toplevel manager tells it.
struct ToplevelStates {
    std::string title;
    std::string appId;
    bool activated = false;
    bool minimized = false;
};

// Gives each toplevel the states of a window of the wlroots manager, since the two lists share
// no key: the first one not yet given with the same title, one with the same application id
// before the others (an XWayland window has an application id in one list and none in the
// other). Both lists are in the order the windows appeared.
void joinStates(std::vector<Toplevel>& toplevels, const std::vector<ToplevelStates>& states);

// The toplevel list joined with the wlroots states where those are offered.
OrUnavailable<std::vector<Toplevel>> waylandToplevels();

// The window's own pixels, whatever covers it, by the toplevel list's identifier. Why not when
// no window has that identifier (it closed) or the copy fails. A compositor that offers no
// per-window capture is let go and `withoutWindowCapture` asked instead (when set).
OrUnavailable<SharedImage> waylandToplevelImage(
    std::string_view identifier,
    const std::function<OrUnavailable<SharedImage>()>& withoutWindowCapture = {});

// Every output copied through ext-image-copy-capture's output source and drawn at its place, as
// waylandDesktopImage does with the wlroots screen copy; why not where that is not offered.
OrUnavailable<SharedImage> waylandSourceDesktopImage();

// A compositor without sway's tree that lists its windows and captures each: the windows from
// the toplevel list, in the order it stands for (frontToBackByListing), each the size of its
// captured image; the desktop by wlroots screen copy.
WindowSystem toplevelWindowSystem(const ToplevelProtocols& protocols);

}  // namespace tarnwick
