#include "TarnwickScreenCapture/backends/Diagnosis.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "TarnwickScreenCapture/backends/Backends.hpp"
#include "TarnwickScreenCapture/backends/dbus/SessionBusLibrary.hpp"
#include "TarnwickScreenCapture/backends/gnome/GnomeWindowSystem.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinWindowSystem.hpp"
#include "TarnwickScreenCapture/backends/portal/PortalScreenshot.hpp"
#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"
#include "TarnwickScreenCapture/image/JpegFile.hpp"
#include "TarnwickScreenCapture/image/PngLibrary.hpp"
#include "TarnwickScreenCapture/posix/Environment.hpp"
#include "TarnwickScreenCapture/text/UnicodeLibrary.hpp"

namespace tarnwick {
namespace {

// What in the environment stands in the way of reaching a window system.
std::vector<Finding> environmentFindings() {
    std::vector<Finding> findings;
    const auto forced = environmentValue(variables::kBackend);
    if (forced && !backendNamed(*forced)) {
        findings.push_back(problem("window system", variableText(variables::kBackend) +
                                                        " names no backend and is ignored; unset "
                                                        "it, or name " +
                                                        backendNames()));
    }
    const std::string wayland = environmentValue(variables::kWaylandDisplay).value_or("");
    const std::string runtime = environmentValue(variables::kRuntimeFolder).value_or("");
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
    if (choice.backend == Backend::kKWin) {
        const auto verdict = kwinScreenShotVerdict();
        switch (verdict.kind) {
            // No exit status of its own: an XWayland window is still taken through the X server,
            // and the window's own finding says what a window capture ends with.
            case KWinScreenShotVerdict::Kind::kRefused: {
                const std::string file =
                    "~/.local/share/applications/tarnwick-screen-capture-here.desktop";
                return {problem(
                    "permission",
                    verdict.reason +
                        "; KWin takes screenshots only for a program a .desktop file names: "
                        "run: mkdir -p ~/.local/share/applications && printf '[Desktop "
                        "Entry]\\nType=Application\\nName=TarnwickScreenCapture\\nExec=" +
                        thisExecutable() +
                        "\\nNoDisplay=true\\nX-KDE-DBUS-Restricted-Interfaces=org.kde.KWin."
                        "ScreenShot2\\n' > " +
                        file)};
            }
            case KWinScreenShotVerdict::Kind::kNotServed:
                // Not a permission: nothing the user grants changes it.
                return {problem("screenshots",
                                verdict.reason +
                                    "; windows of X11 programs (XWayland) are taken through the "
                                    "X server; native Wayland windows and the desktop cannot "
                                    "be")};
            case KWinScreenShotVerdict::Kind::kServed:
                break;
        }
        return {fine("permission", "KWin lets this program take screenshots")};
    }
    if (choice.backend != Backend::kPortal) {
        return {};  // a compositor without screen copy shows as the desktop's finding
    }
    // Only the desktop comes from the portal: a window capture does not end because of it.
    const auto portal = portalOnSessionBus();
    if (const auto* unavailable = std::get_if<Unavailable>(&portal)) {
        return {problem("permission", "no session bus to ask the desktop portal for the desktop: " +
                                          unavailable->reason)};
    }
    if (!std::get<bool>(portal)) {
        return {problem("permission",
                        "the session bus has no desktop portal (org.freedesktop.portal.Desktop); "
                        "install xdg-desktop-portal and the backend of your desktop")};
    }
    return {fine("permission",
                 "the desktop portal is on the session bus; it may ask the user "
                 "the first time")};
}

// The libraries loaded only when needed, which neither ldd nor a missing package's error shows
// until a capture needs one.
std::vector<Finding> libraryFindings() {
    std::vector<Finding> findings;
    std::string loading;
    for (const auto& library : {unicodeRuntimeLibrary(), sessionBusRuntimeLibrary(),
                                pngRuntimeLibrary(), turboJpegRuntimeLibrary()}) {
        const std::string named = library.file + " (" + library.package + ")";
        if (const auto failure = libraryLoadFailure(library.file)) {
            findings.push_back(problem(
                "run-time library", named + " cannot be loaded (" + *failure + "): " + library.use +
                                        " fails; run: sudo apt-get install " + library.package));
        } else {
            loading += (loading.empty() ? "" : ", ") + named;
        }
    }
    if (!loading.empty()) {
        findings.insert(findings.begin(), fine("run-time libraries", loading + " load"));
    }
    return findings;
}

// GNOME's portal asks the user once for screenshots and keeps the answer in its permission store.
std::optional<Finding> portalPermissionFinding() {
    const auto permission = portalScreenshotPermission();
    if (std::holds_alternative<Unavailable>(permission)) {
        return std::nullopt;  // no store to ask: the portal's own finding says what is missing
    }
    const std::string grant = std::string("; run: ") + kGrantScreenshotCommand;
    switch (std::get<ScreenshotPermission>(permission)) {
        case ScreenshotPermission::kGranted:
            return fine("permission", "GNOME's portal lets programs take screenshots (stored)");
        case ScreenshotPermission::kDenied:
            return problem("permission",
                           "GNOME's portal has stored a refusal of screenshots: every desktop "
                           "capture through it is refused" +
                               grant);
        case ScreenshotPermission::kMissing:
            break;
    }
    return problem("permission",
                   "GNOME's portal has no stored permission for screenshots: the first desktop "
                   "capture shows GNOME's dialog \"Allow Applications to Take Screenshots?\", "
                   "answered once (a capture fails until it is); or grant it now" +
                       grant);
}

// Whether the extension that reaches GNOME's native windows is there, and how to turn it on.
std::vector<Finding> gnomeFindings() {
    const GnomeExtensionStatus status = gnomeExtensionStatus();
    if (!status.shellOnBus) {
        return {};
    }
    const std::string uuid = kGnomeExtensionUuid;
    const std::string what = "GNOME Shell's extension " + uuid;
    const std::string enable = "run: gnome-extensions enable " + uuid;
    const std::string exposure =
        "; once enabled, every program you run can read any window's pixels through it";
    std::vector<Finding> findings;
    if (status.answering) {
        findings.push_back(fine("extension", what + " is enabled and answers: native windows can "
                                                    "be captured"));
    } else if (status.enabled) {
        findings.push_back(
            problem("extension",
                    what + " is enabled but does not answer" +
                        (status.shellError.empty() ? std::string() : ": " + status.shellError) +
                        "; log out and in"));
    } else if (status.outOfDate) {
        findings.push_back(problem(
            "extension", what + " does not list this version of GNOME Shell among those it was "
                                "tested on, and the shell will not run it; only XWayland windows "
                                "and the portal's desktop can be captured"));
    } else if (!status.shellError.empty()) {
        findings.push_back(problem("extension", what + " failed: " + status.shellError));
    } else if (status.knownToShell) {
        findings.push_back(
            problem("extension", what +
                                     " is installed but not enabled, so only XWayland windows and "
                                     "the portal's desktop can be captured; " +
                                     enable + exposure));
    } else if (status.installedAt) {
        findings.push_back(problem(
            "extension", what + " is installed in " + *status.installedAt +
                             " but this session started before it was: log out and in, then " +
                             enable + exposure));
    } else {
        findings.push_back(problem(
            "extension", what + " is not installed (the package puts it in "
                                "/usr/share/gnome-shell/extensions/); without it only XWayland "
                                "windows and the portal's desktop can be captured"));
    }
    if (!status.answering) {
        if (auto permission = portalPermissionFinding()) {
            findings.push_back(std::move(*permission));
        }
    }
    return findings;
}

}  // namespace

std::vector<Finding> windowSystemFindings() {
    const BackendChoice choice = explainBackendChoice();
    std::vector<Finding> findings;
    const auto windows = choice.windowSystem.windows();
    if (const auto* unavailable = std::get_if<Unavailable>(&windows)) {
        const std::string text =
            !environmentValue(variables::kDisplay) && !environmentValue(variables::kWaylandDisplay)
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
    for (auto& finding : libraryFindings()) {
        findings.push_back(std::move(finding));
    }
    if (environmentValue(variables::kWaylandDisplay) &&
        (choice.backend == Backend::kGnome || choice.backend == Backend::kWlroots ||
         choice.backend == Backend::kPortal)) {
        for (auto& finding : gnomeFindings()) {
            findings.push_back(std::move(finding));
        }
    }
    return findings;
}

}  // namespace tarnwick
