#include "TarnwickScreenCapture/backends/kwin/KWinScript.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "TarnwickScreenCapture/backends/dbus/SessionBus.hpp"
#include "TarnwickScreenCapture/backends/kwin/KWinLeftovers.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Files.hpp"
#include "TarnwickScreenCapture/posix/Uuid.hpp"

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
constexpr const char* kIntrospectable = "org.freedesktop.DBus.Introspectable";
constexpr const char* kScriptNamePrefix = "tarnwick-screen-capture-";
constexpr std::chrono::milliseconds kUnloadLimit{2000};
// Loads that find their number taken stay loaded, unrun, until the run ends: each raises the
// next number by one, past the scripts that hold the numbers.
constexpr int kMostLoads = 16;
// A run's script lives a few seconds at most; a folder of an earlier version older than this
// was left by a run that was killed.
constexpr std::chrono::seconds kOldestRun{60};

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

// The script in a sealed memory file that KWin opens through /proc as this process's
// descriptor: nothing is written anywhere, and nothing is left when the process dies.
class ScriptInMemory {
public:
    // Replaces what it held.
    bool write(std::string_view text) {
        FileDescriptor fd(::memfd_create("tarnwick-kwin-script", MFD_CLOEXEC | MFD_ALLOW_SEALING));
        if (!fd || !writeAll(fd.get(), text) ||
            ::fcntl(fd.get(), F_ADD_SEALS,
                    F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) != 0) {
            return false;
        }
        fd_ = std::move(fd);
        return true;
    }

    // The path for KWin, with this process's number as KWin's side of the bus knows it.
    std::string pathFor(std::uint32_t pid) const {
        return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd_.get());
    }

private:
    FileDescriptor fd_;
};

// Whether KWin answered; without waiting for it when it is known to be silent.
bool unloadScript(sd_bus* bus, const std::string& name, bool kwinSilent) {
    const Message call =
        newMethodCall(bus, kKWinName, kScriptingPath, kScriptingInterface, "unloadScript");
    if (!call || sdBus().append(call.get(), "s", name.c_str()) < 0) {
        return false;
    }
    if (kwinSilent) {
        sendWithoutWaiting(bus, call.get());
        return false;
    }
    return callWithin(bus, call.get(), Deadline::after(kUnloadLimit)).kind ==
           CallOutcome::Kind::kReplied;
}

// Unloads each script this run had KWin load, by its name, when it goes, waiting for KWin only
// while KWin answers: a KWin that was stopped takes the unloading up, after the loading, when it
// runs again. The ledger goes once KWin has answered every unloading.
class LoadedScripts {
public:
    LoadedScripts(sd_bus* bus, std::optional<ScriptLedger> ledger)
        : bus_(bus), ledger_(std::move(ledger)) {}
    LoadedScripts(const LoadedScripts&) = delete;
    LoadedScripts& operator=(const LoadedScripts&) = delete;
    ~LoadedScripts() {
        bool answered = !kwinSilent;
        for (auto name = names_.rbegin(); name != names_.rend(); ++name) {
            // One unloading left unanswered: the others are not waited for either.
            answered = unloadScript(bus_, *name, !answered) && answered;
        }
        if (ledger_ && answered) {
            ledger_->remove();
        }
    }

    // Before the loading is asked for, so that a run killed in between leaves it in the ledger.
    bool add(const std::string& name) {
        names_.push_back(name);
        return !ledger_ || ledger_->add(name);
    }
    // KWin answered that another script has the name: not this run's to unload.
    void notOurs() { names_.pop_back(); }

    bool kwinSilent = false;

private:
    sd_bus* bus_;
    std::optional<ScriptLedger> ledger_;
    std::vector<std::string> names_;
};

// A name no other run has had: this program's prefix and 128 random bits.
std::string newRunToken() {
    std::string token;
    for (const char c : newUUIDString()) {
        if (c != '-') {
            token += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return token;
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

// This process's number as the bus daemon, and with it KWin, sees it: another PID namespace
// gives it another one.
std::uint32_t pidOnBus(sd_bus* bus, const char* uniqueName, const Deadline& deadline) {
    const Message call =
        newMethodCall(bus, kBusName, kBusPath, kBusName, "GetConnectionUnixProcessID");
    std::uint32_t pid = 0;
    if (call && sdBus().append(call.get(), "s", uniqueName) >= 0) {
        const auto outcome = callWithin(bus, call.get(), deadline);
        if (outcome.kind == CallOutcome::Kind::kReplied &&
            sdBus().read(outcome.reply.get(), "u", &pid) >= 0 && pid != 0) {
            return pid;
        }
    }
    return static_cast<std::uint32_t>(::getpid());
}

// The numbers KWin's scripts hold on the bus now, on KWin 5 and 6; none when KWin is silent.
std::optional<std::set<int>> scriptNumbersInUse(sd_bus* bus, const Deadline& deadline) {
    std::set<int> numbers;
    for (const auto& [parent, prefix] : {std::pair{"/", ""}, std::pair{kScriptingPath, "Script"}}) {
        const Message call = newMethodCall(bus, kKWinName, parent, kIntrospectable, "Introspect");
        if (!call) {
            return std::nullopt;
        }
        const auto outcome = callWithin(bus, call.get(), deadline);
        const char* xml = nullptr;
        if (outcome.kind == CallOutcome::Kind::kReplied &&
            sdBus().read(outcome.reply.get(), "s", &xml) >= 0 && xml != nullptr) {
            numbers.merge(scriptNumbersIn(xml, prefix));
        } else if (outcome.kind != CallOutcome::Kind::kError) {
            return std::nullopt;
        }
    }
    return numbers;
}

// Held by one run of this user's at a time while it looks which numbers are taken and loads:
// no other run of ours can take the number it saw free in between. A lock on the runtime folder
// itself, which writes nothing.
class LoadingLock {
public:
    static std::optional<LoadingLock> take(const FileDescriptor& folder, const Deadline& deadline) {
        if (!folder) {
            return LoadingLock(-1);
        }
        while (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
            if (deadline.passed()) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return LoadingLock(folder.get());
    }
    LoadingLock(LoadingLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    LoadingLock& operator=(LoadingLock&&) = delete;
    ~LoadingLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
        }
    }

private:
    explicit LoadingLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace

OrUnavailable<std::string> runKWinScript(sd_bus* bus, std::string_view script,
                                         ScriptLedgerUse ledgerUse,
                                         std::chrono::milliseconds silenceLimit) {
    auto deadline = Deadline::ofInactivity(silenceLimit);
    auto owner = nameOwner(bus, kKWinName, deadline);
    if (auto* unavailable = std::get_if<Unavailable>(&owner)) {
        return std::move(*unavailable);
    }
    const char* uniqueName = nullptr;
    if (sdBus().getUniqueName(bus, &uniqueName) < 0) {
        return Unavailable{"the session bus gave this connection no name"};
    }
    // The answer comes to a path only this run's script knows.
    const std::string token = newRunToken();
    const std::string replyPath = std::string(kReplyPath) + "/" + token;
    Delivery delivery{.kwin = std::get<std::string>(owner), .answer = std::nullopt};
    sd_bus_slot* slot = nullptr;
    if (sdBus().addObject(bus, &slot, replyPath.c_str(), onDelivery, &delivery) < 0) {
        return Unavailable{"the object for the script's answer cannot be exported"};
    }
    const Slot exported(slot);
    std::string text = replaced(script, "@REPLY_SERVICE@", uniqueName);
    text = replaced(text, "@REPLY_PATH@", replyPath);
    text = replaced(text, "@REPLY_INTERFACE@", kReplyInterface);
    text = replaced(text, "@REPLY_METHOD@", kReplyMethod);
    const std::uint32_t pid = pidOnBus(bus, uniqueName, deadline);
    ScriptInMemory file;

    const FileDescriptor runtime = privateRuntimeFolder();
    std::optional<ScriptLedger> ledger;
    if (runtime && ledgerUse == ScriptLedgerUse::kKeep) {
        clearLeftovers(
            runtime.get(), [&](const std::string& name) { return unloadScript(bus, name, false); },
            kOldestRun);
        ledger = ScriptLedger::open(runtime.get(), token);
    }
    LoadedScripts loaded(bus, std::move(ledger));

    // KWin numbers a script by how many it has, and a number still held by a script loaded
    // before leaves the new one without an object: running that number would start the other.
    std::int32_t id = -1;
    {
        const auto lock = LoadingLock::take(runtime, deadline);
        if (!lock) {
            return Unavailable{"another run kept loading its KWin script for " +
                               std::to_string(silenceLimit.count() / 1000) + " s"};
        }
        for (int attempt = 0;; ++attempt) {
            if (attempt == kMostLoads) {
                return Unavailable{"KWin gave the listing script only numbers other scripts hold"};
            }
            const auto taken = scriptNumbersInUse(bus, deadline);
            if (!taken) {
                return Unavailable{"KWin did not tell which scripts it has within " +
                                   std::to_string(silenceLimit.count() / 1000) + " s"};
            }
            const std::string name = kScriptNamePrefix + token + "-" + std::to_string(attempt);
            if (!file.write(replaced(text, "@SCRIPT_NAME@", name))) {
                return Unavailable{"the script for KWin cannot be put in a memory file"};
            }
            const std::string path = file.pathFor(pid);
            if (!loaded.add(name)) {
                return Unavailable{"the script's name cannot be noted in XDG_RUNTIME_DIR"};
            }
            const Message load =
                newMethodCall(bus, kKWinName, kScriptingPath, kScriptingInterface, "loadScript");
            if (!load || sdBus().append(load.get(), "ss", path.c_str(), name.c_str()) < 0) {
                return Unavailable{"a D-Bus call cannot be made"};
            }
            const auto loading = callWithin(bus, load.get(), deadline);
            loaded.kwinSilent = loading.kind == CallOutcome::Kind::kSilent;
            if (loading.kind != CallOutcome::Kind::kReplied ||
                sdBus().read(loading.reply.get(), "i", &id) < 0 || id < 0) {
                if (loading.kind == CallOutcome::Kind::kReplied && id < 0) {
                    loaded.notOurs();
                }
                return Unavailable{"KWin did not load the listing script: " +
                                   (loading.kind == CallOutcome::Kind::kReplied
                                        ? "it answered " + std::to_string(id)
                                        : loading.describe())};
            }
            deadline.progressed();
            if (!taken->contains(id)) {
                break;
            }
        }
    }

    // KWin 6 has the script's object under /Scripting, KWin 5 at the root.
    std::string tried;
    bool ran = false;
    for (const std::string& object :
         {"/Scripting/Script" + std::to_string(id), "/" + std::to_string(id)}) {
        const Message run = newMethodCall(bus, kKWinName, object.c_str(), kScriptInterface, "run");
        if (!run) {
            break;
        }
        const auto running = callWithin(bus, run.get(), deadline);
        if (running.kind == CallOutcome::Kind::kReplied) {
            ran = true;
            break;
        }
        tried += (tried.empty() ? "" : "; ") + object + ": " + running.describe();
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
