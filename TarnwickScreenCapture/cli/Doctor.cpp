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
#include "TarnwickScreenCapture/posix/FileLocks.hpp"
#include "TarnwickScreenCapture/posix/NoFollowOpen.hpp"
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

// The request file as the agent would take it, and whether its request is answered. Its
// text is a client's: escaped wherever it is shown.
Finding requestFileFinding(const OpenedFile& folder, const Trust& trust, bool agentServes) {
    const auto requestFile = requestFilePath();
    std::optional<RequestFileMemo> noMemo;
    const auto read = requestFromAgentFolder(folder.fd.get(), requestFile.parent_path(),
                                             requestFile.filename().string(), trust, noMemo);
    switch (read.verdict) {
        case Verdict::kAbsent:
            return fine("request file", "none waits");
        case Verdict::kSymbolicLink:
            return problem("request file", read.refusal.value_or(""));
        case Verdict::kDistrusted:
            return problem("request file", "the agent ignores it: " + read.refusal.value_or(""));
        case Verdict::kTrusted:
            break;
    }
    if (!read.request) {
        constexpr std::size_t kLongestReason = 400;
        return read.notARequest && read.facts.size > 0
                   ? problem("request file",
                             "it is no request: " +
                                 escapedForTerminal(*read.notARequest, kLongestReason))
                   : fine("request file", "none waits");
    }
    const std::string id = quotedForTerminal(read.request->id);
    if (answeredRequestId(folder.fd.get(), kAgentResponseFileName) == read.request->id) {
        return fine("request file", "request " + id + " is answered");
    }
    const auto age = wallClockNow().seconds - read.facts.changed.seconds;
    return problem("request file", "request " + id + " waits unanswered, written " +
                                       std::to_string(age) + " s ago" +
                                       (agentServes ? "" : ": no agent serves the folder"));
}

// The data folder, whether an agent serves it, and a request that waits for it.
std::vector<Finding> agentFindings() {
    const auto folder = requestFilePath().parent_path();
    const Trust trust = trustOfThisUser();
    const auto judged = judgeRequestFolder(folder, trust);
    switch (judged.verdict) {
        case Verdict::kAbsent:
            return {problem("agent folder", "the agent waits for " + judged.reason)};
        case Verdict::kSymbolicLink:
            return {problem("agent folder", judged.reason)};
        case Verdict::kDistrusted:
            return {problem("agent folder", "the agent ignores requests: " + judged.reason)};
        case Verdict::kTrusted:
            break;
    }
    std::vector<Finding> findings{
        fine("agent folder", quotedForShell(folder.native()) + " is this user's alone")};
    const auto agent = processLocking(judged.opened.facts.identity);
    if (agent) {
        findings.push_back(fine("agent", "serves it now (process " + std::to_string(*agent) + ")"));
    } else {
        findings.push_back(
            problem("agent", std::string("none serves it; run: systemctl --user enable --now ") +
                                 kAgentService + " (or TarnwickScreenCapture --agent)"));
    }
    findings.push_back(requestFileFinding(judged.opened, trust, agent.has_value()));
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
