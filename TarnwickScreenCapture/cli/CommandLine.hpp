#pragma once

#include <optional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/capture/CaptureRequest.hpp"

namespace tarnwick {

// Builds a request from the full argument list (element 0 is the program path);
// none when no output path is given.
std::optional<CaptureRequest> requestFromArguments(const std::vector<std::string>& arguments);

}  // namespace tarnwick
