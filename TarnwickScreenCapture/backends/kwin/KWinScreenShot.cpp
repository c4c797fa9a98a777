#include "TarnwickScreenCapture/backends/kwin/KWinScreenShot.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "TarnwickScreenCapture/backends/dbus/SessionBus.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"

namespace tarnwick {
namespace {

constexpr const char* kKWinName = "org.kde.KWin";
constexpr const char* kScreenShotPath = "/org/kde/KWin/ScreenShot2";
constexpr const char* kScreenShotInterface = "org.kde.KWin.ScreenShot2";
constexpr std::string_view kNoAuthorized = "org.kde.KWin.ScreenShot2.Error.NoAuthorized";
constexpr std::string_view kInvalidWindow = "org.kde.KWin.ScreenShot2.Error.InvalidWindow";
constexpr std::string_view kCancelled = "org.kde.KWin.ScreenShot2.Error.Cancelled";
constexpr const char* kCompositorPath = "/Compositor";
constexpr const char* kCompositingInterface = "org.kde.kwin.Compositing";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
// Fewer wake-ups than the default 64 KiB; unprivileged processes may have up to 1 MiB.
constexpr int kPipeSize = 1 << 20;
// KWin takes a window's picture on its next frame, and a full-screen window that does not
// change gets none: after this long, a picture of the workspace has KWin draw one.
constexpr std::chrono::milliseconds kFrameWait{300};
constexpr std::chrono::milliseconds kDrainLimit{2000};

KWinShotAttempt failure(std::string reason, KWinShotFailure kind = KWinShotFailure::kOther) {
    return KWinShotAttempt{.taken = Unavailable{.reason = std::move(reason),
                                                .refused = kind == KWinShotFailure::kRefused},
                           .failure = kind};
}

// What the bus or Qt answers for an object, interface or method that is not there.
bool noSuchService(std::string_view errorName) {
    return errorName == "org.freedesktop.DBus.Error.UnknownObject" ||
           errorName == "org.freedesktop.DBus.Error.UnknownInterface" ||
           errorName == "org.freedesktop.DBus.Error.UnknownMethod";
}

bool appendOptions(sd_bus_message* call, std::initializer_list<std::pair<const char*, int>> flags) {
    if (sdBus().openContainer(call, SD_BUS_TYPE_ARRAY, "{sv}") < 0) {
        return false;
    }
    for (const auto& [key, value] : flags) {
        if (sdBus().openContainer(call, SD_BUS_TYPE_DICT_ENTRY, "sv") < 0 ||
            sdBus().append(call, "sv", key, "b", value) < 0 || sdBus().closeContainer(call) < 0) {
            return false;
        }
    }
    return sdBus().closeContainer(call) >= 0;
}

// The reply's a{sv}; keys it does not have keep their defaults, others are passed over.
bool readDescription(sd_bus_message* reply, KWinImageDescription& description) {
    if (sdBus().enterContainer(reply, SD_BUS_TYPE_ARRAY, "{sv}") <= 0) {
        return false;
    }
    for (int entered;
         (entered = sdBus().enterContainer(reply, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0;) {
        const char* key = nullptr;
        char type = 0;
        const char* contents = nullptr;
        if (sdBus().read(reply, "s", &key) < 0 || sdBus().peekType(reply, &type, &contents) < 0 ||
            contents == nullptr) {
            return false;
        }
        const std::string_view name(key);
        const std::string_view kind(contents);
        std::uint32_t* number = name == "width"    ? &description.width
                                : name == "height" ? &description.height
                                : name == "stride" ? &description.stride
                                : name == "format" ? &description.format
                                                   : nullptr;
        int read = 0;
        if (number != nullptr && kind == "u") {
            read = sdBus().read(reply, "v", "u", number);
        } else if (name == "scale" && kind == "d") {
            read = sdBus().read(reply, "v", "d", &description.scale);
        } else if (name == "type" && kind == "s") {
            const char* text = nullptr;
            read = sdBus().read(reply, "v", "s", &text);
            description.type = text != nullptr ? text : "";
        } else {
            read = sdBus().skip(reply, "v");
        }
        if (read < 0 || sdBus().exitContainer(reply) < 0) {
            return false;
        }
    }
    return sdBus().exitContainer(reply) >= 0;
}

// Reads exactly `expected` bytes and then the end of the pipe, each byte within `deadline` of
// the one before.
std::optional<std::string> readPixels(int fd, std::uint8_t* pixels, std::size_t expected,
                                      std::chrono::milliseconds silenceLimit) {
    auto deadline = Deadline::ofInactivity(silenceLimit);
    std::size_t have = 0;
    std::uint8_t beyond[4096];
    for (;;) {
        const bool whole = have == expected;
        const ssize_t got =
            whole ? ::read(fd, beyond, sizeof beyond) : ::read(fd, pixels + have, expected - have);
        if (got > 0) {
            if (whole) {
                return "KWin sent more than the " + std::to_string(expected) +
                       " bytes it described";
            }
            have += static_cast<std::size_t>(got);
            deadline.progressed();
            continue;
        }
        if (got == 0) {
            if (whole) {
                return std::nullopt;
            }
            return "KWin's image ended after " + std::to_string(have) + " of " +
                   std::to_string(expected) + " bytes";
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return std::string("the image cannot be read from KWin's pipe: ") +
                   std::strerror(errno);
        }
        switch (waitForDescriptor(fd, POLLIN, deadline)) {
            case Readiness::kReady:
                break;
            case Readiness::kTimedOut:
                return "KWin sent " + std::to_string(have) + " of " + std::to_string(expected) +
                       " bytes, then nothing for " + std::to_string(silenceLimit.count() / 1000) +
                       " s";
            case Readiness::kFailed:
                return "the image cannot be read from KWin's pipe";
        }
    }
}

// A pipe for KWin's pixels; the write end blocks, for KWin writes without waiting for a reader.
bool pixelPipe(FileDescriptor& readEnd, FileDescriptor& writeEnd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    ::fcntl(readEnd.get(), F_SETPIPE_SZ, kPipeSize);
    ::fcntl(writeEnd.get(), F_SETFL, 0);
    return true;
}

// A picture of the workspace asked for only to make KWin draw a frame; its pixels are read and
// thrown away, so that KWin never writes into a pipe nobody reads.
class FrameRequest {
public:
    void send(sd_bus* bus) {
        FileDescriptor writeEnd;
        Message call = newMethodCall(bus, kKWinName, kScreenShotPath, kScreenShotInterface,
                                     "CaptureWorkspace");
        if (!call || !pixelPipe(readEnd_, writeEnd) ||
            !appendOptions(call.get(), {{"include-cursor", 0}, {"native-resolution", 0}}) ||
            sdBus().append(call.get(), "h", writeEnd.get()) < 0) {
            readEnd_.reset();
            return;
        }
        writeEnd.reset();
        sendWithoutWaiting(bus, call.get());
    }
    FrameRequest() = default;
    FrameRequest(const FrameRequest&) = delete;
    FrameRequest& operator=(const FrameRequest&) = delete;
    ~FrameRequest() {
        if (!readEnd_) {
            return;
        }
        const auto deadline = Deadline::after(kDrainLimit);
        std::uint8_t discarded[65536];
        for (;;) {
            const ssize_t got = ::read(readEnd_.get(), discarded, sizeof discarded);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR) ||
                (got < 0 && errno == EAGAIN &&
                 waitForDescriptor(readEnd_.get(), POLLIN, deadline) != Readiness::kReady)) {
                return;
            }
        }
    }

private:
    FileDescriptor readEnd_;
};

// The cause KWin tells of a missing or cancelling service, else the error as it came.
std::string causeOf(sd_bus* bus, const Deadline& deadline, const CallOutcome& outcome) {
    const auto type = kwinCompositingType(bus, deadline);
    // KWin names its OpenGL compositing "gl2" or "gles"; "qpainter" and "none" are without.
    if (!type || type->starts_with("gl")) {
        return " (" + outcome.describe() + ")";
    }
    return ": it composites without OpenGL (compositing type \"" + *type + "\")";
}

}  // namespace

std::optional<std::string> kwinCompositingType(sd_bus* bus, const Deadline& deadline) {
    const Message call = newMethodCall(bus, kKWinName, kCompositorPath, kProperties, "Get");
    if (!call || sdBus().append(call.get(), "ss", kCompositingInterface, "compositingType") < 0) {
        return std::nullopt;
    }
    const auto outcome = callWithin(bus, call.get(), deadline);
    const char* type = nullptr;
    if (outcome.kind != CallOutcome::Kind::kReplied ||
        sdBus().read(outcome.reply.get(), "v", "s", &type) < 0 || type == nullptr) {
        return std::nullopt;
    }
    return std::string(type);
}

KWinShotAttempt kwinScreenShot(sd_bus* bus, const std::optional<std::string>& windowUuid,
                               std::chrono::milliseconds silenceLimit) {
    auto deadline = Deadline::ofInactivity(silenceLimit);
    FileDescriptor readEnd;
    FileDescriptor writeEnd;
    if (!pixelPipe(readEnd, writeEnd)) {
        return failure(std::string("no pipe for KWin's pixels: ") + std::strerror(errno));
    }

    Message call = newMethodCall(bus, kKWinName, kScreenShotPath, kScreenShotInterface,
                                 windowUuid ? "CaptureWindow" : "CaptureWorkspace");
    const bool made =
        call && (!windowUuid || sdBus().append(call.get(), "s", windowUuid->c_str()) >= 0) &&
        (windowUuid
             ? appendOptions(
                   call.get(),
                   {{"include-decoration", 0}, {"include-cursor", 0}, {"native-resolution", 1}})
             : appendOptions(call.get(), {{"include-cursor", 0}, {"native-resolution", 1}})) &&
        sdBus().append(call.get(), "h", writeEnd.get()) >= 0;
    // The message holds a copy of the write end; once it is sent, KWin's must be the only ones.
    writeEnd.reset();
    if (!made) {
        return failure("a D-Bus call cannot be made");
    }
    FrameRequest frame;
    const auto outcome =
        windowUuid ? callWithin(bus, call.get(), deadline, kFrameWait, [&] { frame.send(bus); })
                   : callWithin(bus, call.get(), deadline);
    call.reset();
    switch (outcome.kind) {
        case CallOutcome::Kind::kReplied:
            break;
        case CallOutcome::Kind::kError:
            if (outcome.errorName == kNoAuthorized) {
                return failure("KWin refused the screenshot: " + outcome.errorMessage,
                               KWinShotFailure::kRefused);
            }
            if (outcome.errorName == kInvalidWindow) {
                return failure("the window is gone: " + outcome.describe());
            }
            if (noSuchService(outcome.errorName)) {
                return failure("KWin has no screenshot service" + causeOf(bus, deadline, outcome),
                               KWinShotFailure::kNoService);
            }
            if (outcome.errorName == kCancelled) {
                return failure("KWin's screenshot service cancelled the capture" +
                                   causeOf(bus, deadline, outcome),
                               KWinShotFailure::kCancelled);
            }
            return failure("KWin's screenshot service answered " + outcome.describe());
        case CallOutcome::Kind::kSilent:
            return failure("KWin's screenshot service gave no answer within " +
                           std::to_string(silenceLimit.count() / 1000) + " s");
        case CallOutcome::Kind::kDisconnected:
            return failure(outcome.describe());
    }

    KWinShot shot;
    if (!readDescription(outcome.reply.get(), shot.description)) {
        return failure("KWin's screenshot service answered with no readable description");
    }
    if (auto trouble = troubleWithImage(shot.description)) {
        return failure(std::move(*trouble));
    }
    const std::size_t expected =
        std::size_t{shot.description.stride} * std::size_t{shot.description.height};
    shot.pixels = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[expected]);
    if (auto trouble = readPixels(readEnd.get(), shot.pixels.get(), expected, silenceLimit)) {
        return failure(std::move(*trouble));
    }
    return KWinShotAttempt{.taken = std::move(shot)};
}

}  // namespace tarnwick
