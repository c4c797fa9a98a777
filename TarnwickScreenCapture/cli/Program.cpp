#include "TarnwickScreenCapture/cli/Program.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "TarnwickScreenCapture/agent/AgentLoop.hpp"
#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/capture/Capture.hpp"
#include "TarnwickScreenCapture/cli/CommandLine.hpp"
#include "TarnwickScreenCapture/cli/Doctor.hpp"
#include "TarnwickScreenCapture/cli/HelpAndVersion.hpp"
#include "TarnwickScreenCapture/cli/TerminalHints.hpp"
#include "TarnwickScreenCapture/cli/WindowListing.hpp"

namespace tarnwick {
namespace {

// One line on standard error (unbuffered).
void say(const std::string& text) {
    const std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// The one line, and the status to exit with; a person at a terminal is also told why.
int fail(const CaptureFailure& failure, bool toTerminal) {
    say(failure.message);
    if (toTerminal) {
        say(failureHintLine(failure));
    }
    return failure.exitCode;
}

int writeToStandardOutput(const std::string& text, bool toTerminal) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
        std::fflush(stdout) == 0) {
        return 0;
    }
    const int error = errno;
    const CaptureFailure failure{exitCodes::kStandardOutputFailed, messages::kStandardOutputFailed,
                                 error != 0 ? std::strerror(error) : ""};
    return fail(failure, toTerminal);
}

// A capture that throws (no memory, a thread the system would not start) fails as the agent
// answers it, with one line, instead of ending the program without one.
std::optional<CaptureFailure> guardedCapture(const CaptureRequest& request,
                                             const Platform& platform) {
    try {
        return capture(request, platform);
    } catch (...) {
        return failures::kCaptureFailed;
    }
}

}  // namespace

int runProgram(const std::vector<std::string>& arguments, const ProgramPlatforms& platforms) {
    const bool toTerminal = platforms.standardErrorIsTerminal;
    for (const auto& argument : arguments) {
        if (argument == "--agent") {
            return runAgent(platforms.requestFiles);
        }
    }

    if (const auto text = informationFromArguments(arguments)) {
        return writeToStandardOutput(*text, toTerminal);
    }

    if (arguments.size() == 2 && arguments[1] == "--doctor") {
        const auto findings =
            doctorFindings({.openWindowSystem = platforms.commandLine.openWindowSystem,
                            .windowSystemFindings = platforms.windowSystemFindings});
        const int written = writeToStandardOutput(doctorText(findings), toTerminal);
        return written != 0 ? written : doctorExitCode(findings);
    }

    if (arguments.size() == 2 && arguments[1] == "--list-windows") {
        OrCaptureFailure<std::string> listing = failures::kListWindowsFailed;
        try {
            listing = listWindows(platforms.commandLine.openWindowSystem());
        } catch (...) {
            // As a capture that throws: one line, the code of the step.
        }
        if (const auto* failure = std::get_if<CaptureFailure>(&listing)) {
            return fail(*failure, toTerminal);
        }
        return writeToStandardOutput(std::get<std::string>(listing), toTerminal);
    }

    if (const auto request = requestFromArguments(arguments)) {
        // Said before the capture, which may wait on a display server for seconds.
        if (const auto note = toTerminal ? argumentHintLine(arguments) : std::nullopt) {
            say(*note);
        }
        const auto failure = guardedCapture(*request, platforms.commandLine);
        return failure ? fail(*failure, toTerminal) : 0;
    }
    // No output path: the request file's request, once, as the agent would take it.
    if (const auto request = requestFromAgentFile(requestFilePath())) {
        const auto failure = guardedCapture(*request, platforms.requestFiles);
        return failure ? fail(*failure, toTerminal) : 0;
    }
    say(messages::kUsage);
    if (toTerminal) {
        say(usageHintLine(requestFilePath()));
    }
    return exitCodes::kUsage;
}

}  // namespace tarnwick
