#include "TarnwickScreenCapture/backends/Diagnosis.hpp"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "TarnwickScreenCapture/backends/Backends.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinWindowSystem.hpp"
#include "TarnwickScreenCapture/backends/portal/PortalScreenshot.hpp"
#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"

namespace tarnwick {
namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// What in the environment stands in the way of reaching a window system.
std::vector<Finding> environmentFindings() {
    std::vector<Finding> findings;
    const std::string forced = variable(kBackendVariable);
    if (!forced.empty() && forced != "x11" && forced != "wlroots" && forced != "portal" &&
        forced != "kwin") {
        findings.push_back(
            problem("window system", std::string(kBackendVariable) + "=" + forced +
                                         " names no backend and is ignored; unset "
                                         "it, or name x11, wlroots, portal or kwin"));
    }
    const std::string wayland = variable("WAYLAND_DISPLAY");
    const std::string runtime = variable("XDG_RUNTIME_DIR");
    if (!wayland.empty() && wayland.front() != '/' && runtime.empty()) {
        findings.push_back(
            problem("window system", "WAYLAND_DISPLAY=" + wayland +
                                         " cannot be found, for XDG_RUNTIME_DIR is not set; run: "
                                         "export XDG_RUNTIME_DIR=/run/user/$(id -u)"));
    } else if (!wayland.empty()) {
        const auto socket = wayland.front() == '/' ? std::filesystem::path(wayland)
                                                   : std::filesystem::path(runtime) / wayland;
        std::error_code error;
        if (!std::filesystem::exists(socket, error)) {
            findings.push_back(problem("window system", "WAYLAND_DISPLAY=" + wayland +
                                                            " names no socket (" + socket.native() +
                                                            "); is the compositor running?"));
        }
    }
    return findings;
}

// The program as KWin sees it, for the .desktop file that names it.
std::string thisExecutable() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string("/path/to/TarnwickScreenCapture") : path.native();
}

// Whether the window system lets this program take pictures at all.
std::vector<Finding> permissionFindings(const BackendChoice& choice) {
    if (choice.name == "kwin") {
        if (const auto refusal = kwinRefusesScreenshots()) {
            const std::string file =
                "~/.local/share/applications/tarnwick-screen-capture-here.desktop";
            return {problem(
                "permission",
                *refusal +
                    "; KWin takes screenshots only for a program a .desktop file names: "
                    "run: mkdir -p ~/.local/share/applications && printf '[Desktop "
                    "Entry]\\nType=Application\\nName=TarnwickScreenCapture\\nExec=" +
                    thisExecutable() +
                    "\\nNoDisplay=true\\nX-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2"
                    "\\n' > " +
                    file,
                exitCodes::kCaptureFailed)};
        }
        return {fine("permission", "KWin lets this program take screenshots")};
    }
    if (choice.name != "portal") {
        return {};  // a compositor without screen copy shows as the desktop's finding
    }
    std::string why;
    const auto portal = portalOnSessionBus(why);
    if (!portal) {
        return {problem("permission",
                        "no session bus to ask the desktop portal for the desktop: " + why,
                        exitCodes::kCaptureFailed)};
    }
    if (!*portal) {
        return {problem("permission",
                        "the session bus has no desktop portal (org.freedesktop.portal.Desktop); "
                        "install xdg-desktop-portal and the backend of your desktop",
                        exitCodes::kCaptureFailed)};
    }
    return {fine("permission",
                 "the desktop portal is on the session bus; it may ask the user "
                 "the first time")};
}

}  // namespace

std::vector<Finding> windowSystemFindings() {
    const BackendChoice choice = explainBackendChoice();
    std::vector<Finding> findings;
    const auto windows = choice.windowSystem.windows();
    if (const auto* unavailable = std::get_if<Unavailable>(&windows)) {
        const std::string text =
            variable("DISPLAY").empty() && variable("WAYLAND_DISPLAY").empty()
                ? "none: DISPLAY is not set, nor WAYLAND_DISPLAY; run in your desktop session, "
                  "or set DISPLAY (for example: export DISPLAY=:0)"
                : choice.windowSystem.description + " (" + choice.why +
                      ") does not answer: " + unavailable->reason;
        findings.push_back(problem("window system", text, exitCodes::kListWindowsFailed));
    } else {
        findings.push_back(
            fine("window system", choice.windowSystem.description + " (" + choice.why + ")"));
        if (!choice.windowSystem.note.empty()) {
            findings.push_back(fine("window system", choice.windowSystem.note));
        }
    }
    for (auto& finding : environmentFindings()) {
        findings.push_back(std::move(finding));
    }
    for (auto& finding : permissionFindings(choice)) {
        findings.push_back(std::move(finding));
    }
    return findings;
}

}  // namespace tarnwick
