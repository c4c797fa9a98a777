#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <string>
#include <string_view>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// How long KWin may stay silent: in each step of a script's run, and while sending pixels.
inline constexpr std::chrono::milliseconds kKWinSilenceLimit{5000};

// list-windows.js, with the placeholders @REPLY_SERVICE@, @REPLY_PATH@, @REPLY_INTERFACE@ and
// @REPLY_METHOD@ for where its answer goes, and @SCRIPT_NAME@ for the name it is loaded under.
std::string_view kwinListingScript();

// Whether a run notes the names of the scripts it loads in a ledger in XDG_RUNTIME_DIR, and
// first unloads what runs that were killed left in KWin: a capture does; --doctor writes nothing.
enum class ScriptLedgerUse { kKeep, kNone };

// Has KWin load `script` (with the placeholders above) from a sealed memory file of this
// process, run it, and returns the one string the script sends back with callDBus to an object
// exported on `bus` for the moment under a path only this run knows, which takes calls from the
// owner of org.kde.KWin only. Only a script KWin put under a number no other script holds is
// run. Every script this run loaded is unloaded again whatever happens; when KWin stopped
// answering, without waiting for it. The reason when KWin is not on the bus, refuses, or it or
// the script stays silent for `silenceLimit`.
OrUnavailable<std::string> runKWinScript(
    sd_bus* bus, std::string_view script, ScriptLedgerUse ledgerUse,
    std::chrono::milliseconds silenceLimit = kKWinSilenceLimit);

// Whether the bus has KWin: org.kde.KWin owned, or its screenshot service activatable. No
// answer within `limit` is none.
bool kwinOnBus(sd_bus* bus, std::chrono::milliseconds limit = kKWinSilenceLimit);

}  // namespace tarnwick
