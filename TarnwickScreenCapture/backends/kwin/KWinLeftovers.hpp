#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"

namespace tarnwick {

// The numbers of the scripts KWin has on the bus, read from the introspection of the object they
// lie under: its child nodes named `prefix` and a number ("/" and "" on KWin 5, "/Scripting" and
// "Script" on KWin 6).
std::set<int> scriptNumbersIn(std::string_view introspection, std::string_view prefix);

// XDG_RUNTIME_DIR, open, when it is a folder of this user's; none otherwise.
FileDescriptor privateRuntimeFolder();

// A file in the runtime folder naming each script one run asks KWin to load, locked (flock) for
// as long as the run lives: a later run finds the ledger of a run that was killed before it
// unloaded its scripts by the lock it can take, and unloads them.
class ScriptLedger {
public:
    // A new ledger for the run with this token (letters and digits) in `folder`.
    static std::optional<ScriptLedger> open(int folder, const std::string& token);

    ScriptLedger(ScriptLedger&&) noexcept = default;
    ScriptLedger& operator=(ScriptLedger&&) noexcept = default;

    // Before KWin is asked to load it.
    bool add(std::string_view scriptName);
    // Once KWin has unloaded every script named.
    void remove();

private:
    ScriptLedger(FileDescriptor folder, FileDescriptor file, std::string name)
        : folder_(std::move(folder)), file_(std::move(file)), name_(std::move(name)) {}

    FileDescriptor folder_;
    FileDescriptor file_;
    std::string name_;
};

// Unloads through `unload` (false when KWin gave no answer) the scripts named in the ledgers in
// `folder` whose runs are gone, and removes each ledger once all its scripts are unloaded; stops
// at the first unload KWin does not answer. Also removes the folders older than `olderThan` that
// earlier versions wrote a script into.
void clearLeftovers(int folder, const std::function<bool(const std::string&)>& unload,
                    std::chrono::seconds olderThan);

}  // namespace tarnwick
