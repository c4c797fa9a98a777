#include "TarnwickScreenCapture/cli/Program.hpp"

#include <cstdio>

#include "TarnwickScreenCapture/agent/AgentLoop.hpp"
#include "TarnwickScreenCapture/agent/RequestFile.hpp"
#include "TarnwickScreenCapture/capture/Capture.hpp"
#include "TarnwickScreenCapture/cli/CommandLine.hpp"
#include "TarnwickScreenCapture/cli/Doctor.hpp"
#include "TarnwickScreenCapture/cli/HelpAndVersion.hpp"
#include "TarnwickScreenCapture/cli/WindowListing.hpp"

namespace tarnwick {
namespace {

// One line on standard error (unbuffered), and the status to exit with.
int fail(const std::string& message, int exitCode) {
    const std::string line = message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return exitCode;
}

int fail(const CaptureFailure& failure) {
    return fail(failure.message, failure.exitCode);
}

int writeToStandardOutput(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
        std::fflush(stdout) == 0) {
        return 0;
    }
    return fail(messages::kStandardOutputFailed, exitCodes::kStandardOutputFailed);
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
    for (const auto& argument : arguments) {
        if (argument == "--agent") {
            return runAgent(platforms.requestFiles);
        }
    }

    if (const auto text = informationFromArguments(arguments)) {
        return writeToStandardOutput(*text);
    }

    if (arguments.size() == 2 && arguments[1] == "--doctor") {
        const auto findings =
            doctorFindings({.openWindowSystem = platforms.commandLine.openWindowSystem,
                            .windowSystemFindings = platforms.windowSystemFindings});
        const int written = writeToStandardOutput(doctorText(findings));
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
            return fail(*failure);
        }
        return writeToStandardOutput(std::get<std::string>(listing));
    }

    if (const auto request = requestFromArguments(arguments)) {
        const auto failure = guardedCapture(*request, platforms.commandLine);
        return failure ? fail(*failure) : 0;
    }
    // No output path: the request file's request, once, as the agent would take it.
    if (const auto request = requestFromAgentFile(requestFilePath())) {
        const auto failure = guardedCapture(*request, platforms.requestFiles);
        return failure ? fail(*failure) : 0;
    }
    return fail(messages::kUsage, exitCodes::kUsage);
}

}  // namespace tarnwick
