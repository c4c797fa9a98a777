#include "TarnwickScreenCapture/backends/sway/SwayIpc.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "TarnwickScreenCapture/backends/sway/SwayTree.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kMagic = "i3-ipc";
// How long sway may stay silent in an exchange.
constexpr auto kSwayDeadline = std::chrono::seconds(5);
constexpr std::size_t kHeaderSize = kMagic.size() + 8;

int millisecondsLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left.count(), 60000));
}

// Waits for the socket to become ready for `events`; false on timeout or error.
bool waitFor(int fd, short events, Clock::time_point end) {
    for (;;) {
        pollfd ready{.fd = fd, .events = events, .revents = 0};
        const int result = ::poll(&ready, 1, millisecondsLeft(end));
        if (result > 0) {
            return (ready.revents & (events | POLLHUP)) != 0 && (ready.revents & POLLNVAL) == 0;
        }
        if (result == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool sendAll(int fd, std::string_view bytes, Clock::time_point end) {
    while (!bytes.empty()) {
        if (!waitFor(fd, POLLOUT, end)) {
            return false;
        }
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool receiveAll(int fd, char* out, std::size_t size, Clock::time_point end) {
    while (size > 0) {
        if (!waitFor(fd, POLLIN, end)) {
            return false;
        }
        const ssize_t got = ::recv(fd, out, size, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return false;  // closed before the reply was whole
        }
        out += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

std::string header(std::uint32_t length, std::uint32_t type) {
    std::string bytes(kMagic);
    bytes.append(reinterpret_cast<const char*>(&length), sizeof length);
    bytes.append(reinterpret_cast<const char*>(&type), sizeof type);
    return bytes;
}

}  // namespace

std::optional<std::string> swayIpcExchange(const std::string& socketPath, std::uint32_t type,
                                           std::string_view payload,
                                           std::chrono::milliseconds deadline,
                                           std::size_t maximumReply) {
    const auto end = Clock::now() + deadline;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path ||
        socketPath.find('\0') != std::string::npos || payload.size() > UINT32_MAX) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket ||
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::nullopt;
    }
    if (!sendAll(socket.get(),
                 header(static_cast<std::uint32_t>(payload.size()), type) + std::string(payload),
                 end)) {
        return std::nullopt;
    }
    std::array<char, kHeaderSize> replyHeader{};
    if (!receiveAll(socket.get(), replyHeader.data(), replyHeader.size(), end) ||
        std::string_view(replyHeader.data(), kMagic.size()) != kMagic) {
        return std::nullopt;
    }
    std::uint32_t length = 0;
    std::uint32_t replyType = 0;
    std::memcpy(&length, replyHeader.data() + kMagic.size(), sizeof length);
    std::memcpy(&replyType, replyHeader.data() + kMagic.size() + 4, sizeof replyType);
    if (replyType != type || length > maximumReply) {
        return std::nullopt;
    }
    std::string reply(length, '\0');
    if (!receiveAll(socket.get(), reply.data(), reply.size(), end)) {
        return std::nullopt;
    }
    return reply;
}

std::optional<std::vector<WindowDescription>> swayWindows(const std::string& socketPath) {
    const auto reply = swayIpcExchange(socketPath, kSwayGetTree, {}, kSwayDeadline);
    return reply ? windowsOfSwayTree(*reply) : std::nullopt;
}

std::optional<std::string> swaySocketPath() {
    const char* path = std::getenv("SWAYSOCK");
    if (path == nullptr || *path == '\0') {
        return std::nullopt;
    }
    return std::string(path);
}

}  // namespace tarnwick
