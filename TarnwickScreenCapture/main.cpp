#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/AgentLoop.hpp"
#include "TarnwickScreenCapture/AgentRequestFile.hpp"
#include "TarnwickScreenCapture/Capture.hpp"
#include "TarnwickScreenCapture/CaptureRequest.hpp"
#include "TarnwickScreenCapture/Error.hpp"
#include "TarnwickScreenCapture/HelpAndVersion.hpp"
#include "TarnwickScreenCapture/WindowListing.hpp"
#include "TarnwickScreenCapture/platform/JpegFiles.hpp"
#include "TarnwickScreenCapture/platform/TerminationCleanup.hpp"

namespace {

// One line on standard error (unbuffered), then exit with the code.
[[noreturn]] void fail(const std::string& message, int code) {
    const std::string line = message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::exit(code);
}

bool writeToStandardOutput(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
           std::fflush(stdout) == 0;
}

// A request file is not a person at a terminal: what it names replaces an existing file only when
// that file is a JPEG.
tarnwick::Platform platformForRequestFiles(tarnwick::Platform platform) {
    platform.createJpegDestination = [](const std::filesystem::path& output) {
        return tarnwick::openJpegFileDestination(output,
                                                 tarnwick::ExistingOutput::kReplaceOnlyJpeg);
    };
    return platform;
}

int exitStatusForErrorCode(std::int64_t code) {
    if (code == 0 || code < std::numeric_limits<std::int32_t>::min() ||
        code > std::numeric_limits<std::int32_t>::max()) {
        return 1;
    }
    return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tarnwick;
    installTerminationCleanup();
    ignoreWriteFailureSignals();
    const std::vector<std::string> arguments(argv, argv + argc);
    const Platform platform = systemPlatform();

    for (const auto& argument : arguments) {
        if (argument == "--agent") {
            runAgent(platformForRequestFiles(platform));
        }
    }

    if (const auto text = informationFromArguments(arguments)) {
        if (!writeToStandardOutput(*text)) {
            fail(messages::kStandardOutputFailed, codes::kStandardOutputExitStatus);
        }
        return 0;
    }

    if (arguments.size() == 2 && arguments[1] == "--list-windows") {
        const auto listing = listWindows(platform);
        if (const auto* error = std::get_if<CaptureError>(&listing)) {
            fail(error->message, exitStatusForErrorCode(error->code));
        }
        if (!writeToStandardOutput(std::get<std::string>(listing))) {
            fail(messages::kStandardOutputFailed, codes::kStandardOutputExitStatus);
        }
        return 0;
    }

    auto request = requestFromArguments(arguments);
    const bool fromRequestFile = !request;
    if (fromRequestFile) {
        request = requestFromAgentFile(defaultAgentRequestURL());
    }
    if (!request) {
        fail(messages::kUsage, codes::kUsageExitStatus);
    }
    if (const auto error =
            capture(*request, fromRequestFile ? platformForRequestFiles(platform) : platform)) {
        fail(error->message, exitStatusForErrorCode(error->code));
    }
    return 0;
}
