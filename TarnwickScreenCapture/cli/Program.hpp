#pragma once

#include <functional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/capture/Finding.hpp"
#include "TarnwickScreenCapture/capture/Platform.hpp"

namespace tarnwick {

// The services of a run: `commandLine` writes what a person names, `requestFiles` what a request
// file names (which replaces only a JPEG); what the backends can tell --doctor.
struct ProgramPlatforms {
    Platform commandLine;
    Platform requestFiles;
    std::function<std::vector<Finding>()> windowSystemFindings;
    // A person reads standard error: a failure then also says why, and arguments that look
    // mistyped say how they were taken. Programs that read it get the one line alone.
    bool standardErrorIsTerminal = false;
};

// The whole program for the full argument list (element 0 is the program path): the agent, a
// listing, help, or one capture. Returns the exit status; a failure is one line on standard
// error. The agent returns only when another agent serves its folder.
int runProgram(const std::vector<std::string>& arguments, const ProgramPlatforms& platforms);

}  // namespace tarnwick
