#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarnwickScreenCapture/capture/WindowSystem.hpp"

namespace tarnwick {

inline constexpr std::uint32_t kSwayGetTree = 4;
// Trees of hundreds of windows stay far below this.
inline constexpr std::size_t kMaximumSwayReply = std::size_t{32} << 20;

// Sends one message over sway's IPC socket and returns the payload of its reply; none when the
// socket cannot be reached, the reply is malformed or longer than `maximumReply`, or the whole
// exchange takes longer than `deadline`.
std::optional<std::string> swayIpcExchange(const std::string& socketPath, std::uint32_t type,
                                           std::string_view payload,
                                           std::chrono::milliseconds deadline,
                                           std::size_t maximumReply = kMaximumSwayReply);

// The socket named by SWAYSOCK; none when it is unset or empty.
std::optional<std::string> swaySocketPath();

// The windows of sway's tree, front to back (see windowsOfSwayTree); none when sway cannot be
// asked or answers with no tree.
std::optional<std::vector<WindowDescription>> swayWindows(const std::string& socketPath);

}  // namespace tarnwick
