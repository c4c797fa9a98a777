#pragma once

#include <string>

namespace tarnwick {

// Named temporary files being written (a JPEG or a response beside its target, where the file
// system has no unnamed files) must not outlive a process that is told to stop. The handler
// installed here for the termination signals removes the registered files, then lets the signal
// end the process with its default action. A signal that was ignored when the process started
// stays ignored.
void installTerminationCleanup();

// Registers a file for removal on termination; false when every slot is taken.
bool rememberTemporaryFile(const std::string& path);

// mkostemp(pattern, O_CLOEXEC) with the new file registered for removal on termination; the
// signals are held off in between. Returns the open descriptor, or -1. When every slot is taken
// the file is created all the same, unregistered.
int createTemporaryFile(std::string& pattern);

// Call after the file was renamed into place or removed.
void forgetTemporaryFile(const std::string& path);

}  // namespace tarnwick
