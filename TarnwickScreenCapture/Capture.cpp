#include "TarnwickScreenCapture/Capture.hpp"

#include "TarnwickScreenCapture/ImageScaling.hpp"
#include "TarnwickScreenCapture/SystemScreenshotTool.hpp"
#include "TarnwickScreenCapture/WindowSelection.hpp"

namespace tarnwick {
namespace {

// Writes the image as the request's JPEG. A failure to read a lazily read image means there was
// no image after all; any other failure sets the error to report.
enum class WriteOutcome { kWritten, kImageUnreadable, kFailed };

WriteOutcome writeJpeg(const ImageRef& image, const CaptureRequest& request,
                       const Platform& platform, std::optional<CaptureError>& error) {
    auto destination = platform.createJpegDestination(request.output);
    if (!destination) {
        error = makeError(messages::kCreateDestinationFailed, codes::kCreateDestinationFailed);
        return WriteOutcome::kFailed;
    }
    auto scaled = imageScaledToMaxWidth(image, request.maxWidth);
    if (!scaled) {
        // The image was taken; the JPEG at the requested size is what could not be made.
        error = makeError(messages::kFinalizeFailed, codes::kFinalizeFailed);
        return WriteOutcome::kFailed;
    }
    destination->addImage(std::move(scaled), request.quality);
    if (destination->finalize()) {
        return WriteOutcome::kWritten;
    }
    if (destination->imageWasUnreadable && destination->imageWasUnreadable()) {
        return WriteOutcome::kImageUnreadable;
    }
    error = makeError(messages::kFinalizeFailed, codes::kFinalizeFailed);
    return WriteOutcome::kFailed;
}

}  // namespace

std::optional<CaptureError> capture(const CaptureRequest& request, const Platform& platform) {
    const WindowSystem windowSystem = platform.openWindowSystem();
    std::optional<CGWindowID> windowID;
    ImageRef image;
    if (request.target == kTargetDesktop) {
        image = windowSystem.images.desktop();
    } else {
        const auto selection = findTavikWindow(windowSystem.windows);
        if (const auto* selectionError = std::get_if<CaptureError>(&selection)) {
            return *selectionError;
        }
        const auto& window = std::get<WindowDescription>(selection);
        windowID = window.number;
        image = windowSystem.images.window(window);
    }

    // The screenshot tool runs at most once: when the image service gives no image, or when its
    // lazily read image turns out to be unreadable while it is written.
    bool triedTool = false;
    for (;;) {
        if (!image && !triedTool) {
            image = captureWithSystemTool(windowID, platform);
            triedTool = true;
        }
        if (!image) {
            return makeError(messages::kCaptureFailed, codes::kCaptureFailed);
        }
        std::optional<CaptureError> error;
        switch (writeJpeg(image, request, platform, error)) {
            case WriteOutcome::kWritten:
                return std::nullopt;
            case WriteOutcome::kFailed:
                return error;
            case WriteOutcome::kImageUnreadable:
                image = nullptr;
                break;
        }
    }
}

}  // namespace tarnwick
