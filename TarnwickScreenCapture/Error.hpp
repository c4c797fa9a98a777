#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace tarnwick {

inline constexpr const char* kErrorDomain = "TarnwickScreenCapture";

// The one kind of failure the user hears of: a code and a fixed message.
struct CaptureError {
    std::string domain;
    std::int64_t code = 0;
    std::string message;
};

CaptureError makeError(std::string message, std::int64_t code);

// Either a value or the error that stopped its computation.
template <class T>
using ErrorOr = std::variant<T, CaptureError>;

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

namespace codes {
inline constexpr std::int64_t kListWindowsFailed = 2;
inline constexpr std::int64_t kCreateDestinationFailed = 3;
inline constexpr std::int64_t kFinalizeFailed = 4;
inline constexpr std::int64_t kWindowNotFound = 5;
inline constexpr std::int64_t kCaptureFailed = 6;
inline constexpr int kUsageExitStatus = 64;
// --help or --version could not be written (sysexits' EX_IOERR, beside EX_USAGE above).
inline constexpr int kStandardOutputExitStatus = 74;
}  // namespace codes

}  // namespace tarnwick
