#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "TarnwickScreenCapture/capture/Platform.hpp"
#include "support/Images.hpp"

namespace tarnwick::testing {

// A window system, JPEG writer and screenshot tool that answer as configured and keep what a
// caller of the capture could see of them.
struct FakePlatform {
    // What the system offers.
    OrUnavailable<std::vector<WindowDescription>> windows = std::vector<WindowDescription>{};
    SharedImage screenImage;  // what the desktop and every window show; null: no image
    SharedImage toolImage;    // what the screenshot tool gives; null: none
    JpegWriteResult writeResult = JpegWriteResult::kWritten;
    int unreadableWrites = 0;  // how many writes find their image unreadable first

    // What became of it.
    bool listed = false;
    std::optional<WindowId> imagedWindow;
    std::vector<std::optional<WindowId>> toolRuns;
    struct Written {
        std::filesystem::path output;
        SharedImage image;
        double quality = 0;
    };
    std::optional<Written> written;

    // The screen's image, or why there is none.
    OrUnavailable<SharedImage> offered() const {
        if (screenImage) {
            return screenImage;
        }
        return Unavailable{"no screen"};
    }

    Platform platform() {
        return Platform{
            .openWindowSystem =
                [this] {
                    return WindowSystem{
                        .description = "fake",
                        .windows =
                            [this] {
                                listed = true;
                                return windows;
                            },
                        .desktopImage = [this] { return offered(); },
                        .windowImage =
                            [this](const WindowDescription& window) {
                                imagedWindow = window.id;
                                return offered();
                            },
                    };
                },
            .writeJpeg =
                [this](const std::filesystem::path& output, const SharedImage& image,
                       double quality) {
                    if (writeResult == JpegWriteResult::kOutputUnavailable) {
                        return JpegWriteOutcome{writeResult, "no such folder"};
                    }
                    if (!image) {
                        return JpegWriteOutcome{JpegWriteResult::kWriteFailed, "no image"};
                    }
                    if (unreadableWrites > 0) {
                        --unreadableWrites;
                        return JpegWriteOutcome{JpegWriteResult::kImageUnreadable, "vanished"};
                    }
                    if (writeResult == JpegWriteResult::kWritten) {
                        written = Written{output, image, quality};
                        return JpegWriteOutcome{writeResult, {}};
                    }
                    return JpegWriteOutcome{writeResult, "disk full"};
                },
            .screenshotTool =
                [this](std::optional<WindowId> window) {
                    toolRuns.push_back(window);
                    return toolImage;
                },
        };
    }
};

}  // namespace tarnwick::testing
