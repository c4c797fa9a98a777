#pragma once

#include <string>

namespace tarnwick {

// One thing a check of the system looked at (--doctor), and what it found.
struct Finding {
    std::string subject;  // "window system", "desktop", ...
    std::string text;  // what was found; for a problem, also the command or setting that fixes it
    bool problem = false;
    // The code a capture ends with because of this problem; 0 when a capture is not hindered.
    int exitCode = 0;
};

}  // namespace tarnwick
