#include "TarnwickScreenCapture/cli/Doctor.hpp"

#include <chrono>
#include <cstdio>

#include "TarnwickScreenCapture/agent/FolderTrust.hpp"
#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/agent/ResponseFile.hpp"
#include "TarnwickScreenCapture/capture/CaptureRequest.hpp"
#include "TarnwickScreenCapture/capture/WindowSelection.hpp"
#include "TarnwickScreenCapture/image/JpegFile.hpp"
#include "TarnwickScreenCapture/posix/Clock.hpp"
#include "TarnwickScreenCapture/posix/OpenFiles.hpp"
#include "TarnwickScreenCapture/text/ShellQuoting.hpp"
#include "TarnwickScreenCapture/text/UnicodeText.hpp"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kAgentService = "tarnwick-screen-capture-agent.service";

std::string millisecondsSince(Clock::time_point start) {
    return std::to_string(
               std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                   .count()) +
           " ms";
}

// An image taken as a capture takes it, made into a JPEG in memory and measured: what a capture
// of it would write, without writing anything. `exitCode` is what a failure costs a window
// capture: the status --doctor ends with is the one a window capture would.
Finding measured(const std::string& subject, const std::string& what,
                 const OrUnavailable<SharedImage>& taken, Clock::time_point started, int exitCode) {
    if (const auto* unavailable = std::get_if<Unavailable>(&taken)) {
        return problem(subject, what + ": no image (code 6): " + unavailable->reason, exitCode);
    }
    const auto& image = std::get<SharedImage>(taken);
    std::size_t bytes = 0;
    const auto encoded = encodeJpegInMemory(image, kDefaultQuality, bytes);
    if (encoded.result != JpegWriteResult::kWritten) {
        return problem(subject, what + ": no image (code 6): " + encoded.reason, exitCode);
    }
    return fine(subject, what + ": " + std::to_string(image->width) + "x" +
                             std::to_string(image->height) + " captured in " +
                             millisecondsSince(started) + ", " + std::to_string(bytes / 1024) +
                             " KiB as a JPEG at quality 0.55");
}

Finding desktopFinding(const WindowSystem& windowSystem) {
    const auto started = Clock::now();
    return measured("desktop", "the whole desktop", windowSystem.desktopImage(), started, 0);
}

std::string boundsText(const WindowDescription& window) {
    if (!window.bounds) {
        return "";
    }
    char text[96];
    std::snprintf(text, sizeof text, ", %gx%g at %g,%g", window.bounds->width,
                  window.bounds->height, window.bounds->x, window.bounds->y);
    return text;
}

Finding windowFinding(const WindowSystem& windowSystem) {
    const auto started = Clock::now();
    const auto selection = findTavikWindow(windowSystem);
    if (const auto* failure = std::get_if<CaptureFailure>(&selection)) {
        std::string text = "none (code " + std::to_string(failure->exitCode) +
                           "): " + (failure->cause.empty() ? failure->message : failure->cause);
        if (failure->exitCode == exitCodes::kWindowNotFound) {
            text += "; TarnwickScreenCapture --list-windows shows each window and its rule";
        }
        return problem("Tavik window", text, failure->exitCode);
    }
    const auto& window = std::get<WindowDescription>(selection);
    return measured(
        "Tavik window",
        std::to_string(window.id) + " " + quotedForTerminal(window.title) + boundsText(window),
        windowSystem.windowImage(window), started, exitCodes::kCaptureFailed);
}

// The data folder, whether an agent serves it, and a request that waits for it.
std::vector<Finding> agentFindings() {
    const auto requestFile = requestFilePath();
    const auto folder = requestFile.parent_path();
    const std::string shown = quotedForShell(folder.native());
    const auto opened = openFolderNoFollow(folder);
    if (opened.outcome == OpenOutcome::kSymbolicLink) {
        return {problem("agent folder", symbolicLinkRefusal(folder, true))};
    }
    if (opened.outcome != OpenOutcome::kOpened || !opened.facts.isFolder) {
        return {problem("agent folder",
                        "the agent waits for " + unusableFolder(folder, opened.outcome))};
    }
    const Trust trust = trustOfThisUser();
    if (auto refusal = distrustOf(folder, opened.facts, trust)) {
        return {problem("agent folder", "the agent ignores requests: " + *refusal)};
    }
    std::vector<Finding> findings{fine("agent folder", shown + " is this user's alone")};
    const auto agent = processLocking(opened.facts.identity);
    if (agent) {
        findings.push_back(fine("agent", "serves it now (process " + std::to_string(*agent) + ")"));
    } else {
        findings.push_back(
            problem("agent", std::string("none serves it; run: systemctl --user enable --now ") +
                                 kAgentService + " (or TarnwickScreenCapture --agent)"));
    }

    auto file = openInFolderNoFollow(opened.fd.get(), requestFile.filename().string());
    if (file.outcome == OpenOutcome::kMissing) {
        findings.push_back(fine("request file", "none waits"));
        return findings;
    }
    if (file.outcome == OpenOutcome::kSymbolicLink) {
        findings.push_back(problem("request file", symbolicLinkRefusal(requestFile, false)));
        return findings;
    }
    if (auto refusal = distrustOf(requestFile, file.facts, trust)) {
        findings.push_back(problem("request file", "the agent ignores it: " + *refusal));
        return findings;
    }
    std::optional<RequestFileMemo> noMemo;
    const auto read = requestFromAgentFolder(opened.fd.get(), folder,
                                             requestFile.filename().string(), trust, noMemo);
    if (!read.request) {
        findings.push_back(read.notARequest && read.facts.size > 0
                               ? problem("request file", "it is no request: " + *read.notARequest)
                               : fine("request file", "none waits"));
        return findings;
    }
    const auto answered = answeredRequestId(folder / kAgentResponseFileName);
    const std::string id = quotedForTerminal(read.request->id);
    if (answered == read.request->id) {
        findings.push_back(fine("request file", "request " + id + " is answered"));
    } else {
        const auto age = wallClockNow().seconds - file.facts.changed.seconds;
        findings.push_back(problem(
            "request file", "request " + id + " waits unanswered, written " + std::to_string(age) +
                                " s ago" + (agent ? "" : ": no agent serves the folder")));
    }
    return findings;
}

}  // namespace

std::vector<Finding> doctorFindings(const DoctorServices& services) {
    std::vector<Finding> findings;
    if (services.windowSystemFindings) {
        findings = services.windowSystemFindings();
    }
    const WindowSystem windowSystem = services.openWindowSystem();
    findings.push_back(desktopFinding(windowSystem));
    findings.push_back(windowFinding(windowSystem));
    for (auto& finding : agentFindings()) {
        findings.push_back(std::move(finding));
    }
    return findings;
}

std::string doctorText(const std::vector<Finding>& findings) {
    std::string text;
    for (const auto& finding : findings) {
        text += finding.subject + ": " + (finding.problem ? "problem: " : "") + finding.text + "\n";
    }
    return text;
}

int doctorExitCode(const std::vector<Finding>& findings) {
    for (const auto& finding : findings) {
        if (finding.problem && finding.exitCode != 0) {
            return finding.exitCode;
        }
    }
    return 0;
}

}  // namespace tarnwick
