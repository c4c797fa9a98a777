#pragma once

#include <functional>
#include <string>
#include <vector>

#include "TarnwickScreenCapture/capture/Finding.hpp"
#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

// What --doctor asks of the system: the window system a capture would use, and why it was chosen
// and whether a capture is permitted, as the backends can tell.
struct DoctorServices {
    std::function<WindowSystem()> openWindowSystem;
    std::function<std::vector<Finding>()> windowSystemFindings;
};

// Looks at everything a capture and the agent depend on, in order, and writes nothing anywhere:
// the window system and why it was chosen, whether a capture is permitted, a desktop capture made
// in memory, the Tavik window, the agent's data folder, whether an agent serves it and a request
// that waits unanswered.
std::vector<Finding> doctorFindings(const DoctorServices& services);

// One line a finding: "subject: text", and "subject: problem: text" for a problem.
std::string doctorText(const std::vector<Finding>& findings);

// 0 when a capture would work; otherwise the code the first problem makes a capture end with.
int doctorExitCode(const std::vector<Finding>& findings);

}  // namespace tarnwick
