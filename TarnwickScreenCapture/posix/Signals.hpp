#pragma once

#include <signal.h>

#include <array>

namespace tarnwick {

// The signals that tell the process to stop.
inline constexpr std::array<int, 4> kTerminationSignals{SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// A reader that goes away (SIGPIPE) or a file-size limit (SIGXFSZ) must fail the write with
// EPIPE or EFBIG, to be reported like any other write error, instead of ending the process.
void ignoreWriteFailureSignals();

// Holds the termination signals off for its lifetime, so that a file created and registered
// in between can never be left unregistered.
class TerminationSignalsHeld {
public:
    TerminationSignalsHeld();
    ~TerminationSignalsHeld();
    TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
    TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;

private:
    sigset_t previous_{};
};

}  // namespace tarnwick
