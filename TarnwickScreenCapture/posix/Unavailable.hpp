#pragma once

#include <string>
#include <variant>

namespace tarnwick {

// How a step says "failed, and why". The rule:
// - A step below the capture (a backend, a file, a codec, a system call) that can fail returns
//   OrUnavailable<T>, or std::optional<Unavailable> when success gives nothing back.
// - What the user hears of, a fixed message and an exit status, is a CaptureFailure
//   (capture/CaptureFailure.hpp), made only by the capture, the agent and the command line from
//   an Unavailable, whose reason becomes its cause.
// - std::optional<T> alone only where nothing is an ordinary answer that needs no why (no
//   request waits, a variable is unset).
//
// Why something could not be had, in the system's own words ("DISPLAY is not set"): for the
// agent's log and --doctor. What the user is told stays the fixed message of the failure.
struct Unavailable {
    std::string reason;
    // The system said no to this program (a permission), as opposed to failing or staying silent.
    bool refused = false;
};

template <class T>
using OrUnavailable = std::variant<T, Unavailable>;

}  // namespace tarnwick
