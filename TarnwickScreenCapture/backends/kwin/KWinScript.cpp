#include "TarnwickScreenCapture/backends/kwin/KWinScript.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "TarnwickScreenCapture/backends/dbus/SessionBus.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"

namespace tarnwick {
namespace {

constexpr const char* kKWinName = "org.kde.KWin";
constexpr const char* kScreenShotName = "org.kde.KWin.ScreenShot2";
constexpr const char* kScriptingPath = "/Scripting";
constexpr const char* kScriptingInterface = "org.kde.kwin.Scripting";
constexpr const char* kScriptInterface = "org.kde.kwin.Script";
constexpr const char* kReplyPath = "/org/tarnwick/ScreenCapture/KWinScript";
constexpr const char* kReplyInterface = "org.tarnwick.ScreenCapture.KWinScript";
constexpr const char* kReplyMethod = "Deliver";
constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr std::chrono::milliseconds kUnloadLimit{2000};

// The script's answer, taken from KWin alone.
struct Delivery {
    std::string kwin;
    std::optional<std::string> answer;
};

int onDelivery(sd_bus_message* message, void* data, sd_bus_error*) {
    if (sdBus().isMethodCall(message, kReplyInterface, kReplyMethod) <= 0) {
        return 0;  // sd-bus answers anything else as unknown
    }
    auto& delivery = *static_cast<Delivery*>(data);
    const char* sender = sdBus().messageSender(message);
    if (sender == nullptr || delivery.kwin != sender) {
        static const sd_bus_error kDenied{SD_BUS_ERROR_ACCESS_DENIED, "only KWin may deliver", 0};
        sdBus().replyMethodError(message, &kDenied);
        return 1;
    }
    const char* text = nullptr;
    if (!delivery.answer && sdBus().read(message, "s", &text) >= 0 && text != nullptr) {
        delivery.answer = text;
    }
    sdBus().replyMethodReturn(message, "");
    return 1;
}

// A folder of this user's alone holding the script for KWin to read, gone with this object.
class PrivateScriptFile {
public:
    static std::optional<PrivateScriptFile> write(std::string_view text) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::vector<std::filesystem::path> places;
        if (runtime != nullptr && runtime[0] == '/') {
            places.emplace_back(runtime);
        }
        places.push_back(temporaryDirectory());
        for (const auto& place : places) {
            std::string folder = (place / "tarnwick-kwin-XXXXXX").string();
            if (::mkdtemp(folder.data()) == nullptr) {
                continue;
            }
            PrivateScriptFile file(folder);
            const FileDescriptor fd(::open(
                file.path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (fd && writeAll(fd.get(), text)) {
                return file;
            }
        }
        return std::nullopt;
    }

    PrivateScriptFile(PrivateScriptFile&& other) noexcept
        : folder_(std::exchange(other.folder_, {})), path_(std::exchange(other.path_, {})) {}
    PrivateScriptFile& operator=(PrivateScriptFile&&) = delete;
    ~PrivateScriptFile() {
        if (!folder_.empty()) {
            removeFile(path_);
            ::rmdir(folder_.c_str());
        }
    }

    const std::string& path() const { return path_; }

private:
    explicit PrivateScriptFile(std::string folder)
        : folder_(std::move(folder)), path_(folder_ + "/list-windows.js") {}

    std::string folder_;
    std::string path_;
};

// Unloads the script by its name when it goes, waiting for KWin only while KWin answers: a KWin
// that was stopped takes the unloading up, after the loading, when it runs again.
class LoadedScript {
public:
    LoadedScript(sd_bus* bus, std::string name) : bus_(bus), name_(std::move(name)) {}
    LoadedScript(const LoadedScript&) = delete;
    LoadedScript& operator=(const LoadedScript&) = delete;
    ~LoadedScript() {
        const Message call =
            newMethodCall(bus_, kKWinName, kScriptingPath, kScriptingInterface, "unloadScript");
        if (!call || sdBus().append(call.get(), "s", name_.c_str()) < 0) {
            return;
        }
        if (kwinSilent) {
            sendWithoutWaiting(bus_, call.get());
        } else {
            callWithin(bus_, call.get(), Deadline::after(kUnloadLimit));
        }
    }

    const std::string& name() const { return name_; }
    bool kwinSilent = false;

private:
    sd_bus* bus_;
    std::string name_;
};

std::string scriptName() {
    static unsigned counter = 0;
    return "tarnwick-screen-capture-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter++);
}

std::string replaced(std::string_view text, std::string_view placeholder, std::string_view value) {
    std::string result;
    std::size_t from = 0;
    for (std::size_t found; (found = text.find(placeholder, from)) != std::string_view::npos;
         from = found + placeholder.size()) {
        result.append(text.substr(from, found - from)).append(value);
    }
    return result.append(text.substr(from));
}

OrUnavailable<std::string> nameOwner(sd_bus* bus, const char* name, const Deadline& deadline) {
    const Message call = newMethodCall(bus, kBusName, kBusPath, kBusName, "GetNameOwner");
    if (!call || sdBus().append(call.get(), "s", name) < 0) {
        return Unavailable{"a D-Bus call cannot be made"};
    }
    const auto outcome = callWithin(bus, call.get(), deadline);
    const char* owner = nullptr;
    if (outcome.kind != CallOutcome::Kind::kReplied ||
        sdBus().read(outcome.reply.get(), "s", &owner) < 0 || owner == nullptr) {
        return Unavailable{std::string("KWin is not on the session bus (") + name + ": " +
                           outcome.describe() + ")"};
    }
    return std::string(owner);
}

}  // namespace

OrUnavailable<std::string> runKWinScript(sd_bus* bus, std::string_view script,
                                         std::chrono::milliseconds silenceLimit) {
    auto deadline = Deadline::ofInactivity(silenceLimit);
    auto owner = nameOwner(bus, kKWinName, deadline);
    if (auto* unavailable = std::get_if<Unavailable>(&owner)) {
        return std::move(*unavailable);
    }
    Delivery delivery{.kwin = std::get<std::string>(owner), .answer = std::nullopt};
    sd_bus_slot* slot = nullptr;
    if (sdBus().addObject(bus, &slot, kReplyPath, onDelivery, &delivery) < 0) {
        return Unavailable{"the object for the script's answer cannot be exported"};
    }
    const Slot exported(slot);
    const char* uniqueName = nullptr;
    if (sdBus().getUniqueName(bus, &uniqueName) < 0) {
        return Unavailable{"the session bus gave this connection no name"};
    }
    std::string text = replaced(script, "@REPLY_SERVICE@", uniqueName);
    text = replaced(text, "@REPLY_PATH@", kReplyPath);
    text = replaced(text, "@REPLY_INTERFACE@", kReplyInterface);
    text = replaced(text, "@REPLY_METHOD@", kReplyMethod);
    const auto file = PrivateScriptFile::write(text);
    if (!file) {
        return Unavailable{"the script for KWin cannot be written to a private folder"};
    }

    LoadedScript loaded(bus, scriptName());
    const Message load =
        newMethodCall(bus, kKWinName, kScriptingPath, kScriptingInterface, "loadScript");
    if (!load ||
        sdBus().append(load.get(), "ss", file->path().c_str(), loaded.name().c_str()) < 0) {
        return Unavailable{"a D-Bus call cannot be made"};
    }
    const auto loading = callWithin(bus, load.get(), deadline);
    loaded.kwinSilent = loading.kind == CallOutcome::Kind::kSilent;
    std::int32_t id = -1;
    if (loading.kind != CallOutcome::Kind::kReplied ||
        sdBus().read(loading.reply.get(), "i", &id) < 0 || id < 0) {
        return Unavailable{"KWin did not load the listing script: " +
                           (loading.kind == CallOutcome::Kind::kReplied
                                ? "it answered " + std::to_string(id)
                                : loading.describe())};
    }
    deadline.progressed();

    // KWin 6 has the script's object under /Scripting, KWin 5 at the root.
    std::string tried;
    bool ran = false;
    for (const std::string& path :
         {"/Scripting/Script" + std::to_string(id), "/" + std::to_string(id)}) {
        const Message run = newMethodCall(bus, kKWinName, path.c_str(), kScriptInterface, "run");
        if (!run) {
            break;
        }
        const auto running = callWithin(bus, run.get(), deadline);
        if (running.kind == CallOutcome::Kind::kReplied) {
            ran = true;
            break;
        }
        tried += (tried.empty() ? "" : "; ") + path + ": " + running.describe();
        if (running.kind != CallOutcome::Kind::kError) {
            loaded.kwinSilent = running.kind == CallOutcome::Kind::kSilent;
            break;
        }
    }
    if (!ran) {
        return Unavailable{"KWin did not run the listing script (" + tried + ")"};
    }
    deadline.progressed();
    if (!processUntil(bus, deadline, [&] { return delivery.answer.has_value(); })) {
        return Unavailable{"KWin's listing script gave no answer within " +
                           std::to_string(silenceLimit.count() / 1000) + " s"};
    }
    return std::move(*delivery.answer);
}

bool kwinOnBus(sd_bus* bus, std::chrono::milliseconds limit) {
    const auto deadline = Deadline::after(limit);
    return nameOwned(bus, kKWinName, deadline) || nameActivatable(bus, kScreenShotName, deadline);
}

}  // namespace tarnwick
