#include "TarnwickScreenCapture/backends/portal/PortalScreenshot.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "TarnwickScreenCapture/backends/dbus/SessionBus.hpp"
#include "TarnwickScreenCapture/backends/portal/PngImage.hpp"
#include "TarnwickScreenCapture/backends/portal/PortalFile.hpp"

namespace tarnwick {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr std::size_t kMaximumPngBytes = std::size_t{512} << 20;

struct Answer {
    std::string portal;  // the unique name that took the call; only it may answer
    bool received = false;
    std::uint32_t response = 2;
    std::optional<std::string> uri;
};

// The results of a Response: a{sv}, of which only a string "uri" matters.
std::optional<std::string> uriOfResults(sd_bus_message* message) {
    std::optional<std::string> uri;
    if (sdBus().enterContainer(message, SD_BUS_TYPE_ARRAY, "{sv}") <= 0) {
        return std::nullopt;
    }
    while (sdBus().enterContainer(message, SD_BUS_TYPE_DICT_ENTRY, "sv") > 0) {
        const char* key = nullptr;
        if (sdBus().read(message, "s", &key) < 0) {
            return std::nullopt;
        }
        const char* uriText = nullptr;
        if (std::strcmp(key, "uri") == 0 &&
            sdBus().enterContainer(message, SD_BUS_TYPE_VARIANT, "s") > 0) {
            if (sdBus().read(message, "s", &uriText) < 0 || sdBus().exitContainer(message) < 0) {
                return std::nullopt;
            }
            uri = uriText;
        } else if (sdBus().skip(message, "v") < 0) {
            return std::nullopt;
        }
        if (sdBus().exitContainer(message) < 0) {
            return std::nullopt;
        }
    }
    return uri;
}

int onResponse(sd_bus_message* message, void* data, sd_bus_error*) {
    auto& answer = *static_cast<Answer*>(data);
    const char* sender = sdBus().messageSender(message);
    if (answer.received || sender == nullptr || answer.portal != sender) {
        return 0;
    }
    std::uint32_t response = 2;
    if (sdBus().read(message, "u", &response) < 0) {
        return 0;
    }
    answer.received = true;
    answer.response = response;
    answer.uri = uriOfResults(message);
    return 0;
}

// A fresh token per call: the request's object path is made of it and the connection's name.
std::string newHandleToken() {
    static unsigned counter = 0;
    return "tarnwick_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

std::string requestPath(std::string_view uniqueName, const std::string& token) {
    std::string sender(uniqueName.starts_with(':') ? uniqueName.substr(1) : uniqueName);
    std::replace(sender.begin(), sender.end(), '.', '_');
    return "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
}

// What is left of the deadline as an sd-bus timeout, at least a microsecond: sd-bus takes 0 for
// its own default of 25 s.
std::uint64_t busTimeoutLeft(const Deadline& deadline) {
    return std::max<std::uint64_t>(deadline.microsecondsLeft(), 1);
}

}  // namespace

std::optional<std::string> portalScreenshotUri(std::chrono::milliseconds deadlineAfter) {
    // One deadline for the whole exchange, not for silence: the portal may be showing the user
    // a dialog.
    const auto deadline = Deadline::after(deadlineAfter);
    if (sessionBusLibrary() == nullptr) {
        return std::nullopt;
    }
    sd_bus* opened = nullptr;
    if (sdBus().openUser(&opened) < 0) {
        return std::nullopt;
    }
    Bus bus(opened);
    if (sdBus().setMethodCallTimeout(bus.get(), busTimeoutLeft(deadline)) < 0) {
        return std::nullopt;
    }
    // Waiting here rather than inside sd-bus keeps a silent bus daemon within the deadline.
    if (!processUntil(bus.get(), deadline, [&] { return sdBus().isReady(bus.get()) != 0; }) ||
        sdBus().isReady(bus.get()) <= 0) {
        return std::nullopt;
    }
    const char* uniqueName = nullptr;
    if (sdBus().getUniqueName(bus.get(), &uniqueName) < 0) {
        return std::nullopt;
    }
    const std::string token = newHandleToken();
    const std::string expectedHandle = requestPath(uniqueName, token);

    // The answer goes to this connection alone, and may come before the call's own reply:
    // listen first.
    Answer answer;
    sd_bus_slot* slot = nullptr;
    if (sdBus().matchSignal(bus.get(), &slot, nullptr, expectedHandle.c_str(), kRequestInterface,
                            "Response", onResponse, &answer) < 0) {
        return std::nullopt;
    }
    Slot expectedSlot(slot);

    sd_bus_message* created = nullptr;
    if (sdBus().newMethodCall(bus.get(), &created, kPortalName, kPortalPath,
                              "org.freedesktop.portal.Screenshot", "Screenshot") < 0) {
        return std::nullopt;
    }
    Message call(created);
    if (sdBus().append(call.get(), "sa{sv}", "", 2, "handle_token", "s", token.c_str(),
                       "interactive", "b", 0) < 0) {
        return std::nullopt;
    }
    sd_bus_message* received = nullptr;
    if (deadline.passed() ||
        sdBus().call(bus.get(), call.get(), busTimeoutLeft(deadline), nullptr, &received) < 0) {
        return std::nullopt;
    }
    Message reply(received);
    const char* handle = nullptr;
    const char* portal = sdBus().messageSender(reply.get());
    if (sdBus().read(reply.get(), "o", &handle) < 0 || portal == nullptr) {
        return std::nullopt;
    }
    answer.portal = portal;
    const std::string handlePath = handle;
    Slot otherSlot;
    if (handlePath != expectedHandle) {
        // Portals older than handle tokens choose the path themselves.
        if (sdBus().matchSignal(bus.get(), &slot, nullptr, handlePath.c_str(), kRequestInterface,
                                "Response", onResponse, &answer) < 0) {
            return std::nullopt;
        }
        otherSlot.reset(slot);
    }

    if (!processUntil(bus.get(), deadline, [&] { return answer.received; })) {
        // Closing the request takes down a dialog the portal may still show.
        if (sdBus().callMethodAsync(bus.get(), nullptr, kPortalName, handlePath.c_str(),
                                    kRequestInterface, "Close", nullptr, nullptr, "") >= 0) {
            sdBus().flush(bus.get());
        }
        return std::nullopt;
    }
    if (answer.response != 0) {
        return std::nullopt;
    }
    return answer.uri;
}

std::optional<bool> portalOnSessionBus(std::string& why) {
    const auto deadline = Deadline::after(std::chrono::seconds(5));
    const Bus bus = openSessionBus(deadline, why);
    if (!bus) {
        return std::nullopt;
    }
    return nameOwned(bus.get(), kPortalName, deadline) ||
           nameActivatable(bus.get(), kPortalName, deadline);
}

SharedImage portalDesktopImage() {
    const auto uri = portalScreenshotUri(kPortalDeadline);
    if (!uri) {
        return nullptr;
    }
    const auto path = pathOfFileUri(*uri);
    if (!path) {
        return nullptr;
    }
    const auto bytes = takeOwnFile(*path, kMaximumPngBytes);
    if (!bytes) {
        return nullptr;
    }
    return imageFromPng(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()));
}

}  // namespace tarnwick
