#include <optional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/backends/Backends.hpp"
#include "TarnwickScreenCapture/backends/Diagnosis.hpp"
#include "TarnwickScreenCapture/capture/SystemScreenshotTool.hpp"
#include "TarnwickScreenCapture/cli/Program.hpp"
#include "TarnwickScreenCapture/image/JpegFile.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/Signals.hpp"
#include "TarnwickScreenCapture/posix/TemporaryFiles.hpp"

namespace {

tarnwick::Platform systemPlatform(tarnwick::ExistingOutput existingOutput) {
    return tarnwick::Platform{
        .openWindowSystem = tarnwick::openWindowSystem,
        .writeJpeg = tarnwick::jpegFileWriter(existingOutput),
        .screenshotTool =
            [](std::optional<tarnwick::WindowId> window) {
                return tarnwick::captureWithSystemTool(window);
            },
    };
}

}  // namespace

int main(int argc, char** argv) {
    using tarnwick::ExistingOutput;
    // First of all: a reader that goes away is a write error like any other, for the whole run.
    tarnwick::ignoreWriteFailureSignals();
    tarnwick::installTerminationCleanup();
    return tarnwick::runProgram(std::vector<std::string>(argv, argv + argc),
                                {.commandLine = systemPlatform(ExistingOutput::kReplaceAnything),
                                 .requestFiles = systemPlatform(ExistingOutput::kReplaceOnlyJpeg),
                                 .windowSystemFindings = tarnwick::windowSystemFindings,
                                 .standardErrorIsTerminal = tarnwick::isTerminal(2)});
}
