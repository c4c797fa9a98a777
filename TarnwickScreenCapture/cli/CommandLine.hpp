#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/capture/CaptureRequest.hpp"

namespace tarnwick {

// Builds a request from the full argument list (element 0 is the program path);
// none when no output path is given.
std::optional<CaptureRequest> requestFromArguments(const std::vector<std::string>& arguments);

// The whole element as one number in strtod's C-locale syntax; none otherwise.
std::optional<double> numberFromArgument(const std::string& text);

// The whole element as an optional sign and decimal digits within 64 signed bits; none otherwise.
std::optional<std::int64_t> integerFromArgument(const std::string& text);

}  // namespace tarnwick
