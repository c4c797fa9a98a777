#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

#include "TarnwickScreenCapture/CaptureRequest.hpp"

namespace tarnwick {

inline constexpr const char* kAgentFolder = ".tavik/mobile-dropbox/data";
inline constexpr const char* kAgentRequestFileName = "screen-capture-agent-request.json";

// No real request comes near these; larger or deeper files are refused unread.
inline constexpr std::size_t kMaximumRequestFileBytes = 1024 * 1024;
inline constexpr std::size_t kMaximumRequestNesting = 64;

std::filesystem::path defaultAgentRequestURL();

// Parses request-file bytes; none for anything that is not a usable request.
std::optional<CaptureRequest> requestFromAgentText(std::string_view bytes);

// Reads the request file once; none for a missing, unreadable or malformed file.
std::optional<CaptureRequest> requestFromAgentFile(const std::filesystem::path& file);

}  // namespace tarnwick
