#include "TarnwickScreenCapture/capture/SystemScreenshotTool.hpp"

#include <string>
#include <vector>

#include "TarnwickScreenCapture/image/JpegFile.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/Process.hpp"
#include "TarnwickScreenCapture/posix/Uuid.hpp"

namespace tarnwick {

SharedImage captureWithSystemTool(std::optional<WindowId> window, const std::filesystem::path& tool,
                                  const std::filesystem::path& temporaryFolder) {
    const std::filesystem::path file =
        (temporaryFolder.empty() ? temporaryDirectory() : temporaryFolder) /
        ("tarnwick-screencapture-" + newUUIDString() + ".jpg");
    std::vector<std::string> arguments{"-x", "-t", "jpg"};
    if (window) {
        arguments.push_back("-l");
        arguments.push_back(std::to_string(*window));
    }
    arguments.push_back(file.string());

    const auto status = runProcessAndWait(tool.string(), arguments);
    if (!status) {
        return nullptr;  // never started: there is nothing to remove
    }
    SharedImage image = *status == 0 ? decodeJpegFile(file) : nullptr;
    removeFile(file);
    return image;
}

}  // namespace tarnwick
