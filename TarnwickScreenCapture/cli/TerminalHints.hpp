#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/capture/CaptureFailure.hpp"

namespace tarnwick {

// Lines for a person at a terminal, beside the one fixed line that programs reading standard
// error rely on; written only when standard error is a terminal. Each is one line without its
// line feed, safe to print whatever the arguments or causes hold.

// The line after a failure's own: its cause in the system's words, and where to look next.
std::string failureHintLine(const CaptureFailure& failure);

// The line after the usage line: there was neither an output path nor a usable request file.
std::string usageHintLine(const std::filesystem::path& requestFile);

// How arguments that look swapped or mistyped were taken, and what was likely meant; none when
// they read as meant. The run still does what the arguments say.
std::optional<std::string> argumentHintLine(const std::vector<std::string>& arguments);

}  // namespace tarnwick
