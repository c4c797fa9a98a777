#pragma once

#include <string>

namespace tarnwick {

// Temporary files being written (a JPEG or a response beside its target) must not outlive a
// process that is told to stop. The handler installed here for SIGTERM, SIGINT and SIGHUP
// removes the registered files, then lets the signal end the process with its default action.
// A signal that was ignored when the process started stays ignored.
void installTerminationCleanup();

// mkostemp(pattern, O_CLOEXEC) with the new file registered for removal on termination; the
// signals are held off in between, so none can leave the file unregistered. Returns the open
// descriptor, or -1. When every slot is taken the file is created all the same, unregistered.
int createTemporaryFile(std::string& pattern);

// Call after the file was renamed into place or removed.
void forgetTemporaryFile(const std::string& path);

}  // namespace tarnwick
