#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/backends/sway/SwayTree.hpp"
#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

inline constexpr std::uint32_t kSwayGetTree = 4;
// How long sway may stay silent in an exchange.
inline constexpr std::chrono::milliseconds kSwaySilenceLimit{5000};
// Trees of hundreds of windows stay far below this.
inline constexpr std::size_t kMaximumSwayReply = std::size_t{32} << 20;

// Sends one message over sway's IPC socket and returns the payload of its reply; why not when the
// socket cannot be reached, the reply is malformed or longer than `maximumReply`, or sway sends
// and takes nothing for `silenceLimit`. SIGPIPE must be ignored, as the program does from its
// start: a sway that goes away then fails the send.
OrUnavailable<std::string> swayIpcExchange(
    const std::string& socketPath, std::uint32_t type, std::string_view payload,
    std::chrono::milliseconds silenceLimit = kSwaySilenceLimit,
    std::size_t maximumReply = kMaximumSwayReply);

// The windows of sway's tree, front to back (see windowsOfSwayTree), or why sway could not be
// asked.
OrUnavailable<std::vector<WindowDescription>> swayWindows(
    const std::string& socketPath, std::map<WindowId, SwayWindowSource>* sources = nullptr);

}  // namespace tarnwick
