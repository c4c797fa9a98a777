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
#include "TarnwickScreenCapture/posix/Waiting.hpp"

namespace tarnwick {
namespace {

constexpr std::string_view kMagic = "i3-ipc";
constexpr std::size_t kHeaderSize = kMagic.size() + 8;

bool sendAll(int fd, std::string_view bytes, Deadline& deadline) {
    while (!bytes.empty()) {
        if (waitForDescriptor(fd, POLLOUT, deadline) != Readiness::kReady) {
            return false;
        }
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
        deadline.progressed();
    }
    return true;
}

bool receiveAll(int fd, char* out, std::size_t size, Deadline& deadline) {
    while (size > 0) {
        if (waitForDescriptor(fd, POLLIN, deadline) != Readiness::kReady) {
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
        deadline.progressed();
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
                                           std::chrono::milliseconds silenceLimit,
                                           std::size_t maximumReply) {
    auto deadline = Deadline::ofInactivity(silenceLimit);
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
                 deadline)) {
        return std::nullopt;
    }
    std::array<char, kHeaderSize> replyHeader{};
    if (!receiveAll(socket.get(), replyHeader.data(), replyHeader.size(), deadline) ||
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
    if (!receiveAll(socket.get(), reply.data(), reply.size(), deadline)) {
        return std::nullopt;
    }
    return reply;
}

std::optional<std::vector<WindowDescription>> swayWindows(const std::string& socketPath) {
    const auto reply = swayIpcExchange(socketPath, kSwayGetTree, {});
    return reply ? windowsOfSwayTree(*reply) : std::nullopt;
}

bool swayWindowStillShown(const std::string& socketPath, const WindowDescription& window) {
    const auto windows = swayWindows(socketPath);
    return windows && stillShown(window, *windows);
}

std::optional<std::string> swaySocketPath() {
    const char* path = std::getenv("SWAYSOCK");
    if (path == nullptr || *path == '\0') {
        return std::nullopt;
    }
    return std::string(path);
}

}  // namespace tarnwick
