#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/platform/Image.hpp"
#include "TarnwickScreenCapture/platform/WindowDescription.hpp"

namespace tarnwick {

// A JPEG file in the making: addImage queues the image, finalize writes it and reports success.
// Dropping a destination that was never finalized leaves nothing behind.
struct JpegDestination {
    std::function<void(ImageRef image, double quality)> addImage;
    std::function<bool()> finalize;
    // After a failed finalize: whether it failed because a lazily read image could not be read
    // (its window vanished, the display went away) rather than because writing failed.
    std::function<bool()> imageWasUnreadable;
};

// The on-screen windows, front to back; none when the window system cannot be reached.
using WindowSource = std::function<std::optional<std::vector<WindowDescription>>()>;

// Pictures of the screen; null when they cannot be had.
struct ImageSource {
    std::function<ImageRef()> desktop;
    // One window of the source's list, as the window system shows it.
    std::function<ImageRef(const WindowDescription& window)> window;
};

// What one window system (X11, a Wayland compositor) offers the capture.
struct WindowSystem {
    WindowSource windows;
    ImageSource images;
    // Which system this is and where, as a person reads it: "X11 on :0".
    std::string description;
};

// The one seam between the capture logic and the system. The program fills it with the real
// services (systemPlatform); unit tests fill it with fakes.
struct Platform {
    // The window system of one capture, chosen afresh for each.
    std::function<WindowSystem()> openWindowSystem;
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
