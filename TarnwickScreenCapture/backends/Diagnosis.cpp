#include "TarnwickScreenCapture/backends/Diagnosis.hpp"

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TarnwickScreenCapture/backends/Backends.hpp"
#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"

namespace tarnwick {
namespace {

constexpr const char* kSubject = "window system";

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

Finding fine(std::string text) {
    return {.subject = kSubject, .text = std::move(text)};
}

Finding problem(std::string text, int exitCode = 0) {
    return {.subject = kSubject, .text = std::move(text), .problem = true, .exitCode = exitCode};
}

// What the environment says of the window systems a capture could reach.
std::vector<Finding> environmentFindings() {
    std::vector<Finding> findings;
    const std::string forced = variable(kBackendVariable);
    if (!forced.empty()) {
        if (forced == "x11" || forced == "wlroots" || forced == "portal") {
            findings.push_back(fine(std::string(kBackendVariable) + "=" + forced + " chooses it"));
        } else {
            findings.push_back(problem(std::string(kBackendVariable) + "=" + forced +
                                       " names no backend and is ignored; unset it, or name "
                                       "x11, wlroots or portal"));
        }
    }
    const std::string wayland = variable("WAYLAND_DISPLAY");
    const std::string runtime = variable("XDG_RUNTIME_DIR");
    if (!wayland.empty() && wayland.front() != '/' && runtime.empty()) {
        findings.push_back(problem("WAYLAND_DISPLAY=" + wayland +
                                   " cannot be found, for XDG_RUNTIME_DIR is not set; run: export "
                                   "XDG_RUNTIME_DIR=/run/user/$(id -u)"));
    } else if (!wayland.empty()) {
        const auto socket = wayland.front() == '/' ? std::filesystem::path(wayland)
                                                   : std::filesystem::path(runtime) / wayland;
        std::error_code error;
        if (!std::filesystem::exists(socket, error)) {
            findings.push_back(problem("WAYLAND_DISPLAY=" + wayland + " names no socket (" +
                                       socket.native() + "); is the compositor running?"));
        }
    }
    return findings;
}

}  // namespace

std::vector<Finding> windowSystemFindings() {
    auto findings = environmentFindings();
    const WindowSystem windowSystem = openWindowSystem();
    const auto windows = windowSystem.windows();
    if (const auto* unavailable = std::get_if<Unavailable>(&windows)) {
        const std::string text =
            variable("DISPLAY").empty() && variable("WAYLAND_DISPLAY").empty()
                ? "none: DISPLAY is not set, nor WAYLAND_DISPLAY; run in your desktop session, "
                  "or set DISPLAY (for example: export DISPLAY=:0)"
                : windowSystem.description + " does not answer: " + unavailable->reason;
        findings.insert(findings.begin(), problem(text, exitCodes::kListWindowsFailed));
        return findings;
    }
    findings.insert(findings.begin(), fine(windowSystem.description));
    return findings;
}

}  // namespace tarnwick
