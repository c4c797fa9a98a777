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

// The name of the program (its process's comm, as ps shows it) at the other end of a connected
// local socket; none when the kernel does not say who it is or the process cannot be seen.
std::optional<std::string> peerProgram(int socketFd);

}  // namespace tarnwick
