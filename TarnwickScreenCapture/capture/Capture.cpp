#include "TarnwickScreenCapture/capture/Capture.hpp"

#include "TarnwickScreenCapture/capture/WindowSelection.hpp"
#include "TarnwickScreenCapture/image/ImageScaling.hpp"

namespace tarnwick {

std::optional<CaptureFailure> capture(const CaptureRequest& request, const Platform& platform) {
    const WindowSystem windowSystem = platform.openWindowSystem();
    std::optional<WindowId> window;
    OrUnavailable<SharedImage> taken;
    if (request.target == CaptureTarget::kDesktop) {
        taken = windowSystem.desktopImage();
    } else {
        const auto selection = findTavikWindow(windowSystem);
        if (const auto* failure = std::get_if<CaptureFailure>(&selection)) {
            return *failure;
        }
        const auto& chosen = std::get<WindowDescription>(selection);
        window = chosen.id;
        taken = windowSystem.windowImage(chosen);
    }
    SharedImage image;
    std::string whyNoImage;
    if (auto* unavailable = std::get_if<Unavailable>(&taken)) {
        whyNoImage = std::move(unavailable->reason);
    } else if (!(image = std::get<SharedImage>(std::move(taken)))) {
        whyNoImage = windowSystem.description + " gave no image";
    }

    // The screenshot tool runs at most once: when the window system gives no image, or when its
    // lazily read image turns out to be unreadable while it is written.
    bool triedTool = false;
    for (;;) {
        if (!image && !triedTool) {
            image = platform.screenshotTool(window);
            triedTool = true;
        }
        if (!image) {
            return failures::kCaptureFailed.because(whyNoImage);
        }
        // A scaled image that cannot be made (a side beyond what JPEG holds, no memory) is no
        // "no image": the capture was taken, and no other size is written in its place.
        const SharedImage scaled = imageScaledToMaxWidth(image, request.maxWidth);
        auto written = platform.writeJpeg(request.output, scaled, request.quality);
        switch (written.result) {
            case JpegWriteResult::kWritten:
                return std::nullopt;
            case JpegWriteResult::kOutputUnavailable:
                return failures::kCreateDestinationFailed.because(std::move(written.reason));
            case JpegWriteResult::kWriteFailed:
                return failures::kFinalizeFailed.because(std::move(written.reason));
            case JpegWriteResult::kImageUnreadable:
                whyNoImage = std::move(written.reason);
                image = nullptr;
                break;
        }
    }
}

}  // namespace tarnwick
