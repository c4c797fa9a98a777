#include "TarnwickScreenCapture/backends/portal/PortalScreenshot.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/backends/dbus/SessionBus.hpp"
#include "TarnwickScreenCapture/backends/portal/PortalFile.hpp"
#include "TarnwickScreenCapture/image/PngImage.hpp"
#include "TarnwickScreenCapture/image/PngLibrary.hpp"
#include "TarnwickScreenCapture/posix/Environment.hpp"

namespace tarnwick {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr const char* kScreenshotInterface = "org.freedesktop.portal.Screenshot";
constexpr const char* kPermissionStoreName = "org.freedesktop.impl.portal.PermissionStore";
constexpr const char* kPermissionStorePath = "/org/freedesktop/impl/portal/PermissionStore";
constexpr const char* kPermissionStoreInterface = "org.freedesktop.impl.portal.PermissionStore";
constexpr std::string_view kNotFound = "org.freedesktop.portal.Error.NotFound";
constexpr std::size_t kMaximumPngBytes = std::size_t{512} << 20;

struct Response {
    std::string sender;
    std::uint32_t code = 2;
    std::optional<std::string> uri;
};

struct Answer {
    std::string portal;  // the unique name that took the call; only it may answer
    // Every Response on the request's path, in order: a refusal can come before the call's own
    // reply, while the portal's name is not known yet.
    std::vector<Response> responses;

    const Response* fromPortal() const {
        for (const auto& response : responses) {
            if (!portal.empty() && response.sender == portal) {
                return &response;
            }
        }
        return nullptr;
    }
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
    std::uint32_t code = 2;
    if (sender == nullptr || answer.responses.size() >= 16 ||
        sdBus().read(message, "u", &code) < 0) {
        return 0;
    }
    answer.responses.push_back({.sender = sender, .code = code, .uri = uriOfResults(message)});
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

}  // namespace

OrUnavailable<std::string> portalScreenshotUri(std::chrono::milliseconds deadlineAfter) {
    // One deadline for the whole exchange, not for silence: the portal may be showing the user
    // a dialog.
    const auto deadline = Deadline::after(deadlineAfter);
    auto opened = openSessionBus(deadline);
    if (auto* unavailable = std::get_if<Unavailable>(&opened)) {
        return std::move(*unavailable);
    }
    const Bus bus = std::get<Bus>(std::move(opened));
    const char* uniqueName = nullptr;
    if (sdBus().getUniqueName(bus.get(), &uniqueName) < 0) {
        return Unavailable{"the session bus gave this connection no name"};
    }
    const std::string token = newHandleToken();
    const std::string expectedHandle = requestPath(uniqueName, token);
    const Unavailable outOfMemory{"out of memory"};

    // The answer goes to this connection alone, and may come before the call's own reply:
    // listen first.
    Answer answer;
    sd_bus_slot* slot = nullptr;
    if (sdBus().matchSignal(bus.get(), &slot, nullptr, expectedHandle.c_str(), kRequestInterface,
                            "Response", onResponse, &answer) < 0) {
        return outOfMemory;
    }
    Slot expectedSlot(slot);

    const Message call =
        newMethodCall(bus.get(), kPortalName, kPortalPath, kScreenshotInterface, "Screenshot");
    if (!call || sdBus().append(call.get(), "sa{sv}", "", 2, "handle_token", "s", token.c_str(),
                                "interactive", "b", 0) < 0) {
        return outOfMemory;
    }
    const auto outcome = callWithin(bus.get(), call.get(), deadline);
    if (outcome.kind != CallOutcome::Kind::kReplied) {
        return Unavailable{"the desktop portal's Screenshot call: " + outcome.describe()};
    }
    const char* handle = nullptr;
    const char* portal = sdBus().messageSender(outcome.reply.get());
    if (sdBus().read(outcome.reply.get(), "o", &handle) < 0 || portal == nullptr) {
        return Unavailable{"the desktop portal answered with no request"};
    }
    answer.portal = portal;
    const std::string handlePath = handle;
    Slot otherSlot;
    if (handlePath != expectedHandle) {
        // Portals older than handle tokens choose the path themselves.
        if (sdBus().matchSignal(bus.get(), &slot, nullptr, handlePath.c_str(), kRequestInterface,
                                "Response", onResponse, &answer) < 0) {
            return outOfMemory;
        }
        otherSlot.reset(slot);
    }

    if (!processUntil(bus.get(), deadline, [&] { return answer.fromPortal() != nullptr; })) {
        // Closing the request takes down a dialog the portal may still show.
        if (sdBus().callMethodAsync(bus.get(), nullptr, kPortalName, handlePath.c_str(),
                                    kRequestInterface, "Close", nullptr, nullptr, "") >= 0) {
            sdBus().flush(bus.get());
        }
        return Unavailable{deadline.passed()
                               ? "the desktop portal gave no screenshot within " +
                                     secondsText(deadlineAfter)
                               : std::string("the connection to the session bus broke")};
    }
    const Response& response = *answer.fromPortal();
    if (response.code == 1) {
        return Unavailable{"the desktop portal refused the screenshot (the user cancelled it)",
                           true};
    }
    if (response.code == 2) {
        // GNOME's answer where the permission is missing or denied, and a back end's where it
        // cannot take the screenshot at all: no dialog is waiting, so it ends now.
        return Unavailable{
            "the desktop portal refused the screenshot (response 2: denied, or "
            "its back end could not take it)",
            true};
    }
    if (response.code != 0) {
        return Unavailable{"the desktop portal ended the request without a screenshot (response " +
                           std::to_string(response.code) + ")"};
    }
    if (!response.uri) {
        return Unavailable{"the desktop portal's answer names no file"};
    }
    return *response.uri;
}

OrUnavailable<bool> portalOnSessionBus() {
    const auto deadline = Deadline::after(std::chrono::seconds(5));
    auto opened = openSessionBus(deadline);
    if (auto* unavailable = std::get_if<Unavailable>(&opened)) {
        return std::move(*unavailable);
    }
    sd_bus* bus = std::get<Bus>(opened).get();
    return nameOwned(bus, kPortalName, deadline) || nameActivatable(bus, kPortalName, deadline);
}

OrUnavailable<ScreenshotPermission> portalScreenshotPermission() {
    const auto deadline = Deadline::after(std::chrono::seconds(5));
    auto opened = openSessionBus(deadline);
    if (auto* unavailable = std::get_if<Unavailable>(&opened)) {
        return std::move(*unavailable);
    }
    sd_bus* bus = std::get<Bus>(opened).get();
    const Message call = newMethodCall(bus, kPermissionStoreName, kPermissionStorePath,
                                       kPermissionStoreInterface, "Lookup");
    if (!call || sdBus().append(call.get(), "ss", "screenshot", "screenshot") < 0) {
        return Unavailable{"out of memory"};
    }
    const auto outcome = callWithin(bus, call.get(), deadline);
    if (outcome.kind == CallOutcome::Kind::kError && outcome.errorName == kNotFound) {
        return ScreenshotPermission::kMissing;  // nothing was ever stored
    }
    if (outcome.kind != CallOutcome::Kind::kReplied) {
        return Unavailable{"the portal's permission store: " + outcome.describe()};
    }
    // a{sas}: app id to its values; "" is every program outside a sandbox.
    sd_bus_message* reply = outcome.reply.get();
    const Unavailable unreadable{"the portal's permission store answered what cannot be read"};
    if (sdBus().enterContainer(reply, SD_BUS_TYPE_ARRAY, "{sas}") <= 0) {
        return unreadable;
    }
    auto found = ScreenshotPermission::kMissing;
    for (int entered;
         (entered = sdBus().enterContainer(reply, SD_BUS_TYPE_DICT_ENTRY, "sas")) > 0;) {
        const char* app = nullptr;
        if (sdBus().read(reply, "s", &app) < 0 ||
            sdBus().enterContainer(reply, SD_BUS_TYPE_ARRAY, "s") <= 0) {
            return unreadable;
        }
        const bool unsandboxed = std::strlen(app) == 0;
        for (const char* value = nullptr; sdBus().read(reply, "s", &value) > 0;) {
            if (unsandboxed) {
                found = std::strcmp(value, "yes") == 0 ? ScreenshotPermission::kGranted
                                                       : ScreenshotPermission::kDenied;
            }
        }
        if (sdBus().exitContainer(reply) < 0 || sdBus().exitContainer(reply) < 0) {
            return unreadable;
        }
    }
    return found;
}

OrUnavailable<SharedImage> portalDesktopImage() {
    auto uri = portalScreenshotUri(kPortalDeadline);
    if (auto* unavailable = std::get_if<Unavailable>(&uri)) {
        return std::move(*unavailable);
    }
    const std::string& named = std::get<std::string>(uri);
    const auto path = pathOfFileUri(named);
    if (!path) {
        return Unavailable{"the desktop portal's answer is no local file: " + named};
    }
    // Without the decoder the file is not even opened: it stays for the user, and the cause
    // names the package.
    if (pngLibrary() == nullptr) {
        return Unavailable{"the desktop portal wrote " + path->native() + ", but " +
                           missingLibraryText(pngRuntimeLibrary())};
    }
    SharedImage image;
    const auto taking = takeOwnFile(*path, kMaximumPngBytes, [&](std::string_view bytes) {
        image = imageFromPng(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        return image != nullptr;
    });
    switch (taking) {
        case FileTaking::kNotOurs:
            return Unavailable{"the desktop portal's file " + path->native() +
                               " cannot be read as this user's own"};
        case FileTaking::kNotUsed:
            return Unavailable{"the desktop portal's file " + path->native() +
                               " is no PNG this program can read; it is left there"};
        case FileTaking::kTaken:
            break;
    }
    return image;
}

WindowSystem portalWindowSystem(WindowSystem windows) {
    windows.description = placeText("desktop portal", variables::kWaylandDisplay) +
                          ", windows from " + windows.description;
    windows.desktopImage = portalDesktopImage;
    return windows;
}

}  // namespace tarnwick
