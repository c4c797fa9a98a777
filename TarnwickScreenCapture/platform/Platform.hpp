#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TarnwickScreenCapture/platform/Image.hpp"
#include "TarnwickScreenCapture/platform/WindowDescription.hpp"

namespace tarnwick {

// Raw option values of the window-list services.
inline constexpr std::uint32_t kCGWindowListOptionOnScreenOnly = 1;
inline constexpr std::uint32_t kCGWindowListOptionIncludingWindow = 8;
inline constexpr std::uint32_t kCGWindowListExcludeDesktopElements = 16;
inline constexpr std::uint32_t kCGWindowImageBoundsIgnoreFraming = 1;
inline constexpr std::uint32_t kCGWindowImageBestResolution = 8;
inline constexpr std::uint32_t kCGWindowImageNominalResolution = 16;

// Keys of one window's information map.
inline constexpr const char* kCGWindowNumber = "kCGWindowNumber";
inline constexpr const char* kCGWindowLayer = "kCGWindowLayer";
inline constexpr const char* kCGWindowAlpha = "kCGWindowAlpha";
inline constexpr const char* kCGWindowBounds = "kCGWindowBounds";
inline constexpr const char* kCGWindowOwnerName = "kCGWindowOwnerName";
inline constexpr const char* kCGWindowName = "kCGWindowName";
inline constexpr const char* kCGWindowOwnerPID = "kCGWindowOwnerPID";

// A JPEG file in the making: addImage queues the image, finalize writes it and reports success.
// Dropping a destination that was never finalized leaves nothing behind.
struct JpegDestination {
    std::function<void(ImageRef image, double quality)> addImage;
    std::function<bool()> finalize;
    // After a failed finalize: whether it failed because a lazily read image could not be read
    // (its window vanished, the display went away) rather than because writing failed.
    std::function<bool()> imageWasUnreadable;
};

// The one seam between the capture logic and the system. The program fills it with the real
// services (systemPlatform); unit tests fill it with fakes.
struct Platform {
    // The on-screen windows, front to back, as an array of window-information maps; none when
    // the window system cannot be reached.
    std::function<std::optional<nlohmann::json>(std::uint32_t listOptions, CGWindowID relativeTo)>
        copyWindowInfo;
    // The image of the desktop or of one window; null when it cannot be had.
    std::function<ImageRef(std::uint32_t listOption, CGWindowID windowID,
                           std::uint32_t imageOptions)>
        createWindowListImage;
    // None when the output cannot be opened for writing.
    std::function<std::optional<JpegDestination>(const std::filesystem::path& output)>
        createJpegDestination;
    std::function<std::filesystem::path()> temporaryDirectory;
    // Runs a program with the given arguments (argv[0] excluded), inheriting streams,
    // environment and working directory, and waits for it. None when it could not be started;
    // otherwise its exit status (a program ended by a signal counts as a non-zero status).
    std::function<std::optional<int>(const std::string& executable,
                                     const std::vector<std::string>& arguments)>
        runProcess;
    // The first image of a file; null when the file is missing or holds no readable image.
    std::function<ImageRef(const std::filesystem::path& file)> decodeImageFile;
    // One attempt; failure is ignored.
    std::function<void(const std::filesystem::path& file)> removeFile;
    std::function<std::string()> newUUIDString;
};

// The real services of this machine.
Platform systemPlatform();

}  // namespace tarnwick
