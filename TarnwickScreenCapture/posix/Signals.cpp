#include "TarnwickScreenCapture/posix/Signals.hpp"

#include <signal.h>

namespace tarnwick {

TerminationSignalsHeld::TerminationSignalsHeld() {
    sigset_t held;
    ::sigemptyset(&held);
    for (const int signal : kTerminationSignals) {
        ::sigaddset(&held, signal);
    }
    ::sigprocmask(SIG_BLOCK, &held, &previous_);
}

TerminationSignalsHeld::~TerminationSignalsHeld() {
    ::sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

void ignoreWriteFailureSignals() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace tarnwick
