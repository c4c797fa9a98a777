#include "TarnwickScreenCapture/SystemScreenshotTool.hpp"

#include <string>
#include <vector>

namespace tarnwick {

ImageRef captureWithSystemTool(std::optional<CGWindowID> windowID, const Platform& platform) {
    const std::filesystem::path file =
        platform.temporaryDirectory() /
        ("tarnwick-screencapture-" + platform.newUUIDString() + ".jpg");
    std::vector<std::string> arguments{"-x", "-t", "jpg"};
    if (windowID) {
        arguments.push_back("-l");
        arguments.push_back(std::to_string(*windowID));
    }
    arguments.push_back(file.string());

    const auto status = platform.runProcess(kScreenshotToolPath, arguments);
    if (!status) {
        return nullptr;  // never started: there is nothing to remove
    }
    ImageRef image = *status == 0 ? platform.decodeImageFile(file) : nullptr;
    platform.removeFile(file);
    return image;
}

}  // namespace tarnwick
