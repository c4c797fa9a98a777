#pragma once

#include <string>
#include <utility>

namespace tarnwick {

// One thing a check of the system looked at (--doctor), and what it found.
struct Finding {
    std::string subject;  // "window system", "desktop", ...
    std::string text;  // what was found; for a problem, also the command or setting that fixes it
    bool problem = false;
    // The code a window capture ends with because of this problem; 0 when it is not hindered.
    int exitCode = 0;
};

inline Finding fine(std::string subject, std::string text) {
    return {.subject = std::move(subject), .text = std::move(text)};
}

inline Finding problem(std::string subject, std::string text, int exitCode = 0) {
    return {.subject = std::move(subject),
            .text = std::move(text),
            .problem = true,
            .exitCode = exitCode};
}

}  // namespace tarnwick
