#include "TarnwickScreenCapture/Capture.hpp"

#include "TarnwickScreenCapture/ImageScaling.hpp"
#include "TarnwickScreenCapture/SystemScreenshotTool.hpp"
#include "TarnwickScreenCapture/WindowSelection.hpp"

namespace tarnwick {
namespace {

// The window-list image service first; the screenshot tool only when it gives no image.
ImageRef capturedImage(const CaptureRequest& request, const Platform& platform,
                       std::optional<CaptureError>& error) {
    if (request.target == kTargetDesktop) {
        if (auto image = platform.createWindowListImage(
                kCGWindowListOptionOnScreenOnly, kCGNullWindowID,
                kCGWindowImageBestResolution | kCGWindowImageNominalResolution)) {
            return image;
        }
        return captureWithSystemTool(std::nullopt, platform);
    }
    const auto selection = findTavikWindowID(platform);
    if (const auto* selectionError = std::get_if<CaptureError>(&selection)) {
        error = *selectionError;
        return nullptr;
    }
    const CGWindowID windowID = std::get<CGWindowID>(selection);
    if (auto image = platform.createWindowListImage(
            kCGWindowListOptionIncludingWindow, windowID,
            kCGWindowImageBoundsIgnoreFraming | kCGWindowImageBestResolution |
                kCGWindowImageNominalResolution)) {
        return image;
    }
    return captureWithSystemTool(windowID, platform);
}

}  // namespace

std::optional<CaptureError> capture(const CaptureRequest& request, const Platform& platform) {
    std::optional<CaptureError> selectionError;
    const ImageRef image = capturedImage(request, platform, selectionError);
    if (selectionError) {
        return selectionError;
    }
    if (!image) {
        return makeError(messages::kCaptureFailed, codes::kCaptureFailed);
    }
    auto destination = platform.createJpegDestination(request.output);
    if (!destination) {
        return makeError(messages::kCreateDestinationFailed, codes::kCreateDestinationFailed);
    }
    destination->addImage(imageScaledToMaxWidth(image, request.maxWidth), request.quality);
    if (!destination->finalize()) {
        return makeError(messages::kFinalizeFailed, codes::kFinalizeFailed);
    }
    return std::nullopt;
}

}  // namespace tarnwick
