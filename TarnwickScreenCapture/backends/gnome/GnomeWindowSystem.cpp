#include "TarnwickScreenCapture/backends/gnome/GnomeWindowSystem.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "TarnwickScreenCapture/backends/dbus/SessionBus.hpp"
#include "TarnwickScreenCapture/backends/gnome/GnomeListing.hpp"
#include "TarnwickScreenCapture/backends/gnome/GnomePixels.hpp"
#include "TarnwickScreenCapture/posix/Environment.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"

namespace tarnwick {
namespace {

constexpr const char* kServiceName = "invalid.tarnwick.ScreenCapture";
constexpr const char* kServicePath = "/invalid/tarnwick/ScreenCapture";
constexpr const char* kServiceInterface = "invalid.tarnwick.ScreenCapture";
constexpr const char* kShellName = "org.gnome.Shell";
constexpr const char* kExtensionsPath = "/org/gnome/Shell";
constexpr const char* kExtensionsInterface = "org.gnome.Shell.Extensions";
constexpr std::chrono::seconds kSilenceLimit{5};
// Fewer wake-ups than the default 64 KiB; unprivileged processes may have up to 1 MiB.
constexpr int kPipeSize = 1 << 20;

struct GnomeState {
    SessionBusOnDemand bus{kSilenceLimit};
    std::map<WindowId, std::string> shellIds;
};

std::string callFailure(const std::string& call, const CallOutcome& outcome) {
    if (outcome.kind == CallOutcome::Kind::kSilent) {
        return "the GNOME Shell extension gave no answer to " + call + " within " +
               secondsText(kSilenceLimit);
    }
    return "the GNOME Shell extension's " + call + ": " + outcome.describe();
}

OrUnavailable<std::vector<WindowDescription>> listWindows(GnomeState& state) {
    sd_bus* bus = state.bus.get();
    if (bus == nullptr) {
        return Unavailable{state.bus.whyNot()};
    }
    const Message call =
        newMethodCall(bus, kServiceName, kServicePath, kServiceInterface, "ListWindows");
    if (!call) {
        return Unavailable{"a D-Bus call cannot be made"};
    }
    const auto outcome = callWithin(bus, call.get(), Deadline::after(kSilenceLimit));
    if (outcome.kind != CallOutcome::Kind::kReplied) {
        return Unavailable{callFailure("ListWindows", outcome)};
    }
    const char* answer = nullptr;
    if (sdBus().read(outcome.reply.get(), "s", &answer) < 0 || answer == nullptr) {
        return Unavailable{"the GNOME Shell extension answered ListWindows with no text"};
    }
    auto listing = readGnomeListing(answer);
    if (auto* unavailable = std::get_if<Unavailable>(&listing)) {
        return std::move(*unavailable);
    }
    std::vector<WindowDescription> descriptions;
    state.shellIds.clear();
    for (auto& window : std::get<std::vector<GnomeWindow>>(listing)) {
        state.shellIds.emplace(window.description.id, std::move(window.shellId));
        descriptions.push_back(std::move(window.description));
    }
    return descriptions;
}

// Reads exactly `expected` bytes, each within the silence limit of the one before; the shell
// may keep its end open a while after the last, so the end of the pipe is not waited for.
std::optional<std::string> readExactly(int fd, std::uint8_t* into, std::size_t expected) {
    auto deadline = Deadline::ofInactivity(kSilenceLimit);
    std::size_t have = 0;
    while (have < expected) {
        const ssize_t got = ::read(fd, into + have, expected - have);
        if (got > 0) {
            have += static_cast<std::size_t>(got);
            deadline.progressed();
            continue;
        }
        if (got == 0) {
            return "the GNOME Shell extension's pixels ended after " + std::to_string(have) +
                   " of " + std::to_string(expected) + " bytes";
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return std::string("the pixels cannot be read from the pipe: ") + std::strerror(errno);
        }
        if (waitForDescriptor(fd, POLLIN, deadline) == Readiness::kTimedOut) {
            return "the GNOME Shell extension sent " + std::to_string(have) + " of " +
                   std::to_string(expected) + " bytes, then nothing for " +
                   secondsText(kSilenceLimit);
        }
    }
    return std::nullopt;
}

// One picture through a pipe: the window with that shell id, or the desktop.
OrUnavailable<SharedImage> pixels(GnomeState& state, const std::string* shellId) {
    sd_bus* bus = state.bus.get();
    if (bus == nullptr) {
        return Unavailable{state.bus.whyNot()};
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return Unavailable{std::string("no pipe for the pixels: ") + std::strerror(errno)};
    }
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, kPipeSize);
    const char* method = shellId != nullptr ? "WindowPixels" : "DesktopPixels";
    Message call = newMethodCall(bus, kServiceName, kServicePath, kServiceInterface, method);
    const bool made =
        call && (shellId == nullptr || sdBus().append(call.get(), "s", shellId->c_str()) >= 0) &&
        sdBus().append(call.get(), "h", writeEnd.get()) >= 0;
    // The message holds a copy of the write end; once it is sent, the shell's must be the only.
    writeEnd.reset();
    if (!made) {
        return Unavailable{"a D-Bus call cannot be made"};
    }
    const auto outcome = callWithin(bus, call.get(), Deadline::after(kSilenceLimit));
    call.reset();
    if (outcome.kind != CallOutcome::Kind::kReplied) {
        const bool gone =
            outcome.errorName == std::string(kServiceInterface) + ".Error.NoSuchWindow";
        return Unavailable{gone ? "the window is gone: " + outcome.describe()
                                : callFailure(method, outcome)};
    }
    GnomePixels described;
    const char* format = nullptr;
    if (sdBus().read(outcome.reply.get(), "uuust", &described.width, &described.height,
                     &described.stride, &format, &described.bytes) < 0 ||
        format == nullptr) {
        return Unavailable{"the GNOME Shell extension's answer to " + std::string(method) +
                           " cannot be read"};
    }
    described.format = format;
    if (auto trouble = troubleWithGnomePixels(described)) {
        return Unavailable{std::move(*trouble)};
    }
    std::vector<std::uint8_t> bytes(gnomePixelsBufferSize(described));
    if (auto trouble = readExactly(readEnd.get(), bytes.data(), described.bytes)) {
        return Unavailable{std::move(*trouble)};
    }
    return imageOfGnomePixels(described, bytes);
}

std::optional<std::string> installedFolder() {
    std::vector<std::filesystem::path> folders;
    if (const auto data = environmentValue(variables::kDataHome)) {
        folders.emplace_back(*data);
    } else if (const auto home = environmentValue(variables::kHome)) {
        folders.push_back(std::filesystem::path(*home) / ".local/share");
    }
    std::string dataDirs =
        environmentValue(variables::kDataDirs).value_or("/usr/local/share:/usr/share");
    for (std::size_t start = 0; start <= dataDirs.size();) {
        const std::size_t end = std::min(dataDirs.find(':', start), dataDirs.size());
        if (end > start) {
            folders.emplace_back(dataDirs.substr(start, end - start));
        }
        start = end + 1;
    }
    for (const auto& folder : folders) {
        const auto candidate = folder / "gnome-shell/extensions" / kGnomeExtensionUuid;
        std::error_code error;
        if (std::filesystem::exists(candidate / "metadata.json", error)) {
            return candidate.native();
        }
    }
    return std::nullopt;
}

// GetExtensionInfo's a{sv}: its "state" (1 running; 2 and 6 not enabled; 3 failed; 4 made for
// other versions of the shell) and
// "error"; an empty answer when the shell does not know the extension.
void readExtensionInfo(sd_bus_message* reply, GnomeExtensionStatus& status) {
    if (sdBus().enterContainer(reply, SD_BUS_TYPE_ARRAY, "{sv}") <= 0) {
        return;
    }
    while (sdBus().enterContainer(reply, SD_BUS_TYPE_DICT_ENTRY, "sv") > 0) {
        const char* key = nullptr;
        char type = 0;
        const char* contents = nullptr;
        if (sdBus().read(reply, "s", &key) < 0 || sdBus().peekType(reply, &type, &contents) < 0 ||
            contents == nullptr) {
            return;
        }
        const std::string_view name(key);
        const std::string_view kind(contents);
        int read = 0;
        if (name == "state" && kind == "d") {
            double state = 0;
            read = sdBus().read(reply, "v", "d", &state);
            status.knownToShell = true;
            status.enabled = state == 1;
            status.outOfDate = state == 4;
        } else if (name == "error" && kind == "s") {
            const char* error = nullptr;
            read = sdBus().read(reply, "v", "s", &error);
            status.shellError = error != nullptr ? error : "";
        } else {
            read = sdBus().skip(reply, "v");
        }
        if (read < 0 || sdBus().exitContainer(reply) < 0) {
            return;
        }
    }
}

}  // namespace

bool gnomeExtensionOnSessionBus() {
    const auto deadline = Deadline::after(kSilenceLimit);
    const auto opened = openSessionBus(deadline);
    const auto* bus = std::get_if<Bus>(&opened);
    return bus != nullptr && nameOwned(bus->get(), kServiceName, deadline);
}

GnomeExtensionStatus gnomeExtensionStatus() {
    GnomeExtensionStatus status;
    status.installedAt = installedFolder();
    const auto deadline = Deadline::after(kSilenceLimit);
    const auto opened = openSessionBus(deadline);
    const auto* bus = std::get_if<Bus>(&opened);
    if (bus == nullptr) {
        return status;
    }
    status.shellOnBus = nameOwned(bus->get(), kShellName, deadline);
    status.answering = nameOwned(bus->get(), kServiceName, deadline);
    if (!status.shellOnBus) {
        return status;
    }
    const Message call = newMethodCall(bus->get(), kShellName, kExtensionsPath,
                                       kExtensionsInterface, "GetExtensionInfo");
    if (call && sdBus().append(call.get(), "s", kGnomeExtensionUuid) >= 0) {
        const auto outcome = callWithin(bus->get(), call.get(), deadline);
        if (outcome.kind == CallOutcome::Kind::kReplied) {
            readExtensionInfo(outcome.reply.get(), status);
        }
    }
    return status;
}

WindowSystem gnomeWindowSystem() {
    auto state = std::make_shared<GnomeState>();
    return WindowSystem{
        .description = placeText("GNOME Shell's extension", variables::kWaylandDisplay),
        .windows = [state] { return listWindows(*state); },
        .desktopImage = [state] { return pixels(*state, nullptr); },
        .windowImage = [state](const WindowDescription& window) -> OrUnavailable<SharedImage> {
            const auto found = state->shellIds.find(window.id);
            if (found == state->shellIds.end()) {
                return Unavailable{"the window is not in the GNOME Shell extension's listing"};
            }
            return pixels(*state, &found->second);
        },
    };
}

}  // namespace tarnwick
