#pragma once

#include <vector>

#include "TarnwickScreenCapture/capture/Finding.hpp"

namespace tarnwick {

// What --doctor says of the window system: which one a capture would use and why, what in the
// environment stands in the way (with the setting that fixes it), whether it answers.
std::vector<Finding> windowSystemFindings();

}  // namespace tarnwick
