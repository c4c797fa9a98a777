#include "TarnwickScreenCapture/capture/CaptureRequest.hpp"

#include <system_error>

#include "TarnwickScreenCapture/text/UnicodeText.hpp"

namespace tarnwick {

double clampedQuality(double quality) {
    const double capped = kMaximumQuality < quality ? kMaximumQuality : quality;
    return capped >= kMinimumQuality ? capped : kMinimumQuality;
}

CaptureTarget targetFromKeyword(const std::string& keyword) {
    return lowercased(keyword) == "desktop" ? CaptureTarget::kDesktop : CaptureTarget::kTavik;
}

std::filesystem::path fileLocationFromPath(const std::string& path) {
    const std::filesystem::path location(path);
    if (location.empty() || location.is_absolute()) {
        return location;
    }
    std::error_code error;
    const auto workingDirectory = std::filesystem::current_path(error);
    return error ? location : workingDirectory / location;
}

}  // namespace tarnwick
