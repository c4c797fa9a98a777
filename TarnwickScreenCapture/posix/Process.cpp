#include "TarnwickScreenCapture/posix/Process.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>

#include "TarnwickScreenCapture/posix/Files.hpp"

extern char** environ;

namespace tarnwick {

std::optional<int> runProcessAndWait(const std::string& executable,
                                     const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    // This process ignores SIGPIPE and SIGXFSZ and may be holding termination signals off;
    // the child starts with default dispositions and nothing blocked.
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        return std::nullopt;
    }
    sigset_t defaults;
    sigset_t unblocked;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&unblocked);
    pid_t child = 0;
    const bool started =
        posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
        posix_spawnattr_setsigmask(&attributes, &unblocked) == 0 &&
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) ==
            0 &&
        posix_spawn(&child, executable.c_str(), nullptr, &attributes, argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attributes);
    if (!started) {
        return std::nullopt;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return 1;  // the child is lost to us: count it as a failed run
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::optional<std::string> peerProgram(int socketFd) {
    struct ucred peer {};
    socklen_t size = sizeof peer;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0) {
        return std::nullopt;
    }
    // The kernel keeps a name to 15 bytes.
    constexpr std::size_t kLongestName = 64;
    auto name = readFileBounded("/proc/" + std::to_string(peer.pid) + "/comm", kLongestName);
    if (!name) {
        return std::nullopt;
    }
    while (!name->empty() && name->back() == '\n') {
        name->pop_back();
    }
    return name->empty() ? std::nullopt : name;
}

}  // namespace tarnwick
