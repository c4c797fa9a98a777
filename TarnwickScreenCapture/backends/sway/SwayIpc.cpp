#include "TarnwickScreenCapture/backends/sway/SwayIpc.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "TarnwickScreenCapture/backends/sway/SwayTree.hpp"
#include "TarnwickScreenCapture/posix/FileDescriptor.hpp"
#include "TarnwickScreenCapture/posix/Waiting.hpp"

namespace tarnwick {
namespace {

constexpr std::string_view kMagic = "i3-ipc";
constexpr std::size_t kHeaderSize = kMagic.size() + 8;

std::string silence(std::chrono::milliseconds limit) {
    return "sway took nothing and sent nothing for " + secondsText(limit);
}

Unavailable systemError(const char* what) {
    return {std::string(what) + ": " + std::strerror(errno)};
}

std::optional<Unavailable> sendAll(int fd, std::string_view bytes, Deadline& deadline,
                                   std::chrono::milliseconds silenceLimit) {
    while (!bytes.empty()) {
        if (waitForDescriptor(fd, POLLOUT, deadline) != Readiness::kReady) {
            return Unavailable{silence(silenceLimit)};
        }
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return systemError("cannot send to sway");
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
        deadline.progressed();
    }
    return std::nullopt;
}

std::optional<Unavailable> receiveAll(int fd, char* out, std::size_t size, Deadline& deadline,
                                      std::chrono::milliseconds silenceLimit) {
    while (size > 0) {
        if (waitForDescriptor(fd, POLLIN, deadline) != Readiness::kReady) {
            return Unavailable{silence(silenceLimit)};
        }
        const ssize_t got = ::recv(fd, out, size, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return systemError("cannot read sway's reply");
        }
        if (got == 0) {
            return Unavailable{"sway closed the connection before its reply was whole"};
        }
        out += got;
        size -= static_cast<std::size_t>(got);
        deadline.progressed();
    }
    return std::nullopt;
}

std::string header(std::uint32_t length, std::uint32_t type) {
    std::string bytes(kMagic);
    bytes.append(reinterpret_cast<const char*>(&length), sizeof length);
    bytes.append(reinterpret_cast<const char*>(&type), sizeof type);
    return bytes;
}

}  // namespace

OrUnavailable<std::string> swayIpcExchange(const std::string& socketPath, std::uint32_t type,
                                           std::string_view payload,
                                           std::chrono::milliseconds silenceLimit,
                                           std::size_t maximumReply) {
    auto deadline = Deadline::ofInactivity(silenceLimit);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path ||
        socketPath.find('\0') != std::string::npos || payload.size() > UINT32_MAX) {
        return Unavailable{"SWAYSOCK names no possible socket"};
    }
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        return systemError("cannot make a socket");
    }
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return systemError(("cannot connect to sway at " + socketPath).c_str());
    }
    if (auto trouble =
            sendAll(socket.get(),
                    header(static_cast<std::uint32_t>(payload.size()), type) + std::string(payload),
                    deadline, silenceLimit)) {
        return std::move(*trouble);
    }
    std::array<char, kHeaderSize> replyHeader{};
    if (auto trouble = receiveAll(socket.get(), replyHeader.data(), replyHeader.size(), deadline,
                                  silenceLimit)) {
        return std::move(*trouble);
    }
    std::uint32_t length = 0;
    std::uint32_t replyType = 0;
    std::memcpy(&length, replyHeader.data() + kMagic.size(), sizeof length);
    std::memcpy(&replyType, replyHeader.data() + kMagic.size() + 4, sizeof replyType);
    if (std::string_view(replyHeader.data(), kMagic.size()) != kMagic || replyType != type) {
        return Unavailable{"the socket at " + socketPath + " does not speak sway's IPC"};
    }
    if (length > maximumReply) {
        return Unavailable{"sway's reply of " + std::to_string(length) + " bytes is too long"};
    }
    std::string reply(length, '\0');
    if (auto trouble =
            receiveAll(socket.get(), reply.data(), reply.size(), deadline, silenceLimit)) {
        return std::move(*trouble);
    }
    return reply;
}

OrUnavailable<std::vector<WindowDescription>> swayWindows(
    const std::string& socketPath, std::map<WindowId, SwayWindowSource>* sources) {
    auto reply = swayIpcExchange(socketPath, kSwayGetTree, {});
    if (auto* unavailable = std::get_if<Unavailable>(&reply)) {
        return std::move(*unavailable);
    }
    if (auto windows = windowsOfSwayTree(std::get<std::string>(reply), sources)) {
        return std::move(*windows);
    }
    return Unavailable{"sway's reply is no window tree"};
}

}  // namespace tarnwick
