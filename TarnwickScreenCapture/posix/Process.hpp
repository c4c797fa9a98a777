#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// Starts the executable with the arguments (argv[0] is the executable path), inheriting streams,
// environment and working directory, and waits for it without a time limit. None when it could
// not be started; otherwise its exit status, or 128 + the signal that ended it.
std::optional<int> runProcessAndWait(const std::string& executable,
                                     const std::vector<std::string>& arguments);

}  // namespace tarnwick
