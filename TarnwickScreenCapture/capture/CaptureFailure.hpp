#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tarnwick {

// The one kind of failure the user hears of: the exit status it ends a one-shot run with, and a
// fixed message; and, for the agent's log and --doctor, its cause in the system's words, most
// often an Unavailable's reason (posix/Unavailable.hpp says which shape a step returns).
struct CaptureFailure {
    int exitCode = 0;
    std::string message;
    std::string cause;

    CaptureFailure because(std::string why) const { return {exitCode, message, std::move(why)}; }
};

// A value, or the failure that stopped its computation; a step that gives nothing back returns
// std::optional<CaptureFailure>.
template <class T>
using OrCaptureFailure = std::variant<T, CaptureFailure>;

namespace messages {
inline constexpr const char* kListWindowsFailed = "failed to list on-screen windows";
inline constexpr const char* kCreateDestinationFailed = "failed to create JPEG destination";
inline constexpr const char* kFinalizeFailed = "failed to finalize JPEG";
inline constexpr const char* kWindowNotFound = "Tavik or Brevant window was not found on screen.";
inline constexpr const char* kCaptureFailed =
    "failed to capture screen; Screen Recording permission may be missing.";
inline constexpr const char* kUsage =
    "usage: TarnwickScreenCapture <output.jpg> [quality] [maxWidth] [tavik|desktop]";
inline constexpr const char* kStandardOutputFailed = "failed to write to standard output";
}  // namespace messages

namespace exitCodes {
inline constexpr int kListWindowsFailed = 2;
inline constexpr int kCreateDestinationFailed = 3;
inline constexpr int kFinalizeFailed = 4;
inline constexpr int kWindowNotFound = 5;
inline constexpr int kCaptureFailed = 6;
inline constexpr int kUsage = 64;
// --help or --version could not be written (sysexits' EX_IOERR, beside EX_USAGE above).
inline constexpr int kStandardOutputFailed = 74;
// Another agent serves the folder already (EX_TEMPFAIL).
inline constexpr int kAnotherAgent = 75;
}  // namespace exitCodes

namespace failures {
inline const CaptureFailure kListWindowsFailed{exitCodes::kListWindowsFailed,
                                               messages::kListWindowsFailed};
inline const CaptureFailure kCreateDestinationFailed{exitCodes::kCreateDestinationFailed,
                                                     messages::kCreateDestinationFailed};
inline const CaptureFailure kFinalizeFailed{exitCodes::kFinalizeFailed, messages::kFinalizeFailed};
inline const CaptureFailure kWindowNotFound{exitCodes::kWindowNotFound, messages::kWindowNotFound};
inline const CaptureFailure kCaptureFailed{exitCodes::kCaptureFailed, messages::kCaptureFailed};
}  // namespace failures

}  // namespace tarnwick
