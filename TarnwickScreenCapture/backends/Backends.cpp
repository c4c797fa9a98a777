#include "TarnwickScreenCapture/backends/Backends.hpp"

#include <array>

#include "TarnwickScreenCapture/backends/gnome/GnomeWindowSystem.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinWindowSystem.hpp"
#include "TarnwickScreenCapture/backends/portal/PortalScreenshot.hpp"
#include "TarnwickScreenCapture/backends/sway/SwayWindowSystem.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandScreenCopy.hpp"
#include "TarnwickScreenCapture/backends/wlroots/WaylandToplevels.hpp"
#include "TarnwickScreenCapture/backends/x11/X11WindowSystem.hpp"
#include "TarnwickScreenCapture/posix/Environment.hpp"

namespace tarnwick {
namespace {

// XWayland's client windows as KWin's backend takes them.
OrUnavailable<std::map<WindowId, XWaylandClient>> xwaylandClients() {
    auto listed = x11ClientWindows();
    if (auto* unavailable = std::get_if<Unavailable>(&listed)) {
        return std::move(*unavailable);
    }
    std::map<WindowId, XWaylandClient> clients;
    for (const auto& [id, window] : std::get<std::map<WindowId, X11ClientWindow>>(listed)) {
        clients.emplace(id, XWaylandClient{.area = window.area, .pid = window.pid});
    }
    return clients;
}

// --doctor's window system writes nothing anywhere, not even what would clear up after a run
// that was killed.
enum class Use { kCapture, kDoctor };

// A Wayland session's windows: sway's tree where SWAYSOCK names it; else the compositor's
// toplevel list where it also captures single windows; else XWayland's.
WindowSystem waylandWindows(Use use) {
    const auto protocols = waylandToplevelProtocols();
    const auto* offered = std::get_if<ToplevelProtocols>(&protocols);
    if (auto socket = environmentValue(variables::kSwaySocket)) {
        WindowSystem system = swayWindowSystem(std::move(*socket));
        // sway before 1.12 lists its windows as it always did; only --doctor says what it lacks.
        if (offered != nullptr && offered->reachesWindows()) {
            system.note = toplevelProtocolsText(*offered) +
                          "; sway draws those at scale 1, so on an output of higher scale a "
                          "window that nothing covers is cut from the screen, sharper";
        } else if (offered != nullptr && use == Use::kDoctor) {
            system.note =
                "sway offers no per-window capture (ext_image_copy_capture_manager_v1 with "
                "ext_foreign_toplevel_image_capture_source_manager_v1, sway 1.12 on): a window "
                "is cut from a copy of the screen, with whatever covers it";
        }
        return system;
    }
    if (offered != nullptr && offered->reachesWindows()) {
        return toplevelWindowSystem(*offered);
    }
    WindowSystem system = xwaylandWindowSystem();
    system.note = xwaylandOnlyNote(waylandCompositorProgram());
    if (offered != nullptr && offered->list) {
        // A listing that fails says so too: without XWayland nothing else would tell why the
        // compositor's own windows are out of reach.
        const std::string why = toplevelProtocolsText(*offered);
        system.note = why + "; " + system.note;
        system.windows = [windows = std::move(system.windows), why] {
            auto listed = windows();
            if (auto* unavailable = std::get_if<Unavailable>(&listed)) {
                unavailable->reason += "; " + why;
            }
            return listed;
        };
    }
    return system;
}

struct BackendEntry {
    Backend backend;
    std::string_view name;
    WindowSystem (*open)(Use use);
};

constexpr std::array<BackendEntry, 5> kBackends{{
    {Backend::kX11, "x11", [](Use) { return x11WindowSystem(); }},
    {Backend::kWlroots, "wlroots",
     [](Use use) { return wlrootsWindowSystem(waylandWindows(use), portalDesktopImage); }},
    {Backend::kPortal, "portal", [](Use use) { return portalWindowSystem(waylandWindows(use)); }},
    {Backend::kKWin, "kwin",
     [](Use use) {
         return kwinWindowSystem(
             XWaylandAccess{.clients = xwaylandClients,
                            .windowImage =
                                [](WindowId id) {
                                    return x11WindowSystem().windowImage(
                                        WindowDescription{.id = id});
                                }},
             portalDesktopImage,
             use == Use::kDoctor ? ScriptLedgerUse::kNone : ScriptLedgerUse::kKeep);
     }},
    {Backend::kGnome, "gnome", [](Use) { return gnomeWindowSystem(); }},
}};

static_assert(
    [] {
        for (std::size_t i = 0; i < kBackends.size(); ++i) {
            if (static_cast<std::size_t>(kBackends[i].backend) != i) {
                return false;
            }
        }
        return true;
    }(),
    "the table is in the order of Backend");

const BackendEntry& entryOf(Backend backend) {
    return kBackends[static_cast<std::size_t>(backend)];
}

struct Choice {
    Backend backend;
    std::string why;
};

// A name nobody gives is ignored, as if the variable were unset.
Choice chooseBackend() {
    if (const auto forced = environmentValue(variables::kBackend)) {
        if (const auto backend = backendNamed(*forced)) {
            return {*backend, variableText(variables::kBackend)};
        }
    }
    if (const auto unreachable = waylandCompositorUnreachable()) {
        return {Backend::kX11, "no Wayland compositor answers (" + unreachable->reason + "); " +
                                   variableText(variables::kDisplay)};
    }
    const std::string wayland = variableText(variables::kWaylandDisplay) + " accepts connections";
    // A session with sway's socket is sway's; only in others is the session bus asked.
    if (environmentValue(variables::kSwaySocket)) {
        return {Backend::kWlroots, wayland + ", and " + variableText(variables::kSwaySocket)};
    }
    if (gnomeExtensionOnSessionBus()) {
        return {Backend::kGnome, wayland + ", and GNOME Shell's extension " +
                                     std::string(kGnomeExtensionUuid) + " answers"};
    }
    if (kwinOnSessionBus()) {
        return {Backend::kKWin, wayland + ", and the session bus has KWin"};
    }
    return {Backend::kWlroots, wayland +
                                   "; SWAYSOCK is not set and the session bus has no KWin "
                                   "nor GNOME Shell's extension"};
}

}  // namespace

std::optional<Backend> backendNamed(std::string_view name) {
    for (const auto& entry : kBackends) {
        if (entry.name == name) {
            return entry.backend;
        }
    }
    return std::nullopt;
}

std::string xwaylandOnlyNote(const std::optional<std::string>& compositor) {
    const std::string remedy =
        "; start the application with GDK_BACKEND=x11 or QT_QPA_PLATFORM=xcb";
    const std::string unlisted =
        "native Wayland windows are not listed: windows come from XWayland here, which sees "
        "X11 programs only";
    if (compositor == "gnome-shell") {
        return unlisted +
               " (GNOME lets no program list or capture a chosen native window without the user)" +
               remedy;
    }
    // The names a process keeps are cut at 15 bytes; these are shorter.
    const std::string who =
        compositor && (*compositor == "labwc" || *compositor == "wayfire" || *compositor == "river")
            ? *compositor
            : std::string("a wlroots compositor without sway's window tree");
    return unlisted + " (" + who +
           " tells no program where a native window is, nor copies one window)" + remedy;
}

std::string backendNames() {
    std::string names;
    for (std::size_t i = 0; i < kBackends.size(); ++i) {
        names += i == 0 ? "" : i + 1 == kBackends.size() ? " or " : ", ";
        names += kBackends[i].name;
    }
    return names;
}

WindowSystem openWindowSystem() {
    return entryOf(chooseBackend().backend).open(Use::kCapture);
}

BackendChoice explainBackendChoice() {
    Choice choice = chooseBackend();
    return {.backend = choice.backend,
            .why = std::move(choice.why),
            .windowSystem = entryOf(choice.backend).open(Use::kDoctor)};
}

}  // namespace tarnwick
