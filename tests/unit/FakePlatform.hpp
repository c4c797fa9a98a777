#pragma once

#include <memory>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/platform/Platform.hpp"

namespace tarnwick::testing {

inline ImageRef solidImage(std::int64_t width, std::int64_t height, std::uint8_t red = 200) {
    auto image = newImage(width, height);
    for (std::size_t i = 0; i < image->pixels.size(); i += kBytesPerPixel) {
        image->pixels[i] = red;
        image->pixels[i + 3] = 255;
    }
    return image;
}

// A platform whose every service records its call in `calls` and answers as configured.
struct FakePlatform {
    std::vector<std::string> calls;
    std::optional<std::vector<WindowDescription>> windowList = std::vector<WindowDescription>{};
    ImageRef windowListImage;           // what the desktop and every window show
    std::optional<int> toolExitStatus;  // none: the tool cannot be started
    ImageRef toolImage;
    bool destinationOpens = true;
    bool finalizeSucceeds = true;
    int unreadableFinalizes = 0;  // how many finalizes fail because the image cannot be read
    ImageRef addedImage;
    double addedQuality = -1;

    Platform platform() {
        Platform p;
        p.openWindowSystem = [this] {
            return WindowSystem{
                .windows =
                    [this] {
                        calls.push_back("list");
                        return windowList;
                    },
                .images = {.desktop =
                               [this] {
                                   calls.push_back("desktop image");
                                   return windowListImage;
                               },
                           .window =
                               [this](const WindowDescription& window) {
                                   calls.push_back("window image " + std::to_string(window.number));
                                   return windowListImage;
                               }},
            };
        };
        p.createJpegDestination =
            [this](const std::filesystem::path& output) -> std::optional<JpegDestination> {
            calls.push_back("destination " + output.string());
            if (!destinationOpens) {
                return std::nullopt;
            }
            return JpegDestination{
                .addImage =
                    [this](ImageRef image, double quality) {
                        calls.push_back("add " + std::to_string(image->width) + "x" +
                                        std::to_string(image->height));
                        addedImage = std::move(image);
                        addedQuality = quality;
                    },
                .finalize =
                    [this] {
                        calls.push_back("finalize");
                        return finalizeSucceeds && unreadableFinalizes == 0;
                    },
                .imageWasUnreadable =
                    [this] {
                        calls.push_back("unreadable?");
                        return unreadableFinalizes > 0 && unreadableFinalizes-- > 0;
                    },
            };
        };
        p.temporaryDirectory = [] { return std::filesystem::path("/fake-tmp"); };
        p.runProcess = [this](const std::string& executable,
                              const std::vector<std::string>& arguments) {
            std::string call = "tool " + executable;
            for (const auto& argument : arguments) {
                call += " " + argument;
            }
            calls.push_back(call);
            return toolExitStatus;
        };
        p.decodeImageFile = [this](const std::filesystem::path& file) {
            calls.push_back("decode " + file.string());
            return toolImage;
        };
        p.removeFile = [this](const std::filesystem::path& file) {
            calls.push_back("remove " + file.string());
        };
        p.newUUIDString = [] { return std::string("11111111-2222-4333-8444-555555555555"); };
        return p;
    }
};

}  // namespace tarnwick::testing
