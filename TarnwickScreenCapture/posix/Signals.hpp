#pragma once

#include <signal.h>

#include <string>

namespace tarnwick {

// Named temporary files being written (a JPEG or a response beside its target, where the file
// system has no unnamed files) must not outlive a process that is told to stop. The handler
// installed here for SIGTERM, SIGINT, SIGHUP and SIGQUIT removes the registered files, then
// lets the signal end the process with its default action. A signal that was ignored when the
// process started stays ignored.
void installTerminationCleanup();

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

// Registers a file for removal on termination; false when every slot is taken.
bool rememberTemporaryFile(const std::string& path);

// mkostemp(pattern, O_CLOEXEC) with the new file registered for removal on termination; the
// signals are held off in between. Returns the open descriptor, or -1. When every slot is taken
// the file is created all the same, unregistered.
int createTemporaryFile(std::string& pattern);

// Call after the file was renamed into place or removed.
void forgetTemporaryFile(const std::string& path);

}  // namespace tarnwick
